// The I/O signal thread on real descriptors: one-shot readiness, Finish, ordering, lifetime.
#include "CPsxIOSig.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "CAsyncWorld_Null.h"
#include "CPsxThread.h"
#include "CRunLoop.h"

namespace {

using Clock = std::chrono::steady_clock;
using IO = CPsxIOSig::IO;
constexpr IO kRead = CPsxIOSig::read;
constexpr IO kWrite = CPsxIOSig::write;

// Every wait in these tests ends on an event; this only bounds a wait that never ends.
constexpr auto kDeadline = std::chrono::seconds(10);

// A run-loop world that can stop the I/O thread inside its raise, at the end of a
// pass with its lock released. A stopped thread copies the interest sets afresh when it
// goes on: whatever is waited for while it is stopped is found by one wait.
class CGateWorld : public CAsyncWorld_Null {
 public:
  void SetSignal(LAsyncSignal* signal) override {
    std::unique_lock<std::mutex> lock(mMutex);
    if (mGated) {
      mStopped = true;
      mCv.notify_all();
      mCv.wait(lock, [&] { return !mGated; });
    }
    lock.unlock();
    CAsyncWorld_Null::SetSignal(signal);
  }
  // Stops the thread at its next raise, which `kick` must bring about; no raise may be
  // queued and undelivered (it would swallow that one). False if the thread does not stop.
  bool Stop(std::function<void()> const& kick) {
    std::unique_lock<std::mutex> lock(mMutex);
    mGated = true;
    kick();  // the thread never waits for this lock holding its own
    return mCv.wait_for(lock, kDeadline, [&] { return mStopped; });
  }
  void Ungate() {
    std::lock_guard<std::mutex> lock(mMutex);
    mGated = false;
    mCv.notify_all();
  }

 private:
  std::mutex mMutex;
  std::condition_variable mCv;
  bool mGated = false, mStopped = false;
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

// The world on the test thread, descriptors to watch, and a log of every callback.
class PsxIOSigLifetime : public ::testing::Test {
 protected:
  struct SReport {
    int fd;
    IO io;
    int pass;  // which pass of the loop's observers reported it
  };

  static void SetUpTestSuite() {
    // Tools that add a helper thread of their own do so at the first thread created;
    // have that happen before any test counts threads.
    std::thread([] {}).join();
  }
  PsxIOSigLifetime() : mPassKey(world.runloop()->AddObserver(&AfterReports, this)) {}
  ~PsxIOSigLifetime() override {
    world.runloop()->RemoveObserver(mPassKey);
    for (int fd : mFds) close(fd);
  }
  void TearDown() override {
    world.Ungate();
    // The users a test leaves; the last Free releases every registration.
    for (int n = 0; n < 4 && CPsxIOSig::instance(); ++n) CPsxIOSig::Free();
  }

  // A connected pair: `fd` is the end that is watched, `peer` the other.
  void Pair(int& fd, int& peer, int type = SOCK_DGRAM) {
    int sv[2] = {-1, -1};
    EXPECT_EQ(socketpair(AF_UNIX, type, 0, sv), 0);
    mFds.insert(mFds.end(), {fd = sv[0], peer = sv[1]});
  }
  static void Send(int fd) { ASSERT_EQ(::send(fd, "x", 1, 0), 1); }

  // Registers `fd` with a callback that logs and then runs `onReady`.
  bool Prepare(int fd, std::function<void(IO)> onReady = {}) {
    mClients.push_back([this, fd, onReady = std::move(onReady)](IO io) {
      EXPECT_EQ(std::this_thread::get_id(), mWorldThread) << "not on the world's thread";
      mReports.push_back({fd, io, mPass});
      if (onReady) onReady(io);
    });
    return CPsxIOSig::Prepare(fd, {&mClients.back(), [](void* client, IO io) {
                                     (*static_cast<std::function<void(IO)>*>(client))(io);
                                   }});
  }

  // Runs the loop until `done` holds; false if the deadline passes first. An iteration
  // reports before it waits, so the check also runs right after each report, and a
  // wake-up keeps the loop from waiting once it holds.
  bool DriveUntil(std::function<bool()> const& done) {
    const auto deadline = Clock::now() + kDeadline;
    mUntil = &done;
    while (!done() && Clock::now() < deadline)
      world.runloop()->RunOnce(std::chrono::duration<double>(deadline - Clock::now()).count());
    mUntil = nullptr;
    return done();
  }

  int Count(int fd, int io = -1) const {
    return static_cast<int>(std::count_if(mReports.begin(), mReports.end(), [&](SReport const& r) {
      return r.fd == fd && (io < 0 || r.io == io);
    }));
  }
  // The descriptors reported in the same pass as the last report of `fd`, in order,
  // the sentinel left out.
  std::vector<int> ReportedWith(int fd) const {
    const int pass =
        std::find_if(mReports.rbegin(), mReports.rend(), [&](auto& r) { return r.fd == fd; })->pass;
    std::vector<int> fds;
    for (auto const& r : mReports)
      if (r.pass == pass && r.fd != mSentinel) fds.push_back(r.fd);
    return fds;
  }

  CGateWorld world;
  std::vector<SReport> mReports;
  int mSentinel = -1;  // see PsxIOSig

 private:
  // Runs after the world's own observer in every iteration of the loop.
  static void AfterReports(void* self) {
    auto* t = static_cast<PsxIOSigLifetime*>(self);
    ++t->mPass;
    if (t->mUntil && (*t->mUntil)()) t->world.runloop()->WakeUp();
  }

  std::thread::id mWorldThread = std::this_thread::get_id();
  int mPass = 0;
  std::function<bool()> const* mUntil = nullptr;
  std::uint64_t mPassKey;
  std::deque<std::function<void(IO)>> mClients;  // addresses stay put: callback contexts
  std::vector<int> mFds;
};

TEST_F(PsxIOSigLifetime, UsesShareOneSelectThreadAndUseAfterLastFreeStartsAFreshOne) {
  int a, b;
  Pair(a, b);
  EXPECT_FALSE(CPsxIOSig::Prepare(a, {})) << "no instance yet";
  EXPECT_FALSE(NonBlocking(a));

  const auto before = NewTasks();
  CPsxIOSig::Use(world);
  const auto first = NewTasks(before);
  ASSERT_EQ(first.size(), 1u);
  CPsxIOSig::Use(world);
  EXPECT_EQ(NewTasks(before), first) << "a second I/O thread";
  CPsxIOSig::Free();
  CPsxIOSig::Free();
  ASSERT_EQ(CPsxIOSig::instance(), nullptr);

  const auto between = NewTasks();
  CPsxIOSig::Use(world);
  const auto second = NewTasks(between);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_NE(*second.begin(), *first.begin());
  ASSERT_TRUE(Prepare(a));
  Send(b);
  CPsxIOSig::Wait(a, kRead);
  EXPECT_TRUE(DriveUntil([&] { return Count(a) == 1; })) << "the fresh thread does not serve";
}

// Built without its wake-up pipe (descriptors run out), a thread could
// never be told to quit and the last Free would never return from joining it; and no
// descriptor could ever be served, so none is accepted.
TEST_F(PsxIOSigLifetime, LastFreeReturnsWhenTheWakeUpPipeCouldNotBeMade) {
  // All but two of the descriptors the process may open are taken while the instance
  // is made: its epoll set gets one, the wake-up pipe, which needs two, fails. (Leaving
  // none free would also starve the sanitizers' own bookkeeping.)
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
  int a, b;
  Pair(a, b);
  EXPECT_FALSE(CPsxIOSig::Prepare(a, {})) << "nothing could ever report it";
  // Let a thread that was started reach its wait before it is told to stop.
  for (pid_t id : NewTasks(before)) {
    const auto deadline = Clock::now() + kDeadline;
    while (TaskState(id) != 'S' && Clock::now() < deadline) std::this_thread::yield();
  }

  std::packaged_task<void()> lastFree(&CPsxIOSig::Free);
  std::future<void> done = lastFree.get_future();
  std::thread last(std::move(lastFree));
  if (done.wait_for(kDeadline) == std::future_status::ready) {
    last.join();
    EXPECT_EQ(CPsxIOSig::instance(), nullptr);
  } else {
    last.detach();  // stuck in the join for good; the process ends it
    ADD_FAILURE() << "the last Free did not return";
  }
}

// With one user in place and a sentinel, always readable, to prove that a pass
// has been made and to wake the thread for a stop.
class PsxIOSig : public PsxIOSigLifetime {
 protected:
  void SetUp() override {
    CPsxIOSig::Use(world);
    int peer;
    Pair(mSentinel, peer);
    Send(peer);  // never read
    ASSERT_TRUE(Prepare(mSentinel));
  }

  // Returns once the I/O thread has made a pass that began after this call, and its
  // findings have been reported: a readiness still in an interest set shows by then.
  bool Barrier() {
    const int seen = Count(mSentinel);
    CPsxIOSig::Wait(mSentinel, kRead);
    return DriveUntil([&] { return Count(mSentinel) > seen; });
  }
  // Stops the I/O thread at the end of its next pass (see CGateWorld).
  bool Stop() {
    return world.Stop([&] { CPsxIOSig::Wait(mSentinel, kRead); });
  }
};

TEST_F(PsxIOSig, PrepareOnceThenEachWaitGivesOneCallbackAndFinishUndoesPrepare) {
  EXPECT_FALSE(CPsxIOSig::Prepare(-1, {}) || CPsxIOSig::Prepare(FD_SETSIZE, {}));
  int a, b;
  Pair(a, b);
  ASSERT_TRUE(Prepare(a));
  EXPECT_TRUE(NonBlocking(a));
  bool secondCalled = false;
  EXPECT_FALSE(Prepare(a, [&](IO) { secondCalled = true; })) << "registered twice";

  CPsxIOSig::Wait(a, kRead);
  CPsxIOSig::Wait(a, kRead);  // already waiting: no second callback
  Send(b);                    // never read: a stays readable
  ASSERT_TRUE(DriveUntil([&] { return Count(a) == 1; }));
  ASSERT_TRUE(Barrier());
  EXPECT_EQ(Count(a, kRead), 1);
  EXPECT_FALSE(secondCalled);

  CPsxIOSig::Finish(a);
  EXPECT_FALSE(NonBlocking(a));
  EXPECT_TRUE(Prepare(a)) << "refused after Finish";
}

TEST_F(PsxIOSig, CallbackThatWaitsAgainIsCalledAgain) {
  int a, b;
  Pair(a, b);
  int left = 3;
  ASSERT_TRUE(Prepare(a, [&, fd = a](IO io) {
    if (--left > 0) CPsxIOSig::Wait(fd, io);
  }));
  Send(b);
  CPsxIOSig::Wait(a, kRead);
  ASSERT_TRUE(DriveUntil([&] { return Count(a) == 3; }));
  ASSERT_TRUE(Barrier());
  EXPECT_EQ(Count(a), 3);
}

TEST_F(PsxIOSig, ReadWaitIgnoresWritabilityAndWriteWaitReadability) {
  int r, rp, w, wp;
  Pair(r, rp);  // writable, nothing to read
  Pair(w, wp, SOCK_STREAM);
  while (::send(w, "x", 1, MSG_DONTWAIT) > 0) continue;
  Send(wp);  // w can read but not write
  ASSERT_TRUE(Prepare(r) && Prepare(w));
  CPsxIOSig::Wait(r, kRead);
  CPsxIOSig::Wait(w, kWrite);
  ASSERT_TRUE(Barrier());
  EXPECT_EQ(Count(r) + Count(w), 0);

  Send(rp);
  char sink[4096];
  while (::recv(wp, sink, sizeof sink, MSG_DONTWAIT) > 0) continue;
  ASSERT_TRUE(DriveUntil([&] { return Count(r, kRead) == 1 && Count(w, kWrite) == 1; }));
}

// Four found by one wait are reported most recently waited first, in one pass: c's
// write, waited last, comes first, and its callback finishes c and b, whose records
// were found but not yet reported; the rest are still reported.
TEST_F(PsxIOSig, FoundTogetherReportedInOnePassLatestWaitFirstAndFinishInCallbackDropsUnreported) {
  int a, ap, b, bp, c, cp, d, dp;
  Pair(a, ap);
  Pair(b, bp);
  Pair(c, cp);
  Pair(d, dp);
  ASSERT_TRUE(Prepare(a) && Prepare(b) && Prepare(d));
  ASSERT_TRUE(Prepare(c, [&](IO) {
    CPsxIOSig::Finish(b);
    CPsxIOSig::Finish(c);
  }));
  for (int peer : {ap, bp, cp, dp}) Send(peer);  // readable and writable

  ASSERT_TRUE(Stop());
  for (int fd : {a, b, d, c}) CPsxIOSig::Wait(fd, kRead);
  CPsxIOSig::Wait(c, kWrite);
  world.Ungate();
  ASSERT_TRUE(DriveUntil([&] { return Count(a) == 1; }));
  ASSERT_TRUE(Barrier());
  EXPECT_EQ(ReportedWith(a), (std::vector<int>{c, d, a}));
  EXPECT_EQ(Count(b), 0);
  EXPECT_EQ(Count(c), 1);
  EXPECT_EQ(Count(c, kWrite), 1);
  EXPECT_FALSE(NonBlocking(c));
  EXPECT_TRUE(Prepare(c)) << "a record of c is left";
}

TEST(PsxThread, ImpossibleStackSizeReportsNotStartedAndDestroysAtOnce) {
  CPsxThreadParam param;
  param.SetStackSize(-1);  // widened with its sign: the whole address space
  CPsxThread thread(
      nullptr, [](void*) -> void* { std::abort(); }, param);
  EXPECT_FALSE(thread.started());
}  // no thread to join: the destructor must return

}  // namespace
