// The raw-UDP baselines' socket: a plain datagram socket on 127.0.0.1 that sends as the
// peer's port does, and the kernel's count of datagrams a socket dropped.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "CBenchProc.h"

namespace bench {

constexpr std::uint32_t kLoopback = 0x7F000001;  // 127.0.0.1

inline sockaddr_in LoopbackAddr(std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(kLoopback);
  return sa;
}

// Datagrams the kernel dropped so far at the UDP socket bound to local `port` because
// its receive buffer was full (the last column of /proc/net/udp); -1 if not found.
inline long SocketDrops(unsigned port) {
  std::FILE* f = std::fopen("/proc/net/udp", "r");
  if (!f) return -1;
  char line[512];
  long drops = -1;
  if (!std::fgets(line, sizeof line, f)) line[0] = 0;  // heading
  while (std::fgets(line, sizeof line, f)) {
    // "sl local_address ... drops", local_address being HEXADDR:HEXPORT.
    const CFields w(line);
    const std::size_t colon = w[1].find(':');
    if (w.size() >= 13 && colon != std::string::npos &&
        std::strtoul(w[1].c_str() + colon + 1, nullptr, 16) == port)
      drops = std::atol(w[w.size() - 1].c_str());
  }
  std::fclose(f);
  return drops;
}

class CBenchUdp {
 public:
  CBenchUdp() = default;
  CBenchUdp(CBenchUdp const&) = delete;
  CBenchUdp& operator=(CBenchUdp const&) = delete;
  ~CBenchUdp() {
    if (mFd >= 0) close(mFd);
  }

  // Binds 127.0.0.1, port 0, with the small send buffer the peer's port asks for.
  bool Open(bool nonBlocking = false) {
    mFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    if (mFd < 0) return false;
    sockaddr_in sa = LoopbackAddr(0);
    socklen_t len = sizeof sa;
    if (bind(mFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        getsockname(mFd, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
      return false;
    mPort = ntohs(sa.sin_port);
    const int sndbuf = 1024;
    setsockopt(mFd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    return true;
  }

  // Blocking receives give up after `seconds` (Recv then returns -1).
  void SetRecvTimeout(double seconds) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(seconds);
    tv.tv_usec = static_cast<suseconds_t>((seconds - static_cast<double>(tv.tv_sec)) * 1e6);
    setsockopt(mFd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }

  bool SendTo(sockaddr_in const& to, void const* data, std::size_t size) {
    return sendto(mFd, data, size, 0, reinterpret_cast<sockaddr const*>(&to), sizeof to) >= 0;
  }
  ssize_t Recv(void* buf, std::size_t size, sockaddr_in* from = nullptr) {
    socklen_t len = sizeof(sockaddr_in);
    return recvfrom(mFd, buf, size, 0, reinterpret_cast<sockaddr*>(from), from ? &len : nullptr);
  }

  int fd() const { return mFd; }
  std::uint16_t port() const { return mPort; }
  long drops() const { return SocketDrops(mPort); }

 private:
  int mFd = -1;
  std::uint16_t mPort = 0;
};

}  // namespace bench
