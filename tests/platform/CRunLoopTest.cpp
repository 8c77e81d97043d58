// The run loop: observers, wake-ups from other threads, posted functions, loop timers.
#include "CRunLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "UEventClock.h"

namespace {

// Appends its id to a log when called as an observer or fired as a timer; an observer
// with a key removes itself.
struct SMark {
  std::vector<int>* log;
  int id;
  std::uint64_t key = 0;
  static void Call(void* info) {
    auto* m = static_cast<SMark*>(info);
    m->log->push_back(m->id);
    if (m->key) CRunLoop::Current().RemoveObserver(m->key);
  }
  static void Fire(CLoopTimer*, void* info) { Call(info); }
};

// On manual time, loop timers fall due only when a test says so; each test starts from
// a loop with no work left over.
class RunLoop : public ::testing::Test {
 protected:
  RunLoop() {
    UEventClock::UseManual(500.0);
    while (loop.RunOnce(0)) continue;
  }
  ~RunLoop() override { UEventClock::UseSystem(); }
  CRunLoop& loop = CRunLoop::Current();
  std::vector<int> log;
};

TEST_F(RunLoop, ObserversRunEveryIterationInOrderAndMayRemoveThemselves) {
  SMark a{&log, 1}, self{&log, 2}, b{&log, 3};
  const auto ka = loop.AddObserver(&SMark::Call, &a);
  self.key = loop.AddObserver(&SMark::Call, &self);
  const auto kb = loop.AddObserver(&SMark::Call, &b);
  EXPECT_FALSE(loop.RunOnce(0)) << "observers alone are no work";
  loop.RunOnce(0);
  loop.RemoveObserver(ka);
  loop.RunOnce(0);
  EXPECT_EQ(log, (std::vector<int>{1, 2, 3, 1, 3, 3}));
  loop.RemoveObserver(kb);
}

TEST_F(RunLoop, LoopTimersFireOnceByFireTimeThenArmingOrderUnlessMovedDisarmedOrDestroyed) {
  SMark m1{&log, 1}, m2{&log, 2}, m3{&log, 3};
  CLoopTimer t1(&SMark::Fire, &m1), t2(&SMark::Fire, &m2), t3(&SMark::Fire, &m3);
  t1.Arm(0.010);
  t2.Arm(0.010);
  t3.Arm(0.005);
  loop.RunOnce(0);
  EXPECT_TRUE(log.empty()) << "nothing is due before the clock moves";
  UEventClock::Set(500.010);
  EXPECT_TRUE(loop.RunOnce(0));
  EXPECT_EQ(log, (std::vector<int>{3, 1, 2}));
  t1.Arm(0.010);
  t1.Arm(0.020);  // re-arming moves the fire time
  t2.Arm(0);
  t2.Disarm();
  CLoopTimer(&SMark::Fire, &m3).Arm(0);  // destroyed while armed
  UEventClock::Set(500.025);
  loop.RunOnce(0);
  EXPECT_EQ(log.size(), 3u);
  UEventClock::Set(500.030);
  loop.RunOnce(0);
  EXPECT_EQ(log, (std::vector<int>{3, 1, 2, 1}));
  EXPECT_LT(loop.nextFire(), 0);
}

TEST_F(RunLoop, TimerReArmedWithZeroFromItsCallbackFiresNextIteration) {
  int calls = 0;
  auto again = [](CLoopTimer* t, void* n) {
    if (++*static_cast<int*>(n) < 3) t->Arm(0);
  };
  CLoopTimer t(again, &calls);
  t.Arm(0);
  for (int i = 1; i <= 3; ++i) {
    EXPECT_TRUE(loop.RunOnce(0)) << "a timer due now is work left to do";
    EXPECT_EQ(calls, i);
  }
  EXPECT_FALSE(loop.RunOnce(0));
}

// A loop blocked without limit in Run is woken by another thread's WakeUp and calls its
// observers before it blocks again; posted functions run there, in order; Stop ends Run.
TEST(RunLoopThreads, WakeUpsPostsAndStopFromAnotherThreadReachABlockedLoop) {
  std::atomic<int> calls{0};
  std::atomic<CRunLoop*> other{nullptr};
  std::atomic<bool> stopped{false};
  std::thread t([&] {
    CRunLoop::Current().AddObserver([](void* i) { ++*static_cast<std::atomic<int>*>(i); }, &calls);
    other = &CRunLoop::Current();
    other.load()->Run();
    // The loop dies with this thread: not while Stop may still be writing its wake-up.
    while (!stopped) std::this_thread::yield();
  });
  while (!other.load()) std::this_thread::yield();
  CRunLoop& loop = *other.load();
  int ran = 0;
  for (int i = 0; i < 100; ++i) {
    loop.Post([&ran, &loop, i] {
      EXPECT_TRUE(loop.onLoopThread());
      EXPECT_EQ(ran++, i);
    });
  }
  // A lost wake-up leaves the loop blocked without limit, and this test at its deadline.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int woke = 0;
  for (; woke < 20; ++woke) {
    const int before = calls;
    loop.WakeUp();
    while (calls <= before && std::chrono::steady_clock::now() < deadline)
      std::this_thread::yield();
    if (calls <= before) break;
  }
  loop.Stop();
  stopped = true;
  t.join();
  EXPECT_EQ(woke, 20);
  EXPECT_EQ(ran, 100);
}

TEST(RunLoopThreads, StopFromAnotherThreadBeforeRunEndsItAtOnce) {
  CRunLoop& loop = CRunLoop::Current();
  std::thread([&] { loop.Stop(); }).join();
  loop.Run();
}

}  // namespace
