// The socket port: open, non-blocking send and receive, completion events.
#include "CSocketUDPPort.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
sockaddr_in ToSockaddr(CUDPAddr const& a) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<std::uint16_t>(a.port));
  sa.sin_addr.s_addr = htonl(static_cast<std::uint32_t>(a.host));
  return sa;
}
}  // namespace

CSocketUDPPort::CSocketUDPPort(LHandler* owner, LAsyncWorld& world)
    : CUDPPort(owner), mWorld(&world), mSentTimer(this, world), mReadTimer(this, world) {
  CPsxIOSig::Use(world);
}

CSocketUDPPort::~CSocketUDPPort() {
  Close();
  CPsxIOSig::Free(*mWorld);
  mWorld->Enter();
  mReadTimer.Cancel();
  mSentTimer.Cancel();
  mWorld->Leave();
}

int CSocketUDPPort::Open(int port, unsigned int, unsigned int sendBuffer) {
  if (valid()) return 0;
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 1;
  // The I/O signal thread watches descriptors below kMaxFd only; a socket it cannot
  // watch would never be served, so it is a failure to open.
  if (fd >= CPsxIOSig::kMaxFd) {
    close(fd);
    return 1;
  }
  mSendData = nullptr;
  mReadBuf = nullptr;

  sockaddr_in sa = ToSockaddr({INADDR_ANY, port});
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    const int err = errno;
    close(fd);
    return (err == EADDRINUSE || err == EADDRNOTAVAIL) ? 2 : 1;
  }
  socklen_t len = sizeof sa;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0) mLocalPort = ntohs(sa.sin_port);
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
  if (sendBuffer != 0) {
    const int size = static_cast<int>(sendBuffer);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  }
  if (!CPsxIOSig::Prepare(fd, {this, &SignalCB}, *mWorld)) {
    close(fd);
    return 1;
  }
  mFd = fd;
  return 0;
}

void CSocketUDPPort::Close() {
  if (!valid()) return;
  const int fd = mFd;
  mFd = -1;
  // Withdrawn before it is closed, so the I/O signal thread never sees a reused number
  // under this port's registration.
  CPsxIOSig::Finish(fd);
  close(fd);
}

void CSocketUDPPort::Send(CUDPAddr const& to, void const* data, unsigned int len) {
  mSendAddr = to;
  mSendLen = len;
  mSendData = data;
  if (TrySend()) mSentTimer.Delay(0);
}

void CSocketUDPPort::Read(void* buffer, unsigned int capacity) {
  mReadSize = 0;
  mReadCap = capacity;
  mReadBuf = buffer;
  if (TryRead()) mReadTimer.Delay(0);
}

bool CSocketUDPPort::TrySend() {
  if (!valid() || !mSendData) return false;
  const sockaddr_in to = ToSockaddr(mSendAddr);
  if (sendto(mFd, mSendData, mSendLen, 0, reinterpret_cast<sockaddr const*>(&to), sizeof to) < 0 &&
      (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
    CPsxIOSig::Wait(mFd, CPsxIOSig::write);
    return false;
  }
  // Sent, or refused for good: either way the port may take the next datagram.
  mSendData = nullptr;
  return true;
}

bool CSocketUDPPort::TryRead() {
  if (!valid() || !mReadBuf) return false;
  for (;;) {
    sockaddr_in from;
    socklen_t fromLen = sizeof from;
    std::memset(&from, 0, sizeof from);
    const ssize_t n =
        recvfrom(mFd, static_cast<unsigned char*>(mReadBuf) + mReadSize, mReadCap - mReadSize, 0,
                 reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n >= 0) {
      mReadAddr.host = ntohl(from.sin_addr.s_addr);
      mReadAddr.port = ntohs(from.sin_port);
      mReadSize += static_cast<std::uint32_t>(n);
      mReadBuf = nullptr;
      return true;
    }
    if (errno == EINTR) continue;
    // Would block, or failed (an ICMP error reported on the socket, say): wait for
    // the next datagram rather than stop reading for good.
    CPsxIOSig::Wait(mFd, CPsxIOSig::read);
    return false;
  }
}

void CSocketUDPPort::SignalCB(void* self, CPsxIOSig::IO io) {
  auto* port = static_cast<CSocketUDPPort*>(self);
  if (io == CPsxIOSig::write) {
    if (port->TrySend()) port->Raise(rSent);
  } else if (io == CPsxIOSig::read) {
    if (port->TryRead()) port->Raise(rRead);
  }
}

LEvent CSocketUDPPort::HandleEvent(LEvent const& e) {
  if (e.is(LAsyncTimer::rExpire, &mReadTimer)) return LEvent(rRead, this, next());
  if (e.is(LAsyncTimer::rExpire, &mSentTimer)) return LEvent(rSent, this, next());
  return LHandler::HandleEvent(e);
}
