// The run-loop world: what each before-waiting pass delivers, and waking from threads.
#include "CAsyncWorld_Null.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

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

  // One before-waiting pass, as the loop makes it.
  void ObserverPass() { CAsyncWorld_Null::ObserverCallBack(&world); }
};

TEST_F(RunLoopWorld, SignalsAreDeliveredInTheOrderRaised) {
  LAsyncSignal a(&owner, world), b(&owner, world);
  b.Signal();
  a.Signal();
  b.Signal();  // already raised: stays in its place
  world.runloop()->RunOnce(0);
  ASSERT_EQ(owner.mSeen.size(), 2u);
  EXPECT_EQ(owner.mSeen[0].source, &b);
  EXPECT_EQ(owner.mSeen[1].source, &a);
}

TEST_F(RunLoopWorld, SignalRaisedAgainByItsHandlerArrivesTwiceInOnePass) {
  LAsyncSignal s(&owner, world);
  owner.mOnEvent = [&](LEvent const&) {
    if (owner.mSeen.size() == 1) s.Signal();
  };
  s.Signal();
  ObserverPass();
  EXPECT_EQ(owner.count(LAsyncSignal::rX, &s), 2);
}

TEST_F(RunLoopWorld, DueTimersComeAfterEverySignalOfThePass) {
  LAsyncTimer t(&owner, world);
  LAsyncSignal s(&owner, world);
  t.Delay(0);
  s.Signal();
  ObserverPass();
  ASSERT_EQ(owner.mSeen.size(), 2u);
  EXPECT_EQ(owner.mSeen[0].name, LAsyncSignal::rX.mText);
  EXPECT_EQ(owner.mSeen[1].name, LAsyncTimer::rExpire.mText);
}

TEST_F(RunLoopWorld, TicksRoundToTheNearestMillisecondHalvesAwayFromZero) {
  UEventClock::Set(0.0025);  // times 1000.0 is exactly 2.5
  ASSERT_EQ(0.0025 * 1000.0, 2.5);
  EXPECT_EQ(world.ticks(), 3);
  UEventClock::Set(1.0025);  // exactly 1002.5
  EXPECT_EQ(world.ticks(), 1003);
  UEventClock::Set(0.0024);
  EXPECT_EQ(world.ticks(), 2);
  UEventClock::Set(0.5005);  // 500.49999999999994: rounds down, not up
  EXPECT_EQ(world.ticks(), 500);
}

TEST_F(RunLoopWorld, DestroyedWorldIsNoLongerCalledByTheLoop) {
  LAsyncTimer* dangling = nullptr;
  {
    CAsyncWorld_Null other;
    dangling = new LAsyncTimer(&owner, other);
    dangling->Delay(0);
    delete dangling;  // the world must outlive its timers
  }
  world.runloop()->RunOnce(0);  // would crash under ASan if the observer stayed
  EXPECT_EQ(owner.count(LAsyncTimer::rExpire), 0);
}

TEST_F(RunLoopWorld, WorldTimersArrangeNoWakeUpOfTheirOwn) {
  LAsyncTimer t(&owner, world);
  t.Delay(10);
  EXPECT_LT(world.runloop()->nextFire(), 0) << "the loop has no reason to wake";
  UEventClock::Set(UEventClock::Now() + 0.050);  // falls due while the loop sleeps
  EXPECT_EQ(owner.count(LAsyncTimer::rExpire), 0);
  world.runloop()->RunOnce(0);  // something else wakes the loop: its pass delivers it
  EXPECT_EQ(owner.count(LAsyncTimer::rExpire, &t), 1);
}

// On the system clock and a real second thread.
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
    for (int i = 0; i < 3; ++i) std::this_thread::yield();
    s.Signal();
  });
  // Each RunOnce waits without limit unless woken; the signal's wake-up must end the
  // wait, and the next pass delivers it before the loop sleeps again.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!delivered && std::chrono::steady_clock::now() < deadline) world.runloop()->RunOnce(10.0);
  raiser.join();
  EXPECT_TRUE(delivered);
}

}  // namespace
