// The socket port on real sockets: binding, sends, reads, closing and descriptor limits.
#include "CSocketUDPPort.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "CAsyncWorld_Null.h"
#include "CPsxIOSig.h"
#include "CRecorder.h"
#include "CRunLoop.h"
#include "UEventClock.h"

extern char** environ;

// Found by argument-dependent lookup, so it lives beside CUDPAddr.
static void PrintTo(CUDPAddr const& a, std::ostream* os) {
  *os << ((a.host >> 24) & 0xFF) << '.' << ((a.host >> 16) & 0xFF) << '.' << ((a.host >> 8) & 0xFF)
      << '.' << (a.host & 0xFF) << ':' << a.port;
  if (a.host >> 32) *os << " (high bits 0x" << std::hex << (a.host >> 32) << std::dec << ')';
}

namespace {

using Clock = std::chrono::steady_clock;

// Every wait in these tests ends on an event; this only bounds a wait that never ends.
constexpr auto kDeadline = std::chrono::seconds(10);
constexpr std::uint32_t kLoopback = 0x7F000001;  // 127.0.0.1
constexpr std::uint32_t kLimitedBroadcast = 0xFFFFFFFF;

double SecondsLeft(Clock::time_point deadline) {
  return std::chrono::duration<double>(deadline - Clock::now()).count();
}

// Waits until `fd` reports one of `events` (errors are always reported); false at the
// deadline.
bool WaitFor(int fd, short events) {
  const auto deadline = Clock::now() + kDeadline;
  for (;;) {
    const double left = SecondsLeft(deadline);
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    const int n = poll(&p, 1, static_cast<int>(left * 1000) + 1);
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

// A plain UDP socket, the port's counterpart in the tests.
class CSock {
 public:
  CSock() : mFd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
  ~CSock() { Close(); }
  CSock(CSock const&) = delete;
  CSock& operator=(CSock const&) = delete;

  int fd() const { return mFd; }

  bool Bind(std::uint32_t host, std::uint16_t port = 0) {
    sockaddr_in sa = Sockaddr(host, port);
    return bind(mFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  }
  std::uint16_t port() const {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(mFd, reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
  }
  // The system's answer, unchanged: the count sent, or -1 with errno set.
  ssize_t SendTo(std::uint32_t host, int port, void const* data, std::size_t len) {
    const sockaddr_in sa = Sockaddr(host, static_cast<std::uint16_t>(port));
    return sendto(mFd, data, len, 0, reinterpret_cast<sockaddr const*>(&sa), sizeof sa);
  }
  ssize_t SendTo(std::uint32_t host, int port, std::string const& text) {
    return SendTo(host, port, text.data(), text.size());
  }
  // The next datagram, waiting for it up to the deadline; -1 if none came.
  ssize_t Receive(void* buffer, std::size_t capacity, CUDPAddr* from = nullptr) {
    if (!WaitFor(mFd, POLLIN)) return -1;
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    const ssize_t n =
        recvfrom(mFd, buffer, capacity, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sa), &len);
    if (from) *from = {ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)};
    return n;
  }
  std::string ReceiveText(CUDPAddr* from = nullptr) {
    char buffer[2048];
    const ssize_t n = Receive(buffer, sizeof buffer, from);
    return n < 0 ? std::string("<nothing>") : std::string(buffer, static_cast<std::size_t>(n));
  }
  void Close() {
    if (mFd >= 0) close(mFd);
    mFd = -1;
  }

  static sockaddr_in Sockaddr(std::uint32_t host, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(host);
    return sa;
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

// The descriptors open in this process.
std::vector<int> OpenFds() {
  std::vector<int> fds;
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return fds;
  const int own = dirfd(dir);
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    const int fd = std::atoi(e->d_name);
    if (fd != own) fds.push_back(fd);
  }
  closedir(dir);
  return fds;
}

// The datagram socket bound to all local addresses at `port`, as the port makes it;
// -1 if there is none.
int FdBoundTo(std::uint32_t port) {
  for (int fd : OpenFds()) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    int type = 0;
    socklen_t typeLen = sizeof type;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) continue;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLen) != 0) continue;
    if (sa.sin_family == AF_INET && type == SOCK_DGRAM && ntohs(sa.sin_port) == port &&
        sa.sin_addr.s_addr == htonl(INADDR_ANY))
      return fd;
  }
  return -1;
}

int IntOption(int fd, int level, int option) {
  int value = -1;
  socklen_t len = sizeof value;
  if (getsockopt(fd, level, option, &value, &len) != 0) return -1;
  return value;
}

// A run-loop world that can keep the select thread's raises back from the loop, and
// stop the raising thread inside a raise. A thread stopped there has finished a pass;
// its next pass copies the interest sets afresh.
class CGateWorld : public CAsyncWorld_Null {
 public:
  void SetSignal(LAsyncSignal* signal) override {
    std::unique_lock<std::mutex> lock(mMutex);
    if (mParkNext) {
      mParkNext = false;
      mParked = true;
      mCv.notify_all();
      mCv.wait(lock, [&] { return !mParked; });
    }
    if (mHold) {
      // Kept back, and cleared at once so that every later pass raises again.
      mHeld = signal;
      ClearRaised(signal);
      return;
    }
    ++mQueueing;
    lock.unlock();
    CAsyncWorld_Null::SetSignal(signal);
    lock.lock();
    --mQueueing;
    mCv.notify_all();
  }

  // From now on raises are kept back; returns once no raise is still on its way to the
  // loop, so that the loop's next pass takes every raise made before.
  void Hold() {
    std::unique_lock<std::mutex> lock(mMutex);
    mHold = true;
    mCv.wait(lock, [&] { return mQueueing == 0; });
  }
  // Lets raises through again and queues the one kept back. World thread.
  void Release() {
    LAsyncSignal* held;
    {
      std::lock_guard<std::mutex> lock(mMutex);
      mHold = false;
      held = mHeld;
      mHeld = nullptr;
    }
    if (held) held->Signal();
  }
  void ParkNext() {
    std::lock_guard<std::mutex> lock(mMutex);
    mParkNext = true;
  }
  bool WaitParked() {
    std::unique_lock<std::mutex> lock(mMutex);
    return mCv.wait_for(lock, kDeadline, [&] { return mParked; });
  }
  void Resume() {
    std::lock_guard<std::mutex> lock(mMutex);
    mParkNext = false;
    mParked = false;
    mCv.notify_all();
  }

 private:
  std::mutex mMutex;
  std::condition_variable mCv;
  bool mHold = false;
  bool mParkNext = false;
  bool mParked = false;
  int mQueueing = 0;
  LAsyncSignal* mHeld = nullptr;
};

// A network namespace of the test's own, which only the calling thread enters. It
// starts with a loopback interface that is down; the kernel removes it with the last
// socket or handle in it, so nothing outlives the test even if the test is killed.
class CScratchNetns {
 public:
  CScratchNetns() {
    mHome = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (mHome < 0) {
      mWhy = std::string("cannot open this thread's namespace: ") + std::strerror(errno);
      return;
    }
    if (unshare(CLONE_NEWNET) != 0) {
      mWhy = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
      return;
    }
    mInside = true;
  }
  ~CScratchNetns() {
    if (mInside) setns(mHome, CLONE_NEWNET);
    if (mHome >= 0) close(mHome);
  }
  CScratchNetns(CScratchNetns const&) = delete;
  CScratchNetns& operator=(CScratchNetns const&) = delete;

  bool inside() const { return mInside; }
  std::string const& why() const { return mWhy; }

  // Runs a tool (`ip`, `tc`) inside the namespace; true when it exits with 0.
  bool Run(std::initializer_list<char const*> args) {
    std::vector<char*> argv;
    for (char const* a : args) argv.push_back(const_cast<char*>(a));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
      if (errno != EINTR) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

 private:
  int mHome = -1;
  bool mInside = false;
  std::string mWhy;
};

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

  struct SCheck {
    std::function<bool()> const* done;
    CRunLoop* loop;
    static void AfterWorld(void* self) {
      auto* c = static_cast<SCheck*>(self);
      if ((*c->done)()) c->loop->WakeUp();
    }
  };

  // Runs the loop until `done` holds; false if the deadline passes first.
  bool DriveUntil(std::function<bool()> const& done) {
    const auto deadline = Clock::now() + kDeadline;
    // Checked after the world's own pass of each iteration: once it holds, the loop does
    // not go on to wait. The world's timers bring no wake-up, so waits are kept short.
    SCheck check{&done, world.runloop()};
    const std::uint64_t key = world.runloop()->AddObserver(&SCheck::AfterWorld, &check);
    bool held = true;
    while (!done()) {
      const double left = SecondsLeft(deadline);
      if (left <= 0) {
        held = false;
        break;
      }
      world.runloop()->RunOnce(std::min(left, 0.05));
    }
    world.runloop()->RemoveObserver(key);
    return held;
  }
  // Runs the loop until a timer set now has expired. Timers due at the same time expire
  // in the order set, so every completion deferred before this call has been reported.
  bool Settle() {
    CRecorder sentinelOwner;
    LAsyncTimer sentinel(&sentinelOwner, world);
    sentinel.Delay(0);
    return DriveUntil([&] { return sentinelOwner.count(LAsyncTimer::rExpire, &sentinel) == 1; });
  }

  int Sent(CUDPPort const* port = nullptr) const { return owner.count(CUDPPort::rSent, port); }
  int Reads(CUDPPort const* port = nullptr) const { return owner.count(CUDPPort::rRead, port); }

  static CUDPAddr At(CSock const& sock, std::uint32_t host = kLoopback) {
    return {host, sock.port()};
  }
  static CUDPAddr At(CUDPPort const& port, std::uint32_t host = kLoopback) {
    return {host, static_cast<std::int32_t>(port.port())};
  }

  CGateWorld world;
  CRecorder owner;
};

// ---------------------------------------------------------------------------
// Opening and closing.
class UDPPortOpen : public SocketUDPPort {};

TEST_F(UDPPortOpen, PortZeroBindsAPortChosenBySystemAndReportsIt) {
  auto port = NewPort();
  EXPECT_FALSE(port->valid());
  ASSERT_EQ(port->Open(0, 0, 0), 0);
  EXPECT_TRUE(port->valid());
  EXPECT_TRUE(port->cansend());
  EXPECT_TRUE(port->canread());
  EXPECT_NE(port->port(), 0u);
  EXPECT_LE(port->port(), 65535u);
  EXPECT_GE(FdBoundTo(port->port()), 0) << "no socket on all addresses at port " << port->port();
}

TEST_F(UDPPortOpen, OpenOnAnOpenPortReturnsZeroAndKeepsTheFirstBinding) {
  auto port = OpenPort();
  const std::uint32_t first = port->port();
  const int fd = FdBoundTo(first);
  ASSERT_GE(fd, 0);
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
  EXPECT_FALSE(second->valid());
  EXPECT_FALSE(second->cansend());
  EXPECT_FALSE(second->canread());
  EXPECT_EQ(OpenFds().size(), fdsBefore) << "the refused socket was not closed";

  // The failure changed nothing: the number is free once its holder closes.
  holder->Close();
  ASSERT_EQ(second->Open(static_cast<int>(number), 0, 0), 0);
  EXPECT_TRUE(second->valid());
  EXPECT_EQ(second->port(), number);
}

TEST_F(UDPPortOpen, SocketAllowsBroadcastSetsNoAddressReuseAndDoesNotBlock) {
  auto port = OpenPort();
  const int fd = FdBoundTo(port->port());
  ASSERT_GE(fd, 0);
  EXPECT_EQ(IntOption(fd, SOL_SOCKET, SO_BROADCAST), 1);
  EXPECT_EQ(IntOption(fd, SOL_SOCKET, SO_REUSEADDR), 0);
  EXPECT_EQ(IntOption(fd, SOL_SOCKET, SO_REUSEPORT), 0);
  EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
}

TEST_F(UDPPortOpen, SendBufferSizeIsAppliedOnlyWhenGiven) {
  CSock reference;
  const int systemDefault = IntOption(reference.fd(), SOL_SOCKET, SO_SNDBUF);
  const int size = 16384;
  ASSERT_EQ(setsockopt(reference.fd(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size), 0);
  const int asSet = IntOption(reference.fd(), SOL_SOCKET, SO_SNDBUF);
  ASSERT_NE(asSet, systemDefault);

  auto sized = OpenPort(16384);
  auto unsized = OpenPort(0);
  EXPECT_EQ(IntOption(FdBoundTo(sized->port()), SOL_SOCKET, SO_SNDBUF), asSet);
  EXPECT_EQ(IntOption(FdBoundTo(unsized->port()), SOL_SOCKET, SO_SNDBUF), systemDefault);
}

TEST_F(UDPPortOpen, CloseReleasesTheNumberAndALaterOpenBindsIt) {
  auto port = OpenPort();
  const std::uint32_t number = port->port();
  port->Close();
  EXPECT_FALSE(port->valid());
  EXPECT_FALSE(port->cansend());
  EXPECT_FALSE(port->canread());
  EXPECT_EQ(FdBoundTo(number), -1);
  port->Close();  // closing a closed port does nothing
  EXPECT_FALSE(port->valid());

  ASSERT_EQ(port->Open(static_cast<int>(number), 0, 0), 0);
  EXPECT_EQ(port->port(), number);
  EXPECT_TRUE(port->cansend());
  EXPECT_TRUE(port->canread());
}

// ---------------------------------------------------------------------------
// Sending.
class UDPPortSend : public SocketUDPPort {};

TEST_F(UDPPortSend, ImmediateSendLeavesCansendTrueAndSentComesLaterFromTheWorld) {
  CSock peer;
  ASSERT_TRUE(peer.Bind(kLoopback));
  auto port = OpenPort();
  const std::string text = "turn";

  port->Send(At(peer), text.data(), static_cast<unsigned>(text.size()));
  EXPECT_TRUE(port->cansend());
  EXPECT_EQ(Sent(), 0) << "reported from inside Send";

  ASSERT_TRUE(DriveUntil([&] { return Sent() == 1; }));
  EXPECT_EQ(Sent(port.get()), 1);
  CUDPAddr from;
  EXPECT_EQ(peer.ReceiveText(&from), text);
  EXPECT_EQ(from, At(*port));
}

TEST_F(UDPPortSend, TwoImmediateSendsBeforeTheWorldRunsReportOneSent) {
  CSock peer;
  ASSERT_TRUE(peer.Bind(kLoopback));
  auto port = OpenPort();
  const std::string first = "first", second = "second";

  port->Send(At(peer), first.data(), static_cast<unsigned>(first.size()));
  ASSERT_TRUE(port->cansend());
  port->Send(At(peer), second.data(), static_cast<unsigned>(second.size()));
  ASSERT_TRUE(port->cansend());

  ASSERT_TRUE(Settle());
  EXPECT_EQ(Sent(port.get()), 1);
  EXPECT_EQ(peer.ReceiveText(), first);
  EXPECT_EQ(peer.ReceiveText(), second);
}

TEST_F(UDPPortSend, SendToPortZeroIsRefusedYetReportsSentAndFreesThePort) {
  CSock peer;
  ASSERT_TRUE(peer.Bind(kLoopback));
  {
    CSock reference;
    errno = 0;
    ASSERT_LT(reference.SendTo(kLoopback, 0, "x", 1), 0) << "the system accepts port 0 here";
    ASSERT_TRUE(errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) << errno;
  }
  auto port = OpenPort();

  port->Send({kLoopback, 0}, "x", 1);
  EXPECT_TRUE(port->cansend());
  ASSERT_TRUE(DriveUntil([&] { return Sent(port.get()) == 1; }));

  port->Send(At(peer), "next", 4);
  EXPECT_EQ(peer.ReceiveText(), "next");
}

TEST_F(UDPPortSend, OversizeDatagramIsRefusedYetReportsSentAndFreesThePort) {
  CSock peer;
  ASSERT_TRUE(peer.Bind(kLoopback));
  const std::vector<unsigned char> oversize(70000, 0x5A);
  {
    CSock reference;
    errno = 0;
    ASSERT_LT(reference.SendTo(kLoopback, peer.port(), oversize.data(), oversize.size()), 0);
    ASSERT_EQ(errno, EMSGSIZE);
  }
  auto port = OpenPort();

  port->Send(At(peer), oversize.data(), static_cast<unsigned>(oversize.size()));
  EXPECT_TRUE(port->cansend());
  ASSERT_TRUE(DriveUntil([&] { return Sent(port.get()) == 1; }));

  port->Send(At(peer), "next", 4);
  EXPECT_EQ(peer.ReceiveText(), "next") << "something of the refused datagram arrived";
}

// ---------------------------------------------------------------------------
// Reading.
class UDPPortRead : public SocketUDPPort {};

TEST_F(UDPPortRead, ReadWithNothingWaitingCompletesOnTheFirstDatagram) {
  CSock peer;
  ASSERT_TRUE(peer.Bind(kLoopback));
  auto port = OpenPort();
  std::array<char, 64> buffer{};

  port->Read(buffer.data(), buffer.size());
  EXPECT_FALSE(port->canread());
  ASSERT_TRUE(Settle());
  EXPECT_EQ(Reads(), 0);

  ASSERT_EQ(peer.SendTo(kLoopback, static_cast<int>(port->port()), "hello"), 5);
  ASSERT_TRUE(DriveUntil([&] { return Reads() == 1; }));
  EXPECT_EQ(Reads(port.get()), 1);
  EXPECT_TRUE(port->canread());
  EXPECT_EQ(port->readsize(), 5u);
  EXPECT_EQ(std::string(buffer.data(), 5), "hello");
  EXPECT_EQ(port->readaddr(), At(peer));
}

TEST_F(UDPPortRead, DatagramAlreadyWaitingCompletesInsideReadAndIsReportedLater) {
  CSock peer;
  ASSERT_TRUE(peer.Bind(kLoopback));
  auto port = OpenPort();
  ASSERT_EQ(peer.SendTo(kLoopback, static_cast<int>(port->port()), "early"), 5);
  ASSERT_TRUE(WaitFor(FdBoundTo(port->port()), POLLIN));
  std::array<char, 64> buffer{};

  port->Read(buffer.data(), buffer.size());
  EXPECT_TRUE(port->canread());
  EXPECT_EQ(port->readsize(), 5u);
  EXPECT_EQ(Reads(), 0) << "reported from inside Read";

  ASSERT_TRUE(DriveUntil([&] { return Reads() == 1; }));
  EXPECT_EQ(std::string(buffer.data(), 5), "early");
  EXPECT_EQ(port->readaddr(), At(peer));
}

TEST_F(UDPPortRead, EmptyDatagramCompletesAReadWithSizeZero) {
  CSock peer, silent;
  ASSERT_TRUE(peer.Bind(kLoopback));
  ASSERT_TRUE(silent.Bind(kLoopback));
  auto port = OpenPort();
  std::array<unsigned char, 16> buffer{};

  port->Read(buffer.data(), buffer.size());
  ASSERT_EQ(peer.SendTo(kLoopback, static_cast<int>(port->port()), "abc"), 3);
  ASSERT_TRUE(DriveUntil([&] { return Reads() == 1; }));
  ASSERT_EQ(port->readsize(), 3u);

  buffer.fill(0xAA);
  port->Read(buffer.data(), buffer.size());
  EXPECT_FALSE(port->canread());
  ASSERT_EQ(silent.SendTo(kLoopback, static_cast<int>(port->port()), nullptr, 0), 0);
  ASSERT_TRUE(DriveUntil([&] { return Reads() == 2; }));
  EXPECT_EQ(port->readsize(), 0u);
  EXPECT_EQ(port->readaddr(), At(silent));
  EXPECT_TRUE(port->canread());
  for (unsigned char b : buffer) EXPECT_EQ(b, 0xAA);
}

TEST_F(UDPPortRead, LongDatagramFillsTheCapacityAndItsRestIsLost) {
  CSock peer;
  ASSERT_TRUE(peer.Bind(kLoopback));
  auto port = OpenPort();
  constexpr unsigned kCapacity = 8;
  std::array<char, 16> buffer;
  buffer.fill('#');

  port->Read(buffer.data(), kCapacity);
  ASSERT_EQ(peer.SendTo(kLoopback, static_cast<int>(port->port()), "0123456789ABCDEFGHIJ"), 20);
  ASSERT_TRUE(DriveUntil([&] { return Reads() == 1; }));
  EXPECT_EQ(port->readsize(), kCapacity);
  EXPECT_EQ(std::string(buffer.data(), buffer.size()), "01234567########");

  port->Read(buffer.data(), kCapacity);
  ASSERT_EQ(peer.SendTo(kLoopback, static_cast<int>(port->port()), "next"), 4);
  ASSERT_TRUE(DriveUntil([&] { return Reads() == 2; }));
  EXPECT_EQ(port->readsize(), 4u);
  EXPECT_EQ(std::string(buffer.data(), 4), "next");
}

TEST_F(UDPPortRead, ReadAddrGivesTheSendersHostAndPortInHostByteOrder) {
  constexpr std::uint32_t kSender = 0x7F010203;  // 127.1.2.3
  CSock peer;
  ASSERT_TRUE(peer.Bind(kSender));
  auto port = OpenPort();
  std::array<char, 16> buffer{};

  port->Read(buffer.data(), buffer.size());
  ASSERT_EQ(peer.SendTo(kLoopback, static_cast<int>(port->port()), "x"), 1);
  ASSERT_TRUE(DriveUntil([&] { return Reads() == 1; }));
  const CUDPAddr from = port->readaddr();
  EXPECT_EQ(from.host >> 24, 127u);
  EXPECT_EQ((from.host >> 16) & 0xFF, 1u);
  EXPECT_EQ((from.host >> 8) & 0xFF, 2u);
  EXPECT_EQ(from.host & 0xFF, 3u);
  EXPECT_EQ(from.host >> 32, 0u);
  EXPECT_EQ(from.port, peer.port());
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
  ASSERT_EQ(IntOption(fd, SOL_SOCKET, SO_ERROR), 0) << "the read did not meet the error";
  EXPECT_FALSE(port->canread());
  EXPECT_EQ(Reads(), 0);

  ASSERT_EQ(peer.SendTo(kLoopback, static_cast<int>(port->port()), "after"), 5);
  ASSERT_TRUE(DriveUntil([&] { return Reads() == 1; })) << "reading stopped after the error";
  EXPECT_EQ(port->readsize(), 5u);
  EXPECT_EQ(std::string(buffer.data(), 5), "after");
}

// ---------------------------------------------------------------------------
// Closing and destroying with operations under way.
class UDPPortClose : public SocketUDPPort {};

TEST_F(UDPPortClose, SendAndReadWhileClosedRaiseNothingAndOpenClearsThem) {
  auto port = NewPort();
  std::array<char, 16> buffer{};

  port->Send({kLoopback, 9}, "x", 1);
  port->Read(buffer.data(), buffer.size());
  EXPECT_FALSE(port->cansend());
  EXPECT_FALSE(port->canread());
  ASSERT_TRUE(Settle());
  EXPECT_EQ(Sent() + Reads(), 0);

  ASSERT_EQ(port->Open(0, 0, 0), 0);
  EXPECT_TRUE(port->cansend());
  EXPECT_TRUE(port->canread());
  ASSERT_TRUE(Settle());
  EXPECT_EQ(Sent() + Reads(), 0);
}

TEST_F(UDPPortClose, CloseWithAReadWaitArmedLeavesNoRegistrationBehind) {
  CSock peer;
  ASSERT_TRUE(peer.Bind(kLoopback));
  auto keeper = NewPort();  // keeps the select thread, and whatever is registered with it
  auto closed = OpenPort();
  const int fd = FdBoundTo(closed->port());
  ASSERT_GE(fd, 0);
  std::array<char, 16> buffer{};
  closed->Read(buffer.data(), buffer.size());
  ASSERT_FALSE(closed->canread());

  closed->Close();
  EXPECT_FALSE(closed->valid());
  EXPECT_FALSE(closed->canread());
  closed.reset();  // a callback for the old wait would now reach a dead port

  // The next socket takes the freed number; it could not be watched if the old
  // registration were still there.
  auto next = NewPort();
  ASSERT_EQ(next->Open(0, 0, 0), 0);
  ASSERT_EQ(FdBoundTo(next->port()), fd);
  std::array<char, 16> nextBuffer{};
  next->Read(nextBuffer.data(), nextBuffer.size());
  ASSERT_EQ(peer.SendTo(kLoopback, static_cast<int>(next->port()), "new"), 3);
  ASSERT_TRUE(DriveUntil([&] { return Reads() == 1; }));
  ASSERT_TRUE(Settle());
  EXPECT_EQ(Reads(next.get()), 1);
  EXPECT_EQ(Reads(), 1);
  EXPECT_EQ(Sent(), 0);
}

// A descriptor registered straight with the select thread, always writable, whose
// callbacks are counted.
struct SProbe {
  SProbe() {
    socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds);
    CPsxIOSig::Callback cb;
    cb.context = this;
    cb.function = &Called;
    prepared = CPsxIOSig::Prepare(fds[0], cb);
  }
  ~SProbe() {
    if (prepared) CPsxIOSig::Finish(fds[0]);
    close(fds[0]);
    close(fds[1]);
  }
  static void Called(void* self, CPsxIOSig::IO) { ++static_cast<SProbe*>(self)->calls; }

  int fds[2] = {-1, -1};
  bool prepared = false;
  int calls = 0;
};

TEST_F(UDPPortClose, CloseDropsAReadinessFoundButNotYetDelivered) {
  CSock peer;
  ASSERT_TRUE(peer.Bind(kLoopback));
  auto closed = OpenPort();
  const int fd = FdBoundTo(closed->port());
  ASSERT_GE(fd, 0);
  std::unique_ptr<CUDPPort> next;
  SProbe first, second;
  ASSERT_TRUE(first.prepared && second.prepared);
  struct SUngate {
    CGateWorld& world;
    ~SUngate() {
      world.Resume();
      world.Release();
    }
  } ungate{world};

  world.Hold();
  world.runloop()->RunOnce(0);  // takes whatever was raised before holding
  std::array<char, 16> buffer{};
  closed->Read(buffer.data(), buffer.size());
  ASSERT_FALSE(closed->canread());
  ASSERT_EQ(peer.SendTo(kLoopback, static_cast<int>(closed->port()), "late"), 4);
  ASSERT_TRUE(WaitFor(fd, POLLIN));
  // Two passes of the select thread, each ended by a raise: the second begins after the
  // datagram is there and so finds the socket ready, if no earlier pass did.
  for (SProbe* probe : {&first, &second}) {
    world.ParkNext();
    CPsxIOSig::Wait(probe->fds[0], CPsxIOSig::write);
    ASSERT_TRUE(world.WaitParked());
    world.Resume();
  }

  closed->Close();
  // The next socket takes the freed number; it could not be watched if the readiness
  // found for the old one were still registered.
  next = NewPort();
  ASSERT_EQ(next->Open(0, 0, 0), 0);
  ASSERT_EQ(FdBoundTo(next->port()), fd);
  closed.reset();
  std::array<char, 16> nextBuffer{};
  next->Read(nextBuffer.data(), nextBuffer.size());
  world.Release();
  // The first probe is on the ready list beside whatever the closed port left there,
  // and everything on that list is reported in one go.
  ASSERT_TRUE(DriveUntil([&] { return first.calls == 1 && second.calls == 1; }));
  EXPECT_EQ(Reads(), 0);
  EXPECT_FALSE(next->canread());
}

TEST_F(UDPPortClose, CompletionDeferredBeforeCloseStillArrivesAfterIt) {
  CSock peer;
  ASSERT_TRUE(peer.Bind(kLoopback));
  auto port = OpenPort();
  ASSERT_EQ(peer.SendTo(kLoopback, static_cast<int>(port->port()), "kept"), 4);
  ASSERT_TRUE(WaitFor(FdBoundTo(port->port()), POLLIN));
  std::array<char, 16> buffer{};
  port->Read(buffer.data(), buffer.size());
  ASSERT_TRUE(port->canread());
  port->Send(At(peer), "gone", 4);
  ASSERT_TRUE(port->cansend());

  port->Close();
  ASSERT_TRUE(DriveUntil([&] { return Sent(port.get()) == 1 && Reads(port.get()) == 1; }));
  EXPECT_EQ(port->readsize(), 4u);
  EXPECT_EQ(port->readaddr(), At(peer));
  EXPECT_EQ(std::string(buffer.data(), 4), "kept");
  EXPECT_EQ(peer.ReceiveText(), "gone");
}

TEST_F(UDPPortClose, DestroyingRightAfterImmediateCompletionsRaisesNoEvent) {
  CSock peer;
  ASSERT_TRUE(peer.Bind(kLoopback));
  auto port = OpenPort();
  ASSERT_EQ(peer.SendTo(kLoopback, static_cast<int>(port->port()), "in"), 2);
  ASSERT_TRUE(WaitFor(FdBoundTo(port->port()), POLLIN));
  std::array<char, 16> buffer{};
  port->Read(buffer.data(), buffer.size());
  ASSERT_TRUE(port->canread());
  port->Send(At(peer), "out", 3);
  ASSERT_TRUE(port->cansend());

  port.reset();
  ASSERT_TRUE(Settle());
  EXPECT_EQ(Sent(), 0);
  EXPECT_EQ(Reads(), 0);
  EXPECT_EQ(peer.ReceiveText(), "out");
}

// ---------------------------------------------------------------------------
// The select thread watches descriptors below FD_SETSIZE only.
class UDPPortDescriptorLimit : public SocketUDPPort {};

TEST_F(UDPPortDescriptorLimit, SocketNumberedPastTheSelectLimitIsClosedAndOpenFails) {
  auto port = NewPort();  // its select thread's descriptors are taken before the filling
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  struct SRestore {
    rlimit limit;
    ~SRestore() { setrlimit(RLIMIT_NOFILE, &limit); }
  } restore{saved};
  constexpr rlim_t kWanted = FD_SETSIZE + 64;
  if (saved.rlim_cur < kWanted) {
    rlimit raised = saved;
    raised.rlim_cur = kWanted;
    raised.rlim_max = std::max(saved.rlim_max, kWanted);
    if (setrlimit(RLIMIT_NOFILE, &raised) != 0)
      GTEST_SKIP() << "cannot raise RLIMIT_NOFILE to " << kWanted << " (" << std::strerror(errno)
                   << "); a socket numbered past " << FD_SETSIZE << " cannot be made";
  }
  struct SFiller {
    std::vector<int> fds;
    ~SFiller() {
      for (int fd : fds) close(fd);
    }
  } filler;
  const int base = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(base, 0);
  filler.fds.push_back(base);
  for (;;) {
    const int fd = fcntl(base, F_DUPFD_CLOEXEC, 0);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    if (fd >= FD_SETSIZE) {
      close(fd);
      break;
    }
    filler.fds.push_back(fd);
  }
  {
    CSock probe;
    ASSERT_GE(probe.fd(), FD_SETSIZE) << "the next socket would be watchable";
  }
  const auto fdsBefore = OpenFds().size();

  EXPECT_EQ(port->Open(0, 0, 0), 1);
  EXPECT_FALSE(port->valid());
  EXPECT_FALSE(port->cansend());
  EXPECT_FALSE(port->canread());
  EXPECT_EQ(OpenFds().size(), fdsBefore) << "the unwatchable socket was left open";

  for (int fd : filler.fds) close(fd);
  filler.fds.clear();
  EXPECT_EQ(port->Open(0, 0, 0), 0);
  EXPECT_TRUE(port->valid());
}

// ---------------------------------------------------------------------------
// Behaviour that needs an interface of the test's own making, in a private namespace.
class UDPPortNamespace : public SocketUDPPort {
 protected:
  void SetUp() override {
    mNetns = std::make_unique<CScratchNetns>();
    if (!mNetns->inside()) GTEST_SKIP() << "cannot make a network namespace: " << mNetns->why();
    if (!mNetns->Run({"ip", "link", "set", "lo", "up"}))
      GTEST_SKIP() << "cannot run `ip` in a network namespace";
  }
  void TearDown() override { mNetns.reset(); }

  // Loopback with a slow queue in front of it: datagrams wait there charged to their
  // socket's send buffer, so a small buffer fills and sends would block.
  bool SlowLoopback() {
    return mNetns->Run({"tc", "qdisc", "add", "dev", "lo", "root", "tbf", "rate", "256kbit",
                        "burst", "2000", "limit", "1000000"});
  }

  static constexpr unsigned kDatagram = 200;
  static constexpr int kMaxFill = 2000;

  // Sends numbered datagrams until one has to wait, then delivers the deferred report
  // of those that went at once, so that nothing but the waiting send is left to report.
  // Returns how many went at once.
  int FillUntilASendWaits(CUDPPort& port, CUDPAddr to) {
    for (int attempt = 0; attempt < 20; ++attempt) {
      while (port.cansend()) {
        if (mNext >= kMaxFill) {
          ADD_FAILURE() << "no send had to wait";
          return -1;
        }
        auto& datagram = mDatagrams[static_cast<std::size_t>(mNext)];
        datagram.fill(static_cast<unsigned char>(mNext));
        std::memcpy(datagram.data(), &mNext, sizeof mNext);
        port.Send(to, datagram.data(), kDatagram);
        ++mNext;
      }
      world.runloop()->RunOnce(0);
      if (!port.cansend()) return mNext - 1;
    }
    ADD_FAILURE() << "the queue drained before the world could run";
    return -1;
  }
  // The number carried by a datagram from FillUntilASendWaits; -1 if none came.
  static int NextNumber(CSock& receiver) {
    std::array<unsigned char, kDatagram> got{};
    if (receiver.Receive(got.data(), got.size()) != static_cast<ssize_t>(kDatagram)) return -1;
    int number;
    std::memcpy(&number, got.data(), sizeof number);
    return number;
  }

  std::unique_ptr<CScratchNetns> mNetns;
  std::vector<std::array<unsigned char, kDatagram>> mDatagrams =
      std::vector<std::array<unsigned char, kDatagram>>(kMaxFill);
  int mNext = 0;
};

TEST_F(UDPPortNamespace, SendThatWouldBlockLeavesCansendFalseAndCompletesOnWritability) {
  if (!SlowLoopback()) GTEST_SKIP() << "cannot rate-limit loopback (tc tbf) in the namespace";
  CSock receiver;
  ASSERT_TRUE(receiver.Bind(kLoopback));
  auto port = OpenPort(1024);
  std::vector<bool> cansendAtSent;
  owner.mOnEvent = [&](LEvent const& e) {
    if (e.is(CUDPPort::rSent)) cansendAtSent.push_back(port->cansend());
  };

  const int atOnce = FillUntilASendWaits(*port, At(receiver));
  ASSERT_GE(atOnce, 0);
  ASSERT_FALSE(port->cansend());
  const int reportedBefore = Sent(port.get());

  ASSERT_TRUE(DriveUntil([&] { return port->cansend(); }));
  EXPECT_EQ(Sent(port.get()), reportedBefore + 1);
  ASSERT_FALSE(cansendAtSent.empty());
  EXPECT_TRUE(cansendAtSent.back());
  for (int i = 0; i <= atOnce; ++i) ASSERT_EQ(NextNumber(receiver), i);
}

TEST_F(UDPPortNamespace, CloseWithASendWaitArmedDropsTheDatagramAndReportsNothing) {
  if (!SlowLoopback()) GTEST_SKIP() << "cannot rate-limit loopback (tc tbf) in the namespace";
  CSock receiver;
  ASSERT_TRUE(receiver.Bind(kLoopback));
  auto keeper = NewPort();  // keeps the select thread, and whatever is registered with it
  auto closed = OpenPort(1024);
  const int fd = FdBoundTo(closed->port());
  ASSERT_GE(fd, 0);
  const int atOnce = FillUntilASendWaits(*closed, At(receiver));
  ASSERT_GE(atOnce, 0);
  const int reportedBefore = Sent();

  closed->Close();
  EXPECT_FALSE(closed->cansend());
  closed.reset();  // a callback for the old wait would now reach a dead port

  // Those that went before the close drain from the queue, making the old socket
  // writable; the waiting one never goes.
  for (int i = 0; i < atOnce; ++i) ASSERT_EQ(NextNumber(receiver), i);
  auto next = NewPort();
  ASSERT_EQ(next->Open(0, 0, 0), 0) << "the old registration is still there";
  ASSERT_EQ(FdBoundTo(next->port()), fd);
  std::array<char, 16> buffer{};
  next->Read(buffer.data(), buffer.size());
  CSock peer;
  ASSERT_TRUE(peer.Bind(kLoopback));
  ASSERT_EQ(peer.SendTo(kLoopback, static_cast<int>(next->port()), "witness"), 7);
  ASSERT_TRUE(DriveUntil([&] { return Reads(next.get()) == 1; }));
  ASSERT_TRUE(Settle());
  EXPECT_EQ(Sent(), reportedBefore);
  // A marker through the same queue comes next: the waiting datagram never went.
  const int marker = kMaxFill;
  std::array<unsigned char, kDatagram> datagram{};
  std::memcpy(datagram.data(), &marker, sizeof marker);
  ASSERT_EQ(peer.SendTo(kLoopback, receiver.port(), datagram.data(), datagram.size()),
            static_cast<ssize_t>(kDatagram));
  EXPECT_EQ(NextNumber(receiver), marker);
}

TEST_F(UDPPortNamespace, SendToTheLimitedBroadcastAddressIsAllowed) {
  for (auto args : {std::initializer_list<char const*>{"ip", "link", "add", "kn0", "type", "veth",
                                                       "peer", "name", "kn1"},
                    {"ip", "addr", "add", "10.77.0.1/24", "dev", "kn0"},
                    {"ip", "link", "set", "kn0", "up"},
                    {"ip", "link", "set", "kn1", "up"},
                    {"ip", "route", "add", "default", "dev", "kn0"}})
    if (!mNetns->Run(args)) GTEST_SKIP() << "cannot set up a veth pair in the namespace";
  CSock receiver;
  ASSERT_TRUE(receiver.Bind(INADDR_ANY));
  {
    CSock reference;  // without permission the system refuses it
    errno = 0;
    ASSERT_LT(reference.SendTo(kLimitedBroadcast, receiver.port(), "x"), 0);
    ASSERT_EQ(errno, EACCES);
  }
  auto port = OpenPort();

  port->Send(At(receiver, kLimitedBroadcast), "to all", 6);
  EXPECT_TRUE(port->cansend());
  CUDPAddr from;
  EXPECT_EQ(receiver.ReceiveText(&from), "to all");
  EXPECT_EQ(from.port, static_cast<std::int32_t>(port->port()));
  ASSERT_TRUE(DriveUntil([&] { return Sent(port.get()) == 1; }));
}

}  // namespace
