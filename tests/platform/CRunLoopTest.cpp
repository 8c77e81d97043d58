// The run loop: observers, wake-ups from other threads, posted functions, loop timers.
#include "CRunLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "UEventClock.h"

namespace {

struct SCounter {
  int calls = 0;
  static void Bump(void* info) { ++static_cast<SCounter*>(info)->calls; }
};

// Each test switches to manual time so loop timers fall due only when it says so.
class RunLoop : public ::testing::Test {
 protected:
  RunLoop() { UEventClock::UseManual(500.0); }
  ~RunLoop() override {
    while (loop.RunOnce(0)) {
    }
    UEventClock::UseSystem();
  }
  void At(double seconds) { UEventClock::Set(seconds); }

  CRunLoop& loop = CRunLoop::Current();
};

TEST_F(RunLoop, ObserversRunEveryIterationUntilRemoved) {
  SCounter a, b;
  const auto ka = loop.AddObserver(&SCounter::Bump, &a);
  const auto kb = loop.AddObserver(&SCounter::Bump, &b);
  loop.RunOnce(0);
  loop.RunOnce(0);
  loop.RemoveObserver(ka);
  loop.RunOnce(0);
  EXPECT_EQ(a.calls, 2);
  EXPECT_EQ(b.calls, 3);
  loop.RemoveObserver(kb);
}

TEST_F(RunLoop, ObserverMayRemoveItselfDuringItsCall) {
  struct SSelf {
    CRunLoop* loop;
    std::uint64_t key = 0;
    int calls = 0;
    static void Call(void* info) {
      auto* s = static_cast<SSelf*>(info);
      ++s->calls;
      s->loop->RemoveObserver(s->key);
    }
  } self{&loop};
  SCounter after;
  self.key = loop.AddObserver(&SSelf::Call, &self);
  const auto k = loop.AddObserver(&SCounter::Bump, &after);
  loop.RunOnce(0);
  loop.RunOnce(0);
  EXPECT_EQ(self.calls, 1);
  EXPECT_EQ(after.calls, 2);  // the observer after it was not skipped
  loop.RemoveObserver(k);
}

TEST_F(RunLoop, IdleIterationReportsNoWork) {
  EXPECT_FALSE(loop.RunOnce(0));
}

TEST_F(RunLoop, LoopTimersFireOnceInOrderOfFireTimeThenArming) {
  std::vector<int> order;
  struct SMark {
    std::vector<int>* order;
    int id;
    static void Fire(CLoopTimer*, void* info) {
      auto* m = static_cast<SMark*>(info);
      m->order->push_back(m->id);
    }
  } m1{&order, 1}, m2{&order, 2}, m3{&order, 3};
  CLoopTimer t1(&SMark::Fire, &m1), t2(&SMark::Fire, &m2), t3(&SMark::Fire, &m3);
  EXPECT_FALSE(t1.armed());
  t1.Arm(0.010);
  t2.Arm(0.010);
  t3.Arm(0.005);
  EXPECT_TRUE(t1.armed());
  loop.RunOnce(0);
  EXPECT_TRUE(order.empty()) << "nothing is due before the clock moves";
  At(500.010);
  EXPECT_TRUE(loop.RunOnce(0));
  EXPECT_EQ(order, (std::vector<int>{3, 1, 2}));
  EXPECT_FALSE(t1.armed());
  At(501.0);
  loop.RunOnce(0);
  EXPECT_EQ(order.size(), 3u) << "one-shot";
}

TEST_F(RunLoop, ReArmMovesAndDisarmCancels) {
  SCounter c;
  auto fire = [](CLoopTimer*, void* info) { SCounter::Bump(info); };
  CLoopTimer t(fire, &c);
  t.Arm(0.010);
  t.Arm(0.020);
  At(500.015);
  loop.RunOnce(0);
  EXPECT_EQ(c.calls, 0);
  At(500.020);
  loop.RunOnce(0);
  EXPECT_EQ(c.calls, 1);
  t.Arm(0);
  t.Disarm();
  loop.RunOnce(0);
  EXPECT_EQ(c.calls, 1);
  t.Disarm();  // disarming an idle timer is harmless
  EXPECT_FALSE(t.armed());
}

TEST_F(RunLoop, TimerReArmedWithZeroFromItsCallbackFiresNextIteration) {
  struct SAgain {
    int calls = 0;
    static void Fire(CLoopTimer* t, void* info) {
      if (++static_cast<SAgain*>(info)->calls < 3) t->Arm(0);
    }
  } again;
  CLoopTimer t(&SAgain::Fire, &again);
  t.Arm(0);
  EXPECT_TRUE(loop.RunOnce(0));
  EXPECT_EQ(again.calls, 1);
  EXPECT_TRUE(loop.RunOnce(0)) << "a timer due now is work left to do";
  EXPECT_EQ(again.calls, 2);
  loop.RunOnce(0);
  EXPECT_EQ(again.calls, 3);
  EXPECT_FALSE(loop.RunOnce(0));
}

TEST_F(RunLoop, DestroyingAnArmedTimerWithdrawsIt) {
  SCounter c;
  {
    CLoopTimer t([](CLoopTimer*, void* info) { SCounter::Bump(info); }, &c);
    t.Arm(0);
  }
  loop.RunOnce(0);
  EXPECT_EQ(c.calls, 0);
  EXPECT_LT(loop.nextFire(), 0);
}

// Real thread: a loop blocked without limit is woken by another thread's WakeUp and
// calls its observers again before it blocks again.
TEST(RunLoopThreads, WakeUpFromAnotherThreadRunsObserversAgain) {
  std::atomic<int> calls{0};
  std::atomic<CRunLoop*> other{nullptr};
  std::thread t([&] {
    CRunLoop& l = CRunLoop::Current();
    const auto k =
        l.AddObserver([](void* info) { ++*static_cast<std::atomic<int>*>(info); }, &calls);
    other = &l;
    l.Run();
    l.RemoveObserver(k);
  });
  while (!other.load()) std::this_thread::yield();
  // Each wake-up must produce at least one further observer call; a lost wake-up
  // leaves the loop blocked without limit and this test failing at its deadline.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  bool allWoke = true;
  for (int i = 0; i < 20 && allWoke; ++i) {
    const int before = calls.load();
    other.load()->WakeUp();
    while (calls.load() <= before && (allWoke = std::chrono::steady_clock::now() < deadline))
      std::this_thread::yield();
  }
  other.load()->Stop();
  t.join();
  EXPECT_TRUE(allWoke);
  EXPECT_GE(calls.load(), 20);
}

TEST(RunLoopThreads, PostedFunctionsRunOnTheLoopThreadInOrder) {
  std::vector<int> ran;
  std::atomic<bool> done{false};
  CRunLoop& loop = CRunLoop::Current();
  std::thread poster([&] {
    for (int i = 0; i < 100; ++i)
      loop.Post([&ran, &loop, i] {
        EXPECT_TRUE(loop.onLoopThread());
        ran.push_back(i);
      });
    loop.Post([&] {
      done = true;
      loop.WakeUp();  // so the iteration that ran this does not go on to sleep
    });
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done && std::chrono::steady_clock::now() < deadline) loop.RunOnce(5.0);
  poster.join();
  ASSERT_EQ(ran.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(ran[i], i);
}

TEST(RunLoopThreads, StopFromAnotherThreadEndsRun) {
  CRunLoop& loop = CRunLoop::Current();
  std::thread stopper([&] { loop.Stop(); });
  loop.Run();  // returns once the stop lands, whether before or after Run began
  stopper.join();
  SUCCEED();
}

}  // namespace
