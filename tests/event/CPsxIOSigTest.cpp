// The select thread on real descriptors: one-shot readiness, Finish, ordering, lifetime.
#include "CPsxIOSig.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "CAsyncWorld_Null.h"
#include "CPsxThread.h"
#include "CRunLoop.h"

namespace {

using Clock = std::chrono::steady_clock;
using IO = CPsxIOSig::IO;

// Every wait in these tests ends on an event; this only bounds a wait that never ends.
constexpr auto kDeadline = std::chrono::seconds(10);

// A run-loop world whose raises can be held back from the loop, and that can stop the
// raising thread inside a raise. The select thread raises the signal after each pass
// with its lock released, so a thread stopped here has finished one pass and will take
// fresh copies of the interest sets before its next select: whatever is waited for
// meanwhile is found by a single select.
class CProbeWorld : public CAsyncWorld_Null {
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
      // Kept back: cleared at once, so that every later pass raises again.
      mHeld = signal;
      ClearRaised(signal);
      mCv.notify_all();
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
  // loop, so the loop's next pass takes every raise queued before.
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
  // The next raise stops its thread until Resume.
  void ParkNext() {
    std::lock_guard<std::mutex> lock(mMutex);
    mParkNext = true;
  }
  bool WaitParked() {
    std::unique_lock<std::mutex> lock(mMutex);
    return mCv.wait_for(lock, kDeadline, [&] { return mParked; });
  }
  // Lets a parked thread go on; a park asked for already still stops the next raise.
  void Resume() {
    std::lock_guard<std::mutex> lock(mMutex);
    mParked = false;
    mCv.notify_all();
  }
  // No more parking, and a parked thread goes on.
  void StopParking() {
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

bool NonBlocking(int fd) {
  return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
}

// The ids of the threads of this process.
std::set<pid_t> Tasks() {
  std::set<pid_t> ids;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* e = readdir(dir))
      if (e->d_name[0] != '.') ids.insert(static_cast<pid_t>(std::atoi(e->d_name)));
    closedir(dir);
  }
  return ids;
}

std::set<pid_t> Minus(std::set<pid_t> const& a, std::set<pid_t> const& b) {
  std::set<pid_t> out;
  for (pid_t id : a)
    if (!b.count(id)) out.insert(id);
  return out;
}

// A joined thread can stay listed for a moment while the kernel finishes its exit.
bool TaskEnds(pid_t id) {
  const auto deadline = Clock::now() + kDeadline;
  while (Tasks().count(id)) {
    if (Clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// The world on the test thread, descriptors to watch, and a log of every callback.
class PsxIOSigBase : public ::testing::Test {
 protected:
  struct SReport {
    int fd;
    IO io;
    int pass;  // which pass of the loop's observers reported it
  };
  struct SClient {
    PsxIOSigBase* test;
    int fd;
    std::function<void(IO)> onReady;
  };

  static void SetUpTestSuite() {
    // Tools that add a helper thread of their own do so at the first thread created;
    // have that happen before any test counts threads.
    std::thread([] {}).join();
  }

  PsxIOSigBase() : mPassKey(world.runloop()->AddObserver(&AfterReports, this)) {}
  ~PsxIOSigBase() override {
    world.runloop()->RemoveObserver(mPassKey);
    for (int fd : mFds) close(fd);
  }

  void TearDown() override {
    Unpark();
    if (mKick >= 0) CPsxIOSig::Finish(mKick);
    for (int fd : mPrepared) CPsxIOSig::Finish(fd);
    mPrepared.clear();
    while (mUses > 0) Free();
  }

  void Use() {
    CPsxIOSig::Use(world);
    ++mUses;
  }
  void Free() {
    CPsxIOSig::Free();
    --mUses;
  }

  // A connected pair: `fd` is the end that is watched, `peer` the other.
  void Pair(int& fd, int& peer, int type = SOCK_DGRAM) {
    int sv[2] = {-1, -1};
    EXPECT_EQ(socketpair(AF_UNIX, type, 0, sv), 0);
    mFds.push_back(sv[0]);
    mFds.push_back(sv[1]);
    fd = sv[0];
    peer = sv[1];
  }

  static void Send(int fd) {
    const char byte = 'x';
    ASSERT_EQ(::send(fd, &byte, 1, 0), 1);
  }
  // Receives what is waiting without blocking; the number of bytes read.
  static int Drain(int fd) {
    char buf[4096];
    int total = 0;
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) total += static_cast<int>(n);
    return total;
  }
  // Sends from `fd` until its peer takes no more, so that `fd` is not writable.
  static void Fill(int fd) {
    static const char block[512] = {};
    while (::send(fd, block, sizeof block, MSG_DONTWAIT) > 0) {
    }
  }

  SClient* Client(int fd, std::function<void(IO)> onReady = {}) {
    mClients.push_back({this, fd, std::move(onReady)});
    return &mClients.back();
  }
  static CPsxIOSig::Callback CallbackFor(SClient* client) {
    CPsxIOSig::Callback cb;
    cb.context = client;
    cb.function = &OnReady;
    return cb;
  }
  // Registers `fd` with a callback that logs and then runs `onReady`.
  bool Prepare(int fd, std::function<void(IO)> onReady = {}) {
    if (!CPsxIOSig::Prepare(fd, CallbackFor(Client(fd, std::move(onReady))))) return false;
    mPrepared.push_back(fd);
    return true;
  }

  // Runs the loop until `done` holds; false if the deadline passes first. An iteration
  // reports before it waits, so the check also runs right after each report, and a
  // wake-up keeps the loop from waiting once it holds.
  bool DriveUntil(std::function<bool()> const& done) {
    const auto deadline = Clock::now() + kDeadline;
    mUntil = &done;
    while (!done()) {
      const auto left = deadline - Clock::now();
      if (left <= Clock::duration::zero()) break;
      world.runloop()->RunOnce(std::chrono::duration<double>(left).count());
    }
    mUntil = nullptr;
    return done();
  }

  int Count(int fd, IO io) const {
    int n = 0;
    for (auto const& r : mReports) n += r.fd == fd && r.io == io;
    return n;
  }
  int Count(int fd) const { return Count(fd, CPsxIOSig::read) + Count(fd, CPsxIOSig::write); }
  // The descriptors reported, in order, leaving out `skip`.
  std::vector<int> Order(std::set<int> const& skip = {}) const {
    std::vector<int> fds;
    for (auto const& r : mReports)
      if (!skip.count(r.fd)) fds.push_back(r.fd);
    return fds;
  }
  SReport const* Last(int fd) const {
    for (auto it = mReports.rbegin(); it != mReports.rend(); ++it)
      if (it->fd == fd) return &*it;
    return nullptr;
  }

  // Stops the select thread between two passes, with raises held back from the loop.
  // Whatever is waited for until the thread goes on is found by one select.
  bool Park() {
    world.Hold();
    world.ParkNext();
    world.runloop()->RunOnce(0);  // a raise queued before the hold is delivered here
    // A wake-up byte alone may be drained by a pass already under way without a select
    // returning for it; a descriptor that is ready makes the next select return.
    if (mKick < 0) {
      int peer;
      Pair(mKick, peer);
      Send(peer);
    }
    CPsxIOSig::Finish(mKick);
    if (!CPsxIOSig::Prepare(mKick, CallbackFor(Client(mKick)))) return false;
    CPsxIOSig::Wait(mKick, CPsxIOSig::read);
    return world.WaitParked();
  }
  // Lets the parked thread make one more pass and stops it again once that pass has
  // moved what it found to the ready list; nothing is reported yet. Something waited
  // for must be ready, or that select does not return.
  bool OnePass() {
    world.ParkNext();
    world.Resume();
    return world.WaitParked();
  }
  // Lets the thread go on and hands everything found to the loop.
  void Unpark() {
    world.StopParking();
    world.Release();
  }

  CProbeWorld world;
  std::vector<SReport> mReports;
  bool mOffThread = false;  // a callback ran on another thread than the world's
  int mKick = -1;           // made ready to wake the select thread for Park

 private:
  static void OnReady(void* context, IO io) {
    auto* c = static_cast<SClient*>(context);
    PsxIOSigBase* t = c->test;
    if (std::this_thread::get_id() != t->mWorldThread) t->mOffThread = true;
    t->mReports.push_back({c->fd, io, t->mPass});
    if (c->onReady) c->onReady(io);
  }
  // Runs after the world's own observer in every iteration of the loop.
  static void AfterReports(void* self) {
    auto* t = static_cast<PsxIOSigBase*>(self);
    ++t->mPass;
    if (t->mUntil && (*t->mUntil)()) t->world.runloop()->WakeUp();
  }

  std::thread::id mWorldThread = std::this_thread::get_id();
  int mPass = 0;
  std::function<bool()> const* mUntil = nullptr;
  std::uint64_t mPassKey;
  int mUses = 0;
  std::deque<SClient> mClients;  // addresses stay put: they are callback contexts
  std::vector<int> mPrepared;
  std::vector<int> mFds;
};

// Creating, sharing and destroying the instance.
class PsxIOSigLifetime : public PsxIOSigBase {};

TEST_F(PsxIOSigLifetime, FirstUseStartsOneSelectThreadAndSecondUseNone) {
  const auto before = Tasks();
  Use();
  ASSERT_NE(CPsxIOSig::instance(), nullptr);
  EXPECT_TRUE(CPsxIOSig::instance()->threadStarted());
  const auto withOne = Tasks();
  EXPECT_EQ(Minus(withOne, before).size(), 1u);

  CPsxIOSig* first = CPsxIOSig::instance();
  Use();
  EXPECT_EQ(CPsxIOSig::instance(), first);
  EXPECT_TRUE(Minus(Tasks(), withOne).empty());

  Free();  // one user is left: the instance stays and serves
  EXPECT_EQ(CPsxIOSig::instance(), first);
  int a, b;
  Pair(a, b);
  ASSERT_TRUE(Prepare(a));
  Send(b);
  CPsxIOSig::Wait(a, CPsxIOSig::read);
  ASSERT_TRUE(DriveUntil([&] { return Count(a) == 1; }));
  CPsxIOSig::Finish(a);

  const pid_t thread = *Minus(withOne, before).begin();
  Free();
  EXPECT_EQ(CPsxIOSig::instance(), nullptr);
  EXPECT_TRUE(TaskEnds(thread));
}

TEST_F(PsxIOSigLifetime, UseAfterLastFreeStartsAFreshThreadThatServes) {
  const auto before = Tasks();
  Use();
  const auto firstNew = Minus(Tasks(), before);
  ASSERT_EQ(firstNew.size(), 1u);
  Free();
  ASSERT_EQ(CPsxIOSig::instance(), nullptr);
  ASSERT_TRUE(TaskEnds(*firstNew.begin()));

  // The allocator may well hand back the same address, so the thread tells them apart.
  const auto between = Tasks();
  Use();
  ASSERT_NE(CPsxIOSig::instance(), nullptr);
  EXPECT_TRUE(CPsxIOSig::instance()->threadStarted());
  const auto secondNew = Minus(Tasks(), between);
  ASSERT_EQ(secondNew.size(), 1u);
  EXPECT_NE(*secondNew.begin(), *firstNew.begin());

  int a, b;
  Pair(a, b);
  ASSERT_TRUE(Prepare(a));
  Send(b);
  CPsxIOSig::Wait(a, CPsxIOSig::read);
  ASSERT_TRUE(DriveUntil([&] { return Count(a) == 1; }));
}

TEST_F(PsxIOSigLifetime, FreeWithoutUserIsIgnored) {
  Free();  // no user yet: must not leave the count below zero
  Use();
  EXPECT_NE(CPsxIOSig::instance(), nullptr);
  Free();
  EXPECT_EQ(CPsxIOSig::instance(), nullptr);
}

TEST_F(PsxIOSigLifetime, PrepareWithoutInstanceIsRefusedAndLeavesDescriptorAlone) {
  int a, b;
  Pair(a, b);
  EXPECT_FALSE(CPsxIOSig::Prepare(a, CallbackFor(Client(a))));
  EXPECT_FALSE(NonBlocking(a));
}

TEST_F(PsxIOSigLifetime, DestroyingInstanceWithReadinessInFlightDeliversNothingLater) {
  Use();
  int a, b;
  Pair(a, b);
  ASSERT_TRUE(Prepare(a));
  Send(b);
  ASSERT_TRUE(Park());
  // Left registered and waiting on purpose: the last Free releases the records.
  CPsxIOSig::Wait(a, CPsxIOSig::read);
  ASSERT_TRUE(OnePass());
  Unpark();  // the signal is now queued with the world, not yet delivered
  Free();
  world.runloop()->RunOnce(0);
  EXPECT_EQ(Count(a), 0);
}

// The state letter of one of this process's threads ('S': asleep in a blocking call).
char TaskState(pid_t id) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/stat", static_cast<int>(id));
  FILE* f = std::fopen(path, "r");
  if (!f) return '?';
  char line[512] = {};
  const bool got = std::fgets(line, sizeof line, f) != nullptr;
  std::fclose(f);
  const char* end = got ? std::strrchr(line, ')') : nullptr;  // the name may hold spaces
  return end && end[1] == ' ' ? end[2] : '?';
}

// Takes every free descriptor number below a lowered limit while it lives.
class CNoFreeDescriptors {
 public:
  CNoFreeDescriptors() {
    getrlimit(RLIMIT_NOFILE, &mOld);
    rlimit low = mOld;
    low.rlim_cur = std::min<rlim_t>(mOld.rlim_cur, 4096);
    setrlimit(RLIMIT_NOFILE, &low);
    int fd;
    while ((fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0) mFds.push_back(fd);
  }
  ~CNoFreeDescriptors() {
    for (int fd : mFds) close(fd);
    setrlimit(RLIMIT_NOFILE, &mOld);
  }
  CNoFreeDescriptors(CNoFreeDescriptors const&) = delete;
  CNoFreeDescriptors& operator=(CNoFreeDescriptors const&) = delete;

 private:
  rlimit mOld{};
  std::vector<int> mFds;
};

// Built without its wake-up pipe (descriptor limit reached), a select thread would
// sleep over empty sets that nothing can end, and the last Free would never return
// from joining it; and no descriptor could ever be served, so none is accepted.
TEST_F(PsxIOSigLifetime, LastFreeReturnsWhenTheWakeUpPipeCouldNotBeMade) {
  const auto before = Tasks();
  {
    CNoFreeDescriptors full;
    CPsxIOSig::Use(world);
  }
  int a, b;
  Pair(a, b);
  EXPECT_FALSE(CPsxIOSig::Prepare(a, {})) << "nothing could ever report it";
  close(a);
  close(b);
  // Let a thread that was started reach its select before it is told to stop.
  for (pid_t id : Minus(Tasks(), before)) {
    const auto deadline = Clock::now() + kDeadline;
    while (TaskState(id) != 'S' && Clock::now() < deadline) std::this_thread::yield();
  }

  auto freed = std::make_shared<std::promise<void>>();
  std::future<void> done = freed->get_future();
  std::thread last([freed] {
    CPsxIOSig::Free();
    freed->set_value();
  });
  if (done.wait_for(kDeadline) == std::future_status::ready) {
    last.join();
    EXPECT_EQ(CPsxIOSig::instance(), nullptr);
  } else {
    last.detach();  // stuck in the join for good; the process ends it
    ADD_FAILURE() << "the last Free did not return";
  }
}

// With one user in place and a sentinel to prove that a select pass has been made.
class PsxIOSig : public PsxIOSigBase {
 protected:
  void SetUp() override {
    Use();
    int peer;
    Pair(mSentinel, peer);
    Send(peer);  // never read: always readable
    ASSERT_TRUE(Prepare(mSentinel));
  }

  // Returns once the select thread has made a pass that began after this call, and its
  // findings have been reported: a readiness still in an interest set shows by then.
  bool Barrier() {
    const int seen = Count(mSentinel);
    CPsxIOSig::Wait(mSentinel, CPsxIOSig::read);
    return DriveUntil([&] { return Count(mSentinel) > seen; });
  }

  int mSentinel = -1;
};

TEST_F(PsxIOSig, PrepareMakesDescriptorNonBlockingAndFinishBlockingAgain) {
  int a, b;
  Pair(a, b);
  ASSERT_FALSE(NonBlocking(a));
  ASSERT_TRUE(Prepare(a));
  EXPECT_TRUE(NonBlocking(a));
  CPsxIOSig::Finish(a);
  EXPECT_FALSE(NonBlocking(a));
}

TEST_F(PsxIOSig, PrepareRefusesDescriptorsOutsideTheSelectRange) {
  EXPECT_FALSE(CPsxIOSig::Prepare(-1, CallbackFor(Client(-1))));
  EXPECT_FALSE(CPsxIOSig::Prepare(FD_SETSIZE, CallbackFor(Client(FD_SETSIZE))));
}

TEST_F(PsxIOSig, SecondPrepareIsRefusedAndFirstCallbackStays) {
  int a, b;
  Pair(a, b);
  ASSERT_TRUE(Prepare(a));
  bool secondCalled = false;
  auto* second = Client(a, [&](IO) { secondCalled = true; });
  EXPECT_FALSE(CPsxIOSig::Prepare(a, CallbackFor(second)));

  Send(b);
  CPsxIOSig::Wait(a, CPsxIOSig::read);
  ASSERT_TRUE(DriveUntil([&] { return Count(a) >= 1; }));
  ASSERT_TRUE(Barrier());
  EXPECT_EQ(Count(a), 1) << "one registration, one callback";
  EXPECT_FALSE(secondCalled);
}

TEST_F(PsxIOSig, PrepareAfterFinishIsAccepted) {
  int a, b;
  Pair(a, b);
  ASSERT_TRUE(Prepare(a));
  CPsxIOSig::Finish(a);
  ASSERT_TRUE(Prepare(a));
  Send(b);
  CPsxIOSig::Wait(a, CPsxIOSig::read);
  EXPECT_TRUE(DriveUntil([&] { return Count(a) == 1; }));
}

TEST_F(PsxIOSig, ReadinessIsReportedOnTheWorldThreadWithContextAndDirection) {
  int a, b;
  Pair(a, b);
  ASSERT_TRUE(Prepare(a));
  Send(b);
  CPsxIOSig::Wait(a, CPsxIOSig::read);
  ASSERT_TRUE(DriveUntil([&] { return Count(a) == 1; }));
  EXPECT_EQ(Last(a)->io, CPsxIOSig::read);
  EXPECT_FALSE(mOffThread);
}

TEST_F(PsxIOSig, OneWaitGivesOneCallbackThoughReadinessPersists) {
  int a, b;
  Pair(a, b);
  ASSERT_TRUE(Prepare(a));
  Send(b);  // never read: a stays readable
  CPsxIOSig::Wait(a, CPsxIOSig::read);
  ASSERT_TRUE(DriveUntil([&] { return Count(a) == 1; }));
  ASSERT_TRUE(Barrier());
  ASSERT_TRUE(Barrier());
  EXPECT_EQ(Count(a), 1);
}

TEST_F(PsxIOSig, WaitWhileWaitingAddsNoSecondCallback) {
  int a, b;
  Pair(a, b);
  ASSERT_TRUE(Prepare(a));
  CPsxIOSig::Wait(a, CPsxIOSig::read);
  CPsxIOSig::Wait(a, CPsxIOSig::read);
  ASSERT_TRUE(Barrier());
  EXPECT_EQ(Count(a), 0) << "nothing to read yet";
  Send(b);
  ASSERT_TRUE(DriveUntil([&] { return Count(a) == 1; }));
  ASSERT_TRUE(Barrier());
  EXPECT_EQ(Count(a), 1);
}

TEST_F(PsxIOSig, WaitWhileReadyButUnreportedAddsNoSecondCallback) {
  int a, b;
  Pair(a, b);
  ASSERT_TRUE(Prepare(a));
  Send(b);
  ASSERT_TRUE(Park());
  CPsxIOSig::Wait(a, CPsxIOSig::read);
  ASSERT_TRUE(OnePass());               // a is found and waits to be reported
  CPsxIOSig::Wait(a, CPsxIOSig::read);  // asks again before the report
  Unpark();
  ASSERT_TRUE(DriveUntil([&] { return Count(a) >= 1; }));
  ASSERT_TRUE(Barrier());
  EXPECT_EQ(Count(a), 1);
}

TEST_F(PsxIOSig, CallbackThatWaitsAgainIsCalledAtEachNextReadiness) {
  int a, b;
  Pair(a, b);
  ASSERT_TRUE(Prepare(a, [&, fd = a](IO io) {
    EXPECT_EQ(Drain(fd), 1);
    CPsxIOSig::Wait(fd, io);
  }));
  CPsxIOSig::Wait(a, CPsxIOSig::read);
  for (int round = 1; round <= 3; ++round) {
    Send(b);
    ASSERT_TRUE(DriveUntil([&] { return Count(a) == round; })) << "round " << round;
  }
  ASSERT_TRUE(Barrier());
  EXPECT_EQ(Count(a), 3) << "no readiness after the last byte was read";
}

TEST_F(PsxIOSig, CallbackThatWaitsAgainWithoutReadingIsCalledAgain) {
  int a, b;
  Pair(a, b);
  int left = 3;
  ASSERT_TRUE(Prepare(a, [&, fd = a](IO io) {
    if (--left > 0) CPsxIOSig::Wait(fd, io);
  }));
  Send(b);
  CPsxIOSig::Wait(a, CPsxIOSig::read);
  ASSERT_TRUE(DriveUntil([&] { return Count(a) == 3; }));
  ASSERT_TRUE(Barrier());
  EXPECT_EQ(Count(a), 3);
}

TEST_F(PsxIOSig, ReadWaitIgnoresWritability) {
  int a, b;
  Pair(a, b);
  ASSERT_TRUE(Prepare(a));  // a is writable and has nothing to read
  CPsxIOSig::Wait(a, CPsxIOSig::read);
  ASSERT_TRUE(Barrier());
  EXPECT_EQ(Count(a), 0);

  Send(b);
  ASSERT_TRUE(DriveUntil([&] { return Count(a) == 1; }));
  EXPECT_EQ(Last(a)->io, CPsxIOSig::read);
}

TEST_F(PsxIOSig, WriteWaitIgnoresReadability) {
  int a, b;
  Pair(a, b, SOCK_STREAM);
  Fill(a);  // a cannot write until b reads
  Send(b);  // but a can read
  ASSERT_TRUE(Prepare(a));
  CPsxIOSig::Wait(a, CPsxIOSig::write);
  ASSERT_TRUE(Barrier());
  EXPECT_EQ(Count(a), 0);

  while (Drain(b) > 0) {
  }
  ASSERT_TRUE(DriveUntil([&] { return Count(a) == 1; }));
  EXPECT_EQ(Last(a)->io, CPsxIOSig::write);
}

TEST_F(PsxIOSig, BothDirectionsWaitedAreReportedSeparately) {
  int a, b;
  Pair(a, b);
  ASSERT_TRUE(Prepare(a));
  Send(b);  // readable and writable
  CPsxIOSig::Wait(a, CPsxIOSig::read);
  CPsxIOSig::Wait(a, CPsxIOSig::write);
  ASSERT_TRUE(DriveUntil([&] { return Count(a) == 2; }));
  EXPECT_EQ(Count(a, CPsxIOSig::read), 1);
  EXPECT_EQ(Count(a, CPsxIOSig::write), 1);
}

TEST_F(PsxIOSig, WaitBeforePrepareIsForgotten) {
  int a, b;
  Pair(a, b);
  Send(b);
  CPsxIOSig::Wait(a, CPsxIOSig::read);  // not registered: no effect
  ASSERT_TRUE(Prepare(a));
  ASSERT_TRUE(Barrier());
  EXPECT_EQ(Count(a), 0);
}

TEST_F(PsxIOSig, SeveralFoundInOneSelectAreReportedInOnePassMostRecentlyWaitedFirst) {
  int a, ap;
  Pair(a, ap);
  int b, bp;
  Pair(b, bp);
  int c, cp;
  Pair(c, cp);
  for (int fd : {a, b, c}) ASSERT_TRUE(Prepare(fd));
  for (int peer : {ap, bp, cp}) Send(peer);

  ASSERT_TRUE(Park());
  CPsxIOSig::Wait(b, CPsxIOSig::read);
  CPsxIOSig::Wait(a, CPsxIOSig::read);
  CPsxIOSig::Wait(c, CPsxIOSig::read);
  Unpark();
  ASSERT_TRUE(DriveUntil([&] { return Count(a) + Count(b) + Count(c) == 3; }));

  EXPECT_EQ(Order({mSentinel, mKick}), (std::vector<int>{c, a, b}));
  EXPECT_EQ(Last(a)->pass, Last(b)->pass);
  EXPECT_EQ(Last(a)->pass, Last(c)->pass);
}

TEST_F(PsxIOSig, FinishDropsReadinessFoundButNotYetReported) {
  int a, b;
  Pair(a, b);
  ASSERT_TRUE(Prepare(a));
  Send(b);
  ASSERT_TRUE(Park());
  CPsxIOSig::Wait(a, CPsxIOSig::read);
  ASSERT_TRUE(OnePass());  // a is on its way to being reported
  CPsxIOSig::Finish(a);
  EXPECT_FALSE(NonBlocking(a));
  Unpark();
  ASSERT_TRUE(Barrier());
  EXPECT_EQ(Count(a), 0);
}

TEST_F(PsxIOSig, FinishDropsAWaitNotYetFound) {
  int a, b;
  Pair(a, b);
  ASSERT_TRUE(Prepare(a));
  CPsxIOSig::Wait(a, CPsxIOSig::read);
  CPsxIOSig::Finish(a);
  Send(b);
  ASSERT_TRUE(Barrier());
  EXPECT_EQ(Count(a), 0);
}

TEST_F(PsxIOSig, FinishOwnDescriptorInCallbackDropsItsOtherDirection) {
  int a, b;
  Pair(a, b);
  ASSERT_TRUE(Prepare(a, [fd = a](IO) { CPsxIOSig::Finish(fd); }));
  Send(b);  // readable and writable: both records are found by one select
  ASSERT_TRUE(Park());
  CPsxIOSig::Wait(a, CPsxIOSig::read);
  CPsxIOSig::Wait(a, CPsxIOSig::write);
  Unpark();
  ASSERT_TRUE(DriveUntil([&] { return Count(a) >= 1; }));
  ASSERT_TRUE(Barrier());

  EXPECT_EQ(Count(a), 1);
  EXPECT_EQ(Count(a, CPsxIOSig::write), 1) << "the later Wait is reported first";
  EXPECT_FALSE(NonBlocking(a));
  // Both records are gone: the descriptor can be registered anew and served.
  ASSERT_TRUE(Prepare(a));
  CPsxIOSig::Wait(a, CPsxIOSig::read);
  EXPECT_TRUE(DriveUntil([&] { return Count(a) == 2; }));
}

TEST_F(PsxIOSig, FinishOtherDescriptorInCallbackDropsItAndTheRestAreReported) {
  int a, ap;
  Pair(a, ap);
  int b, bp;
  Pair(b, bp);
  int c, cp;
  Pair(c, cp);
  ASSERT_TRUE(Prepare(a));
  ASSERT_TRUE(Prepare(b));
  ASSERT_TRUE(Prepare(c, [fd = b](IO) { CPsxIOSig::Finish(fd); }));
  for (int peer : {ap, bp, cp}) Send(peer);

  ASSERT_TRUE(Park());
  CPsxIOSig::Wait(a, CPsxIOSig::read);
  CPsxIOSig::Wait(b, CPsxIOSig::read);
  CPsxIOSig::Wait(c, CPsxIOSig::read);  // reported first: c, then b, then a
  Unpark();
  ASSERT_TRUE(DriveUntil([&] { return Count(a) == 1; }));
  ASSERT_TRUE(Barrier());

  EXPECT_EQ(Order({mSentinel, mKick}), (std::vector<int>{c, a}));
  EXPECT_EQ(Last(a)->pass, Last(c)->pass);
}

TEST_F(PsxIOSig, RegistrationsLeftAtLastFreeAreReleased) {
  // Run under the leak checker: records never finished go with the instance.
  int a, b;
  Pair(a, b);
  ASSERT_TRUE(CPsxIOSig::Prepare(a, CallbackFor(Client(a))));
  CPsxIOSig::Wait(a, CPsxIOSig::read);
  Free();
  EXPECT_EQ(CPsxIOSig::instance(), nullptr);
}

// The thread and attribute owners.
void* MarkRan(void* flag) {
  static_cast<std::atomic<bool>*>(flag)->store(true);
  return nullptr;
}

TEST(PsxThread, RunsTheFunctionAndJoinsAtDestruction) {
  struct SArg {
    std::atomic<bool> go{false};
    bool done = false;  // plain: only the join makes it visible
  } arg;
  {
    CPsxThreadParam param;
    CPsxThread thread(
        &arg,
        [](void* p) -> void* {
          auto* a = static_cast<SArg*>(p);
          while (!a->go.load()) std::this_thread::yield();
          a->done = true;
          return nullptr;
        },
        param);
    ASSERT_TRUE(thread.started());
    arg.go.store(true);
  }
  EXPECT_TRUE(arg.done);
}

TEST(PsxThread, ImpossibleStackSizeReportsNotStartedAndDestroysAtOnce) {
  std::atomic<bool> ran{false};
  {
    CPsxThreadParam param;
    param.SetStackSize(-1);  // widened with its sign: the whole address space
    CPsxThread thread(&ran, &MarkRan, param);
    EXPECT_FALSE(thread.started());
  }  // no thread to join: must return
  EXPECT_FALSE(ran.load());
}

TEST(PsxThread, ParamDefaultsAreOrdinaryScheduling) {
  CPsxThreadParam param;
  EXPECT_EQ(param.policy(), SCHED_OTHER);
  EXPECT_EQ(param.priority(), 0);
}

TEST(PsxThread, ParamPolicyAndPriorityRoundTrip) {
  CPsxThreadParam param;
  param.SetPolicy(SCHED_RR);
  param.SetPriority(42);
  EXPECT_EQ(param.policy(), SCHED_RR);
  EXPECT_EQ(param.priority(), 42);
  param.SetPolicy(SCHED_FIFO);
  param.SetPriority(7);
  EXPECT_EQ(param.policy(), SCHED_FIFO);
  EXPECT_EQ(param.priority(), 7);
}

}  // namespace
