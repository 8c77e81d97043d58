// The socket port on real sockets: binding, sends, reads, closing and descriptor limits.
#include "CSocketUDPPort.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "CAsyncWorld_Null.h"
#include "CRecorder.h"
#include "CRunLoop.h"
#include "CScratchNetns.h"
#include "CUdpSocket.h"
#include "UEventClock.h"

namespace {

constexpr auto kDeadline = std::chrono::seconds(10);  // bounds a wait whose event never comes
constexpr std::uint32_t kLoopback = 0x7F000001;       // 127.0.0.1
constexpr int kMaxFd = CPsxIOSig::kMaxFd;             // the descriptors a port may have

// Waits until `fd` reports one of `events` (errors are always reported).
bool WaitFor(int fd, short events) {
  pollfd p{fd, events, 0};
  return poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kDeadline).count())) > 0;
}

// The address of a plain socket, the port's counterpart in the tests.
CUDPAddr Addr(CUdpSocket const& s) {
  return {kLoopback, s.port};
}

std::size_t FdCount() {
  return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

// The socket bound to all local addresses at `port`, as the port makes it; -1 if none.
int FdBoundTo(std::uint32_t port) {
  for (int fd = 0; fd < kMaxFd; ++fd) {
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
  SocketUDPPort() { UEventClock::UseSystem(); }

  std::unique_ptr<CUDPPort> NewPort() {
    return std::unique_ptr<CUDPPort>(CUDPPortIF::NewPort(&owner, world));
  }
  std::unique_ptr<CUDPPort> OpenPort(unsigned sendBuffer = 0) {
    auto port = NewPort();
    EXPECT_EQ(port->Open(0, 0, sendBuffer), 0);
    return port;
  }

  // Runs the loop until `done` holds or the deadline passes. An observer checks it after
  // each pass of the world and wakes the loop, so no wait outlasts the event.
  bool DriveUntil(std::function<bool()> const& done) {
    CRunLoop* loop = world.runloop();
    std::function<void()> check = [&] {
      if (done()) loop->WakeUp();
    };
    const auto key =
        loop->AddObserver([](void* c) { (*static_cast<std::function<void()>*>(c))(); }, &check);
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (!done() && std::chrono::steady_clock::now() < deadline) loop->RunOnce(0.05);
    loop->RemoveObserver(key);
    return done();
  }
  // Runs until a timer set now expires: every completion deferred before has been reported.
  bool Settle() {
    CRecorder sentinelOwner;
    LAsyncTimer sentinel(&sentinelOwner, world);
    sentinel.Delay(0);
    return DriveUntil([&] { return sentinelOwner.count(LAsyncTimer::rExpire) == 1; });
  }

  int Sent(CUDPPort const* port = nullptr) const { return owner.count(CUDPPort::rSent, port); }
  int Reads(CUDPPort const* port = nullptr) const { return owner.count(CUDPPort::rRead, port); }

  CAsyncWorld_Null world;
  CRecorder owner;
};

TEST_F(SocketUDPPort, PortZeroPicksAPortAndANumberInUseGivesTwoUntilItIsFreed) {
  auto holder = NewPort();
  EXPECT_FALSE(holder->valid());
  ASSERT_EQ(holder->Open(0, 0, 0), 0);
  EXPECT_TRUE(holder->valid() && holder->cansend() && holder->canread());
  const std::uint32_t number = holder->port();
  ASSERT_GE(FdBoundTo(number), 0) << "no socket on all addresses at port " << number;
  const std::uint16_t other = CUdpSocket(INADDR_ANY).port;
  EXPECT_EQ(holder->Open(other, 0, 0), 0) << "an open port opens again";
  EXPECT_EQ(holder->port(), number);
  EXPECT_EQ(FdBoundTo(other), -1) << "a second socket was bound";

  auto second = NewPort();
  const auto fdsBefore = FdCount();
  EXPECT_EQ(second->Open(static_cast<int>(number), 0, 0), 2);
  EXPECT_FALSE(second->valid() || second->cansend() || second->canread());
  EXPECT_EQ(FdCount(), fdsBefore) << "the refused socket was not closed";
  holder->Close();
  EXPECT_FALSE(holder->valid());
  ASSERT_EQ(second->Open(static_cast<int>(number), 0, 0), 0);
  EXPECT_EQ(second->port(), number);
}

// The I/O signal thread watches descriptors below kMaxFd only.
TEST_F(SocketUDPPort, SocketNumberedPastTheWatchLimitIsClosedAndOpenFails) {
  auto port = NewPort();  // its I/O thread's descriptors are taken before the filling
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit raised = saved;
  raised.rlim_cur = std::max<rlim_t>(saved.rlim_cur, kMaxFd + 64);
  raised.rlim_max = std::max(saved.rlim_max, raised.rlim_cur);
  if (setrlimit(RLIMIT_NOFILE, &raised) != 0)
    GTEST_SKIP() << "cannot raise RLIMIT_NOFILE past " << kMaxFd;
  std::vector<int> filler;  // every number below kMaxFd, and one above
  for (int fd = 0; fd < kMaxFd && (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
    filler.push_back(fd);
  const auto fdsBefore = FdCount();

  EXPECT_EQ(port->Open(0, 0, 0), 1);
  EXPECT_FALSE(port->valid() || port->cansend() || port->canread());
  EXPECT_EQ(FdCount(), fdsBefore) << "the unwatchable socket was left open";
  for (int fd : filler) close(fd);
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(port->Open(0, 0, 0), 0);
}

// Sends that go at once (even one the system refuses) report later, from the world,
// and never after the port is destroyed.
TEST_F(SocketUDPPort, ImmediateSendsReportSentFromTheWorldAndNotAfterDestruction) {
  CUdpSocket peer;
  auto port = OpenPort();
  port->Send(Addr(peer), "first", 5);
  EXPECT_TRUE(port->cansend());
  port->Send(Addr(peer), "second", 6);
  EXPECT_TRUE(port->cansend());
  EXPECT_EQ(Sent(), 0) << "reported from inside Send";
  ASSERT_TRUE(Settle());
  EXPECT_EQ(Sent(port.get()), 1);
  EXPECT_EQ(peer.Receive(), "first");
  EXPECT_EQ(peer.Receive(), "second");

  const std::vector<unsigned char> oversize(70000, 0x5A);  // EMSGSIZE
  port->Send(Addr(peer), oversize.data(), static_cast<unsigned>(oversize.size()));
  EXPECT_TRUE(port->cansend());
  ASSERT_TRUE(DriveUntil([&] { return Sent() == 2; }));
  port->Send(Addr(peer), "next", 4);
  EXPECT_EQ(peer.Receive(), "next") << "something of the refused datagram arrived";

  port.reset();
  ASSERT_TRUE(Settle());
  EXPECT_EQ(Sent(), 2) << "a port destroyed right after a send still reported it";
}

// Loopback with a slow queue in front of it, in a private namespace: datagrams wait
// there charged to their socket's send buffer, so a small buffer fills (EAGAIN).
TEST_F(SocketUDPPort, SendThatWouldBlockLeavesCansendFalseAndCompletesOnWritability) {
  CScratchNetns netns;
  if (!netns.Run("tc qdisc add dev lo root tbf rate 256kbit burst 2000 limit 1000000"))
    GTEST_SKIP() << "cannot rate-limit loopback (tc tbf) in a network namespace";
  CUdpSocket receiver;
  auto port = OpenPort(1024);
  static const std::array<unsigned char, 200> kDatagram{};
  int sends = 0;
  for (; port->cansend() && sends < 2000; ++sends)
    port->Send(Addr(receiver), kDatagram.data(), kDatagram.size());
  ASSERT_FALSE(port->cansend()) << "no send had to wait";

  ASSERT_TRUE(DriveUntil([&] { return port->cansend(); }));
  ASSERT_TRUE(Settle());
  EXPECT_EQ(Sent(), 2) << "one for those that went at once, one for the one that waited";
  for (int i = 0; i < sends; ++i) ASSERT_EQ(receiver.Receive().size(), 200u) << i;
}

TEST_F(SocketUDPPort, ReadsCompleteOnArrivalWithSizeAndSenderEvenEmptyOrCutToCapacity) {
  constexpr std::uint32_t kSender = 0x7F010203;  // 127.1.2.3
  CUdpSocket peer(kSender);
  auto port = OpenPort();
  struct {
    unsigned capacity;
    std::string sent, got;
  } const rows[] = {{16, "hello", "hello"},
                    {16, "", ""},
                    {8, "0123456789ABCDEFGHIJ", "01234567"},
                    {8, "next", "next"}};  // the rest of the cut datagram is gone
  std::array<char, 16> buffer;
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(rows[i].sent);
    buffer.fill('#');
    port->Read(buffer.data(), rows[i].capacity);
    EXPECT_FALSE(port->canread());
    ASSERT_TRUE(Settle());
    EXPECT_EQ(Reads(), i) << "completed with nothing waiting";
    ASSERT_EQ(peer.SendTo(port->port(), rows[i].sent), static_cast<ssize_t>(rows[i].sent.size()));
    ASSERT_TRUE(DriveUntil([&] { return Reads(port.get()) == i + 1; }));
    EXPECT_TRUE(port->canread());
    EXPECT_EQ(port->readsize(), rows[i].got.size());
    EXPECT_EQ(std::string(buffer.data(), 16),
              rows[i].got + std::string(16 - rows[i].got.size(), '#'));
    EXPECT_EQ(port->readaddr().host, kSender) << "not in host byte order";
    EXPECT_EQ(port->readaddr().port, peer.port);
  }
}

// A refused send leaves an error on the socket (IP_RECVERR makes an unconnected socket
// keep it) that the next receive reports instead of a datagram: reading must go on. Then
// a port closed with a read waiting must leave no registration behind.
TEST_F(SocketUDPPort, ReadingGoesOnAfterAReceiveErrorAndCloseLeavesNoRegistration) {
  CUdpSocket peer;
  auto keeper = NewPort();  // keeps the I/O signal thread, and whatever is registered with it
  auto port = OpenPort();
  const int fd = FdBoundTo(port->port());
  const int on = 1;
  ASSERT_EQ(setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on), 0);
  const CUDPAddr closed = Addr(CUdpSocket());
  port->Send(closed, "x", 1);  // answered by port unreachable
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

  port->Read(buffer.data(), buffer.size());
  port->Close();
  EXPECT_FALSE(port->valid() || port->canread());
  port.reset();  // a callback for the old wait would now reach a dead port
  ASSERT_TRUE(Settle());
  const auto seen = owner.mSeen.size();
  // The next socket takes the freed number; it could not be watched if the old
  // registration were still there.
  auto next = OpenPort();
  ASSERT_EQ(FdBoundTo(next->port()), fd);
  next->Read(buffer.data(), buffer.size());
  ASSERT_EQ(peer.SendTo(next->port(), "new"), 3);
  ASSERT_TRUE(DriveUntil([&] { return Reads() == 2; }));
  ASSERT_TRUE(Settle());
  EXPECT_EQ(owner.mSeen.size(), seen + 1) << "the closed port reported something";
  EXPECT_EQ(std::string(buffer.data(), next->readsize()), "new");
}

}  // namespace
