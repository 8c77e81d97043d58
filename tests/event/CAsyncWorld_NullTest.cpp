// The run-loop world: what each before-waiting pass delivers, and waking from threads.
#include "CAsyncWorld_Null.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "CRecorder.h"
#include "CRunLoop.h"
#include "CTestLoop.h"
#include "UEventClock.h"

namespace {

class RunLoopWorld : public ::testing::Test {
 protected:
  CTestLoop loop;
  CRecorder owner;
  CAsyncWorld_Null& world = loop.world();
};

TEST_F(RunLoopWorld, APassDeliversSignalsInTheOrderRaisedEvenTwiceThenDueTimers) {
  LAsyncTimer t(&owner, world);
  LAsyncSignal a(&owner, world), b(&owner, world);
  owner.mOnEvent = [&](LEvent const& e) {
    if (e.is(LAsyncSignal::rX, &a) && owner.count(LAsyncSignal::rX, &a) == 1) a.Signal();
  };
  t.Delay(0);
  b.Signal();
  a.Signal();
  b.Signal();                                  // already raised: stays in its place
  CAsyncWorld_Null::ObserverCallBack(&world);  // one before-waiting pass
  std::vector<LHandler*> sources;
  for (auto const& s : owner.mSeen) sources.push_back(s.source);
  EXPECT_EQ(sources, (std::vector<LHandler*>{&b, &a, &a, &t}));
}

TEST_F(RunLoopWorld, TicksRoundToTheNearestMillisecondHalvesAwayFromZero) {
  UEventClock::Set(0.0025);  // times 1000.0 is exactly 2.5
  ASSERT_EQ(0.0025 * 1000.0, 2.5);
  EXPECT_EQ(world.ticks(), 3);
  UEventClock::Set(0.5005);  // 500.49999999999994: rounds down, not up
  EXPECT_EQ(world.ticks(), 500);
}

TEST_F(RunLoopWorld, WorldTimersArrangeNoWakeUpOfTheirOwnAndADestroyedWorldLeavesTheLoop) {
  LAsyncTimer t(&owner, world);
  t.Delay(10);
  {
    CAsyncWorld_Null other;
    LAsyncTimer(&owner, other).Delay(0);  // the world must outlive its timers
  }
  EXPECT_LT(world.runloop()->nextFire(), 0) << "the loop has no reason to wake";
  UEventClock::Set(UEventClock::Now() + 0.050);  // falls due while the loop sleeps
  EXPECT_EQ(owner.count(LAsyncTimer::rExpire), 0);
  // Something else wakes the loop: its pass delivers the timer, and the destroyed world's
  // observer, had it stayed, would be a use after free that ASan reports.
  world.runloop()->RunOnce(0);
  EXPECT_EQ(owner.count(LAsyncTimer::rExpire), 1);
  EXPECT_EQ(owner.count(LAsyncTimer::rExpire, &t), 1);
}

// On the system clock and a real second thread: each RunOnce waits without limit
// unless woken, so the signal's wake-up must end the wait for the next pass to deliver it.
TEST(RunLoopWorldThreads, SignalFromAnotherThreadWakesASleepingLoop) {
  CAsyncWorld_Null world;
  CRecorder owner;
  LAsyncSignal s(&owner, world);
  std::atomic<bool> delivered{false};
  owner.mOnEvent = [&](LEvent const&) {
    delivered = true;
    world.runloop()->WakeUp();  // so this iteration does not go on to sleep
  };
  std::thread raiser([&] {
    for (int i = 0; i < 3; ++i) std::this_thread::yield();  // most often the loop sleeps by now
    s.Signal();
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!delivered && std::chrono::steady_clock::now() < deadline) world.runloop()->RunOnce(10.0);
  raiser.join();
  EXPECT_TRUE(delivered);
}

}  // namespace
