// The socket port on real sockets: binding, sends, reads, closing and descriptor limits.
#include "CSocketUDPPort.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "CAsyncWorld_Null.h"
#include "CRecorder.h"
#include "CRunLoop.h"
#include "CScratchNetns.h"
#include "UEventClock.h"

// Found by argument-dependent lookup, so it lives beside CUDPAddr.
static void PrintTo(CUDPAddr const& a, std::ostream* os) {
  *os << std::hex << "0x" << a.host << std::dec << ':' << a.port;
}

namespace {

using Clock = std::chrono::steady_clock;

// Every wait in these tests ends on an event; this only bounds a wait that never ends.
constexpr auto kDeadline = std::chrono::seconds(10);
constexpr std::uint32_t kLoopback = 0x7F000001;  // 127.0.0.1

// Waits until `fd` reports one of `events` (errors are always reported).
bool WaitFor(int fd, short events) {
  pollfd p{fd, events, 0};
  return poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kDeadline).count())) > 0;
}

sockaddr_in Sockaddr(std::uint32_t host, std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(host);
  return sa;
}

// A plain UDP socket, the port's counterpart in the tests.
class CSock {
 public:
  CSock() : mFd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
  ~CSock() { close(mFd); }
  CSock(CSock const&) = delete;
  CSock& operator=(CSock const&) = delete;

  bool Bind(std::uint32_t host) {
    sockaddr_in sa = Sockaddr(host, 0);
    return bind(mFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  }
  std::uint16_t port() const {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(mFd, reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
  }
  ssize_t SendTo(std::uint32_t port, void const* data, std::size_t len) {
    const sockaddr_in sa = Sockaddr(kLoopback, static_cast<std::uint16_t>(port));
    return sendto(mFd, data, len, 0, reinterpret_cast<sockaddr const*>(&sa), sizeof sa);
  }
  ssize_t SendTo(std::uint32_t port, std::string const& text) {
    return SendTo(port, text.data(), text.size());
  }
  // The next datagram, waiting for it up to the deadline.
  std::string Receive() {
    char buffer[2048];
    const ssize_t n = WaitFor(mFd, POLLIN) ? recv(mFd, buffer, sizeof buffer, MSG_DONTWAIT) : -1;
    return n < 0 ? std::string("<nothing>") : std::string(buffer, static_cast<std::size_t>(n));
  }

 private:
  int mFd;
};

// A port number nobody is bound to at the moment of the call.
std::uint16_t FreePortNumber() {
  CSock probe;
  probe.Bind(INADDR_ANY);
  return probe.port();
}

// The descriptors open in this process (the listing's own among them).
std::vector<int> OpenFds() {
  std::vector<int> fds;
  for (auto const& e : std::filesystem::directory_iterator("/proc/self/fd"))
    fds.push_back(std::stoi(e.path().filename().string()));
  return fds;
}

// The IPv4 socket bound to all local addresses at `port`, as the port makes it; -1 if
// there is none.
int FdBoundTo(std::uint32_t port) {
  for (int fd : OpenFds()) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0 && sa.sin_family == AF_INET &&
        ntohs(sa.sin_port) == port && sa.sin_addr.s_addr == htonl(INADDR_ANY))
      return fd;
  }
  return -1;
}

// The world on the test thread and a recorder as the owner of every port.
class SocketUDPPort : public ::testing::Test {
 protected:
  SocketUDPPort() {
    UEventClock::UseSystem();
    CUDPPortIF::SetFactory(nullptr);
  }

  std::unique_ptr<CUDPPort> NewPort() {
    return std::unique_ptr<CUDPPort>(CUDPPortIF::NewPort(&owner, world));
  }
  std::unique_ptr<CUDPPort> OpenPort(unsigned sendBuffer = 0) {
    auto port = NewPort();
    EXPECT_EQ(port->Open(0, 0, sendBuffer), 0);
    return port;
  }

  // Runs the loop until `done` holds; false if the deadline passes first. Also checked
  // after the world's pass of each iteration, so that the loop does not wait once it
  // holds; the world's timers bring no wake-up, so waits are kept short.
  bool DriveUntil(std::function<bool()> const& done) {
    CRunLoop* loop = world.runloop();
    std::function<void()> check = [&] {
      if (done()) loop->WakeUp();
    };
    const auto key =
        loop->AddObserver([](void* c) { (*static_cast<std::function<void()>*>(c))(); }, &check);
    const auto deadline = Clock::now() + kDeadline;
    while (!done() && Clock::now() < deadline) loop->RunOnce(0.05);
    loop->RemoveObserver(key);
    return done();
  }
  // Runs the loop until a timer set now has expired. Timers due at the same time expire
  // in the order set, so every completion deferred before this call has been reported.
  bool Settle() {
    CRecorder sentinelOwner;
    LAsyncTimer sentinel(&sentinelOwner, world);
    sentinel.Delay(0);
    return DriveUntil([&] { return sentinelOwner.count(LAsyncTimer::rExpire) == 1; });
  }

  int Sent(CUDPPort const* port = nullptr) const { return owner.count(CUDPPort::rSent, port); }
  int Reads(CUDPPort const* port = nullptr) const { return owner.count(CUDPPort::rRead, port); }
  static CUDPAddr At(CSock const& sock, std::uint32_t host = kLoopback) {
    return {host, sock.port()};
  }

  CAsyncWorld_Null world;
  CRecorder owner;
};

// ---------------------------------------------------------------------------
// Opening and closing.
class UDPPortOpen : public SocketUDPPort {};

TEST_F(UDPPortOpen, PortZeroBindsAChosenPortThatASecondOpenKeeps) {
  auto port = NewPort();
  EXPECT_FALSE(port->valid());
  ASSERT_EQ(port->Open(0, 0, 0), 0);
  EXPECT_TRUE(port->valid() && port->cansend() && port->canread());
  const std::uint32_t first = port->port();
  EXPECT_NE(first, 0u);
  const int fd = FdBoundTo(first);
  ASSERT_GE(fd, 0) << "no socket on all addresses at port " << first;

  const std::uint16_t other = FreePortNumber();
  EXPECT_EQ(port->Open(other, 0, 0), 0);
  EXPECT_EQ(port->port(), first);
  EXPECT_EQ(FdBoundTo(first), fd);
  EXPECT_EQ(FdBoundTo(other), -1) << "a second socket was bound";
}

TEST_F(UDPPortOpen, PortNumberInUseGivesTwoAndLeavesThePortClosedAndReusable) {
  auto holder = OpenPort();
  const std::uint32_t number = holder->port();
  auto second = NewPort();
  const auto fdsBefore = OpenFds().size();

  EXPECT_EQ(second->Open(static_cast<int>(number), 0, 0), 2);
  EXPECT_FALSE(second->valid() || second->cansend() || second->canread());
  EXPECT_EQ(OpenFds().size(), fdsBefore) << "the refused socket was not closed";

  holder->Close();
  EXPECT_FALSE(holder->valid());
  ASSERT_EQ(second->Open(static_cast<int>(number), 0, 0), 0);
  EXPECT_EQ(second->port(), number);
}

// The I/O signal thread watches descriptors below FD_SETSIZE only.
TEST_F(UDPPortOpen, SocketNumberedPastTheSelectLimitIsClosedAndOpenFails) {
  auto port = NewPort();  // its I/O thread's descriptors are taken before the filling
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit raised = saved;
  raised.rlim_cur = std::max<rlim_t>(saved.rlim_cur, FD_SETSIZE + 64);
  raised.rlim_max = std::max(saved.rlim_max, raised.rlim_cur);
  if (setrlimit(RLIMIT_NOFILE, &raised) != 0)
    GTEST_SKIP() << "cannot raise RLIMIT_NOFILE past " << FD_SETSIZE;
  std::vector<int> filler;  // every number below FD_SETSIZE, and one above
  for (int fd = 0; fd < FD_SETSIZE && (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
    filler.push_back(fd);
  const auto fdsBefore = OpenFds().size();

  EXPECT_EQ(port->Open(0, 0, 0), 1);
  EXPECT_FALSE(port->valid() || port->cansend() || port->canread());
  EXPECT_EQ(OpenFds().size(), fdsBefore) << "the unwatchable socket was left open";
  for (int fd : filler) close(fd);
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(port->Open(0, 0, 0), 0);
}

// ---------------------------------------------------------------------------
// Sending.
class UDPPortSend : public SocketUDPPort {};

TEST_F(UDPPortSend, ImmediateSendsLeaveCansendTrueAndOneSentComesLaterFromTheWorld) {
  CSock peer;
  ASSERT_TRUE(peer.Bind(kLoopback));
  auto port = OpenPort();

  port->Send(At(peer), "first", 5);
  EXPECT_TRUE(port->cansend());
  port->Send(At(peer), "second", 6);
  EXPECT_TRUE(port->cansend());
  EXPECT_EQ(Sent(), 0) << "reported from inside Send";

  ASSERT_TRUE(Settle());
  EXPECT_EQ(Sent(port.get()), 1);
  EXPECT_EQ(peer.Receive(), "first");
  EXPECT_EQ(peer.Receive(), "second");
}

TEST_F(UDPPortSend, DatagramRefusedBySystemStillReportsSentAndFreesThePort) {
  CSock peer;
  ASSERT_TRUE(peer.Bind(kLoopback));
  const std::vector<unsigned char> oversize(70000, 0x5A);  // EMSGSIZE
  auto port = OpenPort();

  port->Send(At(peer), oversize.data(), static_cast<unsigned>(oversize.size()));
  EXPECT_TRUE(port->cansend());
  ASSERT_TRUE(DriveUntil([&] { return Sent(port.get()) == 1; }));
  port->Send(At(peer), "next", 4);
  EXPECT_EQ(peer.Receive(), "next") << "something of the refused datagram arrived";
}

// Loopback with a slow queue in front of it, in a private namespace: datagrams wait
// there charged to their socket's send buffer, so a small buffer fills.
TEST_F(UDPPortSend, SendThatWouldBlockLeavesCansendFalseAndCompletesOnWritability) {
  CScratchNetns netns;
  if (!netns.Run("tc qdisc add dev lo root tbf rate 256kbit burst 2000 limit 1000000"))
    GTEST_SKIP() << "cannot rate-limit loopback (tc tbf) in a network namespace";
  CSock receiver;
  ASSERT_TRUE(receiver.Bind(kLoopback));
  auto port = OpenPort(1024);
  static const std::array<unsigned char, 200> kDatagram{};
  int sends = 0;
  while (port->cansend() && sends < 2000) {
    port->Send(At(receiver), kDatagram.data(), kDatagram.size());
    ++sends;
  }
  ASSERT_FALSE(port->cansend()) << "no send had to wait";

  ASSERT_TRUE(DriveUntil([&] { return port->cansend(); }));
  ASSERT_TRUE(Settle());
  EXPECT_EQ(Sent(), 2) << "one for those that went at once, one for the one that waited";
  for (int i = 0; i < sends; ++i) ASSERT_EQ(receiver.Receive().size(), 200u) << i;
}

// ---------------------------------------------------------------------------
// Reading.
class UDPPortRead : public SocketUDPPort {};

TEST_F(UDPPortRead, ReadsCompleteOnArrivalWithSizeAndSenderEvenEmptyOrCutToCapacity) {
  constexpr std::uint32_t kSender = 0x7F010203;  // 127.1.2.3
  CSock peer;
  ASSERT_TRUE(peer.Bind(kSender));
  auto port = OpenPort();
  std::array<char, 16> buffer;
  buffer.fill('#');

  port->Read(buffer.data(), buffer.size());
  EXPECT_FALSE(port->canread());
  ASSERT_TRUE(Settle());
  EXPECT_EQ(Reads(), 0) << "nothing was waiting";
  ASSERT_EQ(peer.SendTo(port->port(), "hello"), 5);
  ASSERT_TRUE(DriveUntil([&] { return Reads(port.get()) == 1; }));
  EXPECT_TRUE(port->canread());
  EXPECT_EQ(std::string(buffer.data(), port->readsize()), "hello");
  EXPECT_EQ(port->readaddr(), At(peer, kSender)) << "not in host byte order";

  buffer.fill('#');
  port->Read(buffer.data(), buffer.size());
  ASSERT_EQ(peer.SendTo(port->port(), nullptr, 0), 0);
  ASSERT_TRUE(DriveUntil([&] { return Reads() == 2; }));
  EXPECT_EQ(port->readsize(), 0u);

  port->Read(buffer.data(), 8);
  ASSERT_EQ(peer.SendTo(port->port(), "0123456789ABCDEFGHIJ"), 20);
  ASSERT_TRUE(DriveUntil([&] { return Reads() == 3; }));
  EXPECT_EQ(port->readsize(), 8u);
  EXPECT_EQ(std::string(buffer.data(), buffer.size()), "01234567########");

  port->Read(buffer.data(), 8);
  ASSERT_EQ(peer.SendTo(port->port(), "next"), 4);
  ASSERT_TRUE(DriveUntil([&] { return Reads() == 4; }));
  EXPECT_EQ(std::string(buffer.data(), port->readsize()), "next") << "the rest was not lost";
}

// A refused send leaves an error on the socket (IP_RECVERR makes an unconnected socket
// keep it) that the next receive reports instead of a datagram. Reading must go on.
TEST_F(UDPPortRead, ReadingGoesOnAfterAReceiveFailsWithAnError) {
  CSock peer;
  ASSERT_TRUE(peer.Bind(kLoopback));
  auto port = OpenPort();
  const int fd = FdBoundTo(port->port());
  ASSERT_GE(fd, 0);
  const int on = 1;
  ASSERT_EQ(setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on), 0);

  port->Send({kLoopback, FreePortNumber()}, "x", 1);  // answered by port unreachable
  ASSERT_TRUE(WaitFor(fd, 0)) << "no error arrived on the socket";
  std::array<char, 16> buffer{};
  port->Read(buffer.data(), buffer.size());
  int error = -1;
  socklen_t len = sizeof error;
  ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len), 0);
  ASSERT_EQ(error, 0) << "the read did not meet the error";
  EXPECT_FALSE(port->canread());

  ASSERT_EQ(peer.SendTo(port->port(), "after"), 5);
  ASSERT_TRUE(DriveUntil([&] { return Reads() == 1; })) << "reading stopped after the error";
  EXPECT_EQ(std::string(buffer.data(), port->readsize()), "after");
}

// ---------------------------------------------------------------------------
// Closing and destroying with operations under way.
class UDPPortClose : public SocketUDPPort {};

TEST_F(UDPPortClose, CloseWithAReadWaitArmedReportsNothingAndLeavesNoRegistration) {
  CSock peer;
  ASSERT_TRUE(peer.Bind(kLoopback));
  auto keeper = NewPort();  // keeps the I/O signal thread, and whatever is registered with it
  auto closed = OpenPort();
  const int fd = FdBoundTo(closed->port());
  std::array<char, 16> buffer{};
  closed->Read(buffer.data(), buffer.size());

  closed->Close();
  EXPECT_FALSE(closed->valid() || closed->canread());
  closed.reset();  // a callback for the old wait would now reach a dead port

  // The next socket takes the freed number; it could not be watched if the old
  // registration were still there.
  auto next = OpenPort();
  ASSERT_EQ(FdBoundTo(next->port()), fd);
  next->Read(buffer.data(), buffer.size());
  ASSERT_EQ(peer.SendTo(next->port(), "new"), 3);
  ASSERT_TRUE(DriveUntil([&] { return Reads() == 1; }));
  ASSERT_TRUE(Settle());
  EXPECT_EQ(Reads(next.get()), 1);
  EXPECT_EQ(Reads() + Sent(), 1);
}

TEST_F(UDPPortClose, DestroyingRightAfterAnImmediateSendRaisesNoSent) {
  CSock peer;
  ASSERT_TRUE(peer.Bind(kLoopback));
  auto port = OpenPort();
  port->Send(At(peer), "out", 3);
  ASSERT_TRUE(port->cansend());

  port.reset();
  ASSERT_TRUE(Settle());
  EXPECT_EQ(Sent(), 0);
  EXPECT_EQ(peer.Receive(), "out");
}

}  // namespace
