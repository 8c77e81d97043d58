// The I/O signal thread on real descriptors: one-shot readiness, Finish, ordering, lifetime.
#include "CPsxIOSig.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <semaphore>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "CAsyncWorld_Null.h"
#include "CLoopThread.h"
#include "CPsxThread.h"
#include "CRunLoop.h"

namespace {

using Clock = std::chrono::steady_clock;
using IO = CPsxIOSig::IO;
constexpr IO kRead = CPsxIOSig::read;
constexpr IO kWrite = CPsxIOSig::write;
constexpr int kMaxFd = CPsxIOSig::kMaxFd;
constexpr auto kDeadline = std::chrono::seconds(10);  // bounds waits that end on events

// A run-loop world that can hold the I/O thread in its next raise, lock released: all
// that is waited for meanwhile is found by the thread's next pass, at once.
class CGateWorld : public CAsyncWorld_Null {
 public:
  void SetSignal(LAsyncSignal* signal) override {
    if (hold.exchange(false)) {
      held.release();
      go.acquire();
    }
    CAsyncWorld_Null::SetSignal(signal);
  }
  std::atomic<bool> hold{false};
  std::counting_semaphore<2> held{0}, go{0};
};

bool NonBlocking(int fd) {
  return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
}

// The ids of this process's threads that are not in `before`.
std::set<pid_t> NewTasks(std::set<pid_t> const& before = {}) {
  std::set<pid_t> ids;
  for (auto const& e : std::filesystem::directory_iterator("/proc/self/task"))
    if (const pid_t id = std::stoi(e.path().filename().string()); !before.count(id)) ids.insert(id);
  return ids;
}

// The state letter of one of this process's threads ('S': asleep in a blocking call).
char TaskState(pid_t id) {
  std::ifstream f("/proc/self/task/" + std::to_string(id) + "/stat");
  const std::string line{std::istreambuf_iterator<char>(f), {}};
  const auto end = line.rfind(')');  // the name may hold spaces
  return end != std::string::npos && end + 2 < line.size() ? line[end + 2] : '?';
}

// Runs the last Free on a thread of its own; false if it never returns from joining.
bool LastFreeReturns(LAsyncWorld& world) {
  std::packaged_task<void()> task([&world] { CPsxIOSig::Free(world); });
  std::future<void> done = task.get_future();
  std::thread last(std::move(task));
  if (done.wait_for(kDeadline) != std::future_status::ready) {
    last.detach();  // stuck for good; the process ends it
    return false;
  }
  last.join();
  return CPsxIOSig::instance() == nullptr;
}

// The world on the test thread, descriptors to watch, and a log of every callback.
class PsxIOSig : public ::testing::Test {
 protected:
  // Tools that add a helper thread do so at the first thread made: before any count.
  static void SetUpTestSuite() {
    std::thread([] {}).join();
  }
  ~PsxIOSig() override {
    world.go.release();  // never leave the thread held
    for (int n = 0; n < 4 && CPsxIOSig::instance(); ++n) CPsxIOSig::Free(world);
    for (int fd : mFds) close(fd);
  }

  // A connected datagram pair; returns the watched end. Without `peer` the other end
  // sends a datagram that is never read: the watched end stays readable.
  int Pair(int* peer = nullptr) {
    int sv[2] = {-1, -1};
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, sv), 0);
    mFds.insert(mFds.end(), {sv[0], sv[1]});
    if (peer)
      *peer = sv[1];
    else
      EXPECT_EQ(::send(sv[1], "x", 1, 0), 1);
    return sv[0];
  }

  // Registers `fd` with a callback that logs, runs `onReady`, and keeps the loop from
  // going to sleep in the iteration that reported.
  bool Prepare(int fd, std::function<void(IO)> onReady = {}) {
    mClients.push_back([this, fd, onReady = std::move(onReady)](IO io) {
      EXPECT_EQ(std::this_thread::get_id(), mWorldThread) << "not on the world's thread";
      mReports.emplace_back(fd, io);
      if (onReady) onReady(io);
      world.runloop()->WakeUp();
    });
    return CPsxIOSig::Prepare(
        fd,
        {&mClients.back(),
         [](void* client, IO io) { (*static_cast<std::function<void(IO)>*>(client))(io); }},
        world);
  }

  // Uses the instance and registers a sentinel, always readable, that proves a pass.
  void Start() {
    CPsxIOSig::Use(world);
    ASSERT_TRUE(Prepare(mSentinel = Pair()));
  }

  // Runs the loop until `done` holds; false if the deadline passes first.
  bool DriveUntil(std::function<bool()> const& done) {
    for (auto end = Clock::now() + kDeadline; !done() && Clock::now() < end;)
      world.runloop()->RunOnce(std::chrono::duration<double>(end - Clock::now()).count());
    return done();
  }

  // Returns once a pass of the I/O thread begun after this call has been reported: any
  // readiness of a descriptor waited for shows by then.
  bool Barrier() {
    const int seen = Count(mSentinel);
    CPsxIOSig::Wait(mSentinel, kRead);
    return DriveUntil([&] { return Count(mSentinel) > seen; });
  }

  int Count(int fd, int io = -1) const {
    return static_cast<int>(std::count_if(mReports.begin(), mReports.end(), [&](auto const& r) {
      return r.first == fd && (io < 0 || r.second == io);
    }));
  }

  CGateWorld world;
  std::vector<std::pair<int, IO>> mReports;  // descriptor and direction
  std::vector<int> mFds;                     // closed at the end
  int mSentinel = -1;
  std::thread::id mWorldThread = std::this_thread::get_id();
  std::deque<std::function<void(IO)>> mClients;  // addresses stay put: callback contexts
};

TEST_F(PsxIOSig, UsersShareOneThreadWhichQuitsAtTheLastFreeAndAFreshUseServesAgain) {
  const int a = Pair();
  EXPECT_FALSE(CPsxIOSig::Prepare(a, {}, world)) << "no instance yet";

  const auto before = NewTasks();
  CPsxIOSig::Use(world);
  const auto first = NewTasks(before);
  ASSERT_EQ(first.size(), 1u);
  CPsxIOSig::Use(world);
  EXPECT_EQ(NewTasks(before), first) << "a second I/O thread";
  CPsxIOSig::Free(world);
  ASSERT_TRUE(LastFreeReturns(world)) << "the I/O thread did not quit";

  const auto between = NewTasks();
  CPsxIOSig::Use(world);
  const auto second = NewTasks(between);
  ASSERT_EQ(second.size(), 1u);
  ASSERT_TRUE(Prepare(a));
  CPsxIOSig::Wait(a, kRead);
  EXPECT_TRUE(DriveUntil([&] { return Count(a) == 1; })) << "the fresh thread does not serve";
}

// Without its wake-up pipe (descriptors ran out) a thread could never be told to quit
// and the last Free would hang joining it: there must be no thread, and no descriptor
// is accepted, as none could ever be served.
TEST_F(PsxIOSig, LastFreeReturnsWhenTheWakeUpPipeCouldNotBeMade) {
  // All but two descriptors are taken while the instance is made: the epoll set gets
  // one and the pipe, which needs two, fails (none free would starve the sanitizers).
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  rlimit low = old;
  low.rlim_cur = std::min<rlim_t>(old.rlim_cur, 256);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  const auto before = NewTasks();
  std::vector<int> taken;
  for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) taken.push_back(fd);
  for (int i = 0; i < 2 && !taken.empty(); ++i) {
    close(taken.back());
    taken.pop_back();
  }
  CPsxIOSig::Use(world);
  for (int fd : taken) close(fd);
  setrlimit(RLIMIT_NOFILE, &old);
  EXPECT_FALSE(CPsxIOSig::Prepare(Pair(), {}, world)) << "nothing could ever report it";
  // A thread that was started must be asleep in its wait ('S') before it is told to quit.
  for (pid_t id : NewTasks(before))
    for (auto end = Clock::now() + kDeadline; TaskState(id) != 'S' && Clock::now() < end;)
      std::this_thread::yield();
  EXPECT_TRUE(LastFreeReturns(world));
}

TEST_F(PsxIOSig, EachWaitGivesOneCallbackOfItsDirectionAndFinishUndoesPrepare) {
  Start();
  int b;
  const int a = Pair(&b);  // writable, nothing to read yet
  // The descriptors at the limit: the last that fits is taken, the first beyond is not.
  for (int fd : {kMaxFd - 1, kMaxFd}) {
    ASSERT_EQ(dup2(b, fd), fd);
    mFds.push_back(fd);
  }
  EXPECT_TRUE(Prepare(kMaxFd - 1));
  CPsxIOSig::Finish(kMaxFd - 1);
  EXPECT_FALSE(CPsxIOSig::Prepare(kMaxFd, {}, world) || CPsxIOSig::Prepare(-1, {}, world));

  int again = 2;  // the read callback waits twice more, while `a` stays readable
  ASSERT_TRUE(Prepare(a, [&, fd = a](IO io) {
    if (io == kRead && again-- > 0) CPsxIOSig::Wait(fd, io);
  }));
  EXPECT_TRUE(NonBlocking(a));
  bool secondCalled = false;
  EXPECT_FALSE(Prepare(a, [&](IO) { secondCalled = true; })) << "registered twice";
  CPsxIOSig::Wait(a, kRead);
  CPsxIOSig::Wait(a, kWrite);
  ASSERT_TRUE(DriveUntil([&] { return Count(a, kWrite) == 1; }));
  ASSERT_TRUE(Barrier());
  EXPECT_EQ(Count(a, kRead), 0) << "writability reported to a read wait";

  CPsxIOSig::Wait(a, kRead);  // already waiting: no second callback
  EXPECT_EQ(::send(b, "x", 1, 0), 1);
  ASSERT_TRUE(DriveUntil([&] { return Count(a, kRead) == 3; }));
  ASSERT_TRUE(Barrier());
  EXPECT_EQ(Count(a), 4);
  EXPECT_FALSE(secondCalled);

  CPsxIOSig::Finish(a);
  EXPECT_FALSE(NonBlocking(a));
  EXPECT_TRUE(Prepare(a)) << "refused after Finish";
}

// Four found by one pass are reported most recently waited first: c's write, waited
// last, comes first, and its callback finishes c and b, found but not yet reported;
// the rest are still reported.
TEST_F(PsxIOSig, FoundTogetherReportedLatestWaitFirstAndFinishInACallbackDropsTheUnreported) {
  Start();
  const int a = Pair(), b = Pair(), c = Pair(), d = Pair();  // readable and writable
  ASSERT_TRUE(Prepare(a) && Prepare(b) && Prepare(d));
  ASSERT_TRUE(Prepare(c, [&](IO) {
    CPsxIOSig::Finish(b);
    CPsxIOSig::Finish(c);
  }));

  world.hold = true;
  CPsxIOSig::Wait(mSentinel, kRead);
  ASSERT_TRUE(world.held.try_acquire_for(kDeadline));
  for (int fd : {a, b, d, c}) CPsxIOSig::Wait(fd, kRead);
  CPsxIOSig::Wait(c, kWrite);
  world.go.release();
  ASSERT_TRUE(DriveUntil([&] { return Count(a) == 1; }));
  ASSERT_TRUE(Barrier());
  std::vector<int> order;
  for (auto const& r : mReports)
    if (r.first != mSentinel) order.push_back(r.first);
  EXPECT_EQ(order, (std::vector<int>{c, d, a}));
  EXPECT_EQ(Count(c, kWrite), 1);
  EXPECT_FALSE(NonBlocking(c));
  EXPECT_TRUE(Prepare(c)) << "a record of c is left";
}

// A readable descriptor of a world on another thread, with the thread of each callback.
struct SRemote {
  SRemote(CLoopThread& t, int fd) : thread(t), fd(fd) {}
  // Uses the instance from the world's thread and registers `fd` there.
  bool Start() {
    bool prepared = false;
    thread.Run([&] {
      CPsxIOSig::Use(thread.world());
      prepared = CPsxIOSig::Prepare(fd, {this, &Called}, thread.world());
    });
    return prepared;
  }
  // Waits for one callback; false if none comes before the deadline.
  bool Report() {
    thread.Run([&] { CPsxIOSig::Wait(fd, kRead); });
    return reported.try_acquire_for(kDeadline);
  }
  static void Called(void* self, IO) {
    auto* r = static_cast<SRemote*>(self);
    r->threads.insert(std::this_thread::get_id());  // read after the release below
    r->reported.release();
  }
  CLoopThread& thread;
  int fd;
  std::set<std::thread::id> threads;
  std::counting_semaphore<4> reported{0};
};

// Worlds on three threads share the instance; each descriptor is reported on the thread
// of its own world, whichever world came first and whichever leaves first.
TEST_F(PsxIOSig, EachWorldsDescriptorsAreReportedOnItsOwnThreadAndAnyWorldMayLeaveFirst) {
  Start();  // the test thread's world is the first user
  auto second = std::make_unique<CLoopThread>();
  SRemote b(*second, Pair());
  ASSERT_TRUE(b.Start());
  ASSERT_TRUE(b.Report());
  ASSERT_TRUE(Barrier());
  EXPECT_EQ(b.threads, std::set<std::thread::id>{second->id()});

  // A world that came later leaves first: the first is still served.
  second->Run([&] {
    CPsxIOSig::Finish(b.fd);
    CPsxIOSig::Free(second->world());
  });
  second.reset();
  ASSERT_TRUE(Barrier());

  // The first world leaves while a later one stays: that one is still served, on its thread.
  CLoopThread third;
  SRemote c(third, Pair());
  ASSERT_TRUE(c.Start());
  CPsxIOSig::Free(world);
  ASSERT_NE(CPsxIOSig::instance(), nullptr) << "the instance went with a world still using it";
  EXPECT_FALSE(Prepare(Pair())) << "a world that left registers nothing";
  ASSERT_TRUE(c.Report());
  ASSERT_TRUE(c.Report());
  EXPECT_EQ(c.threads, std::set<std::thread::id>{third.id()});
  third.Run([&] { CPsxIOSig::Free(third.world()); });
  EXPECT_EQ(CPsxIOSig::instance(), nullptr) << "the last world left, but the instance stayed";
}

// Found in one pass, a and b are both ready for this world when a's callback frees the
// world's last user: b is dropped with the world, never reported, and the delivery
// under way ends without touching what the world had.
TEST_F(PsxIOSig, ACallbackThatFreesItsWorldEndsTheDeliveryAndDropsWhatWasLeft) {
  Start();
  const int a = Pair(), b = Pair();  // readable
  ASSERT_TRUE(Prepare(b));
  ASSERT_TRUE(Prepare(a, [&](IO) { CPsxIOSig::Free(world); }));

  world.hold = true;
  CPsxIOSig::Wait(mSentinel, kRead);
  ASSERT_TRUE(world.held.try_acquire_for(kDeadline));
  CPsxIOSig::Wait(b, kRead);
  CPsxIOSig::Wait(a, kRead);  // waited last: reported first
  world.go.release();
  ASSERT_TRUE(DriveUntil([&] { return Count(a) == 1; }));
  EXPECT_EQ(Count(b), 0) << "reported after its world left";
  EXPECT_EQ(CPsxIOSig::instance(), nullptr);

  Start();
  EXPECT_TRUE(Prepare(b)) << "a record of b outlived its world";
  ASSERT_TRUE(Barrier());
  EXPECT_EQ(Count(b), 0);
}

// The thread raises a world's signal with no lock held. The world's last Free, made while
// the raise is under way, must wait for it: the signal it destroys is in use.
TEST_F(PsxIOSig, TheLastFreeOfAWorldWaitsForARaiseOfItsSignalUnderWay) {
  CAsyncWorld_Null keeper;  // keeps the instance, so Free has no thread to join
  CPsxIOSig::Use(keeper);
  Start();
  world.hold = true;
  CPsxIOSig::Wait(mSentinel, kRead);
  ASSERT_TRUE(world.held.try_acquire_for(kDeadline)) << "no raise began";

  // The world runs no loop meanwhile: its last Free may come from another thread.
  std::atomic<pid_t> freeing{0};
  std::packaged_task<void()> task([&] {
    freeing = static_cast<pid_t>(gettid());
    CPsxIOSig::Free(world);
  });
  std::future<void> freed = task.get_future();
  std::thread last(std::move(task));
  // Either Free went to sleep waiting, or (wrongly) it returned.
  for (auto end = Clock::now() + kDeadline;
       freed.wait_for(std::chrono::seconds(0)) != std::future_status::ready &&
       !(freeing != 0 && TaskState(freeing) == 'S') && Clock::now() < end;)
    std::this_thread::yield();
  EXPECT_NE(freed.wait_for(std::chrono::seconds(0)), std::future_status::ready)
      << "Free returned while the thread was raising the signal it destroyed";
  world.go.release();
  last.join();
  CPsxIOSig::Free(keeper);
}

TEST(PsxThread, ImpossibleStackSizeReportsNotStartedAndDestroysAtOnce) {
  CPsxThreadParam param;
  param.SetStackSize(-1);  // widened with its sign: the whole address space
  CPsxThread thread(
      nullptr, [](void*) -> void* { std::abort(); }, param);
  EXPECT_FALSE(thread.started());
}  // no thread to join: the destructor must return

}  // namespace
