// A plain UDP socket for the tests on real sockets: bound to `host` (host order) at
// `wanted`, or at a port the system picks, and held while it lives. Without SO_REUSEADDR,
// so nobody else binds that port meanwhile; `error` is bind's errno.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

class CUdpSocket {
 public:
  static constexpr std::uint32_t kLoopback = INADDR_LOOPBACK;  // 127.0.0.1

  explicit CUdpSocket(std::uint32_t host = kLoopback, int wanted = 0)
      : fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in sa{AF_INET, htons(static_cast<std::uint16_t>(wanted)), {htonl(host)}, {}};
    error = bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : errno;
    socklen_t len = sizeof sa;
    if (!error && getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0)
      port = ntohs(sa.sin_port);
  }
  ~CUdpSocket() { close(fd); }
  CUdpSocket(CUdpSocket const&) = delete;
  CUdpSocket& operator=(CUdpSocket const&) = delete;

  // Sends `bytes` to 127.0.0.1:`to`; what sendto returns.
  ssize_t SendTo(int to, std::string const& bytes) const {
    const sockaddr_in sa{AF_INET, htons(static_cast<std::uint16_t>(to)), {htonl(kLoopback)}, {}};
    return sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr const*>(&sa),
                  sizeof sa);
  }
  // The next datagram, waiting up to `ms` for it; "<nothing>" when none came.
  std::string Receive(int ms = 10'000) const {
    pollfd p{fd, POLLIN, 0};
    char buffer[2048];
    const ssize_t n = poll(&p, 1, ms) > 0 ? recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) : -1;
    return n < 0 ? std::string("<nothing>") : std::string(buffer, static_cast<std::size_t>(n));
  }

  const int fd;
  int port = 0;  // 0 when it could not bind
  int error = 0;
};
