// Timers, deferred events and signals of a world, on simulated time.
#include "LAsyncWorld.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CRecorder.h"
#include "CTestLoop.h"
#include "UEventClock.h"

namespace {

class World : public ::testing::Test {
 protected:
  CTestLoop loop;
  CRecorder owner;
  LAsyncWorld& world = loop.world();

  // Sources of the expiries the owner saw, in order.
  std::vector<LHandler*> Expired() const {
    std::vector<LHandler*> v;
    for (auto const& s : owner.mSeen)
      if (s.name == LAsyncTimer::rExpire.mText) v.push_back(s.source);
    return v;
  }
};

TEST_F(World, TimersExpireByDueTimeEqualOnesInOrderSetAndRemainNeverGoesNegative) {
  EXPECT_EQ(world.remain(), -1);
  LAsyncTimer a(&owner, world), b(&owner, world), c(&owner, world);
  a.Delay(100);
  b.Delay(100);
  c.Delay(50);  // set last but due first
  EXPECT_EQ(world.remain(), 50);
  loop.Advance(99);
  EXPECT_EQ(Expired(), (std::vector<LHandler*>{&c}));
  // Move the clock without running the loop: a and b are overdue but undelivered.
  UEventClock::Set(UEventClock::Now() + 0.5);
  EXPECT_EQ(world.remain(), 0);
  loop.RunUntilIdle();
  EXPECT_EQ(Expired(), (std::vector<LHandler*>{&c, &a, &b}));
  EXPECT_EQ(world.remain(), -1);
}

TEST_F(World, TimerSetAgainExpiresOnceAtItsNewTimeAndCancelledOrDestroyedNever) {
  LAsyncTimer moved(&owner, world), cancelled(&owner, world);
  moved.Delay(100);
  {
    LAsyncTimer gone(&owner, world);
    gone.Delay(10);
  }
  cancelled.Delay(10);
  cancelled.Cancel();
  cancelled.Cancel();  // cancelling an unscheduled timer does nothing
  loop.Advance(50);
  moved.Delay(100);
  loop.Advance(99);
  EXPECT_TRUE(Expired().empty());
  loop.Advance(1);
  EXPECT_EQ(Expired(), (std::vector<LHandler*>{&moved}));
  loop.Advance(1000);
  EXPECT_EQ(Expired().size(), 1u);
}

// Restarted timers keep their place until it matters; the order they expire in must
// still be by due time, and equal due times in the order last set.
TEST_F(World, RestartedTimersExpireByTheirNewTimesInTheOrderLastSet) {
  LAsyncTimer a(&owner, world), b(&owner, world), c(&owner, world);
  a.Delay(10);
  b.Delay(20);
  c.Delay(30);
  a.Delay(40);  // later: keeps its place for now
  b.Delay(40);  // the same due time as a, set after it
  c.Delay(5);   // earlier
  EXPECT_EQ(world.remain(), 5);
  loop.Advance(5);
  EXPECT_EQ(Expired(), (std::vector<LHandler*>{&c}));
  EXPECT_EQ(world.remain(), 35) << "a's old place is not its due time";
  a.Delay(34);  // a moves again, now to just before b (due 39, b 40)
  loop.Advance(40);
  EXPECT_EQ(Expired(), (std::vector<LHandler*>{&c, &a, &b}));
  b.Delay(10);
  a.Delay(10);  // equal due times: b was set first
  loop.Advance(10);
  EXPECT_EQ(Expired(), (std::vector<LHandler*>{&c, &a, &b, &b, &a}));
}

TEST_F(World, DelayZeroExpiresAtTheNextDriveAndReArmedFromItsHandlerInTheSameDrive) {
  LAsyncTimer t(&owner, world);
  int left = 3;
  owner.mOnEvent = [&](LEvent const& e) {
    if (e.is(LAsyncTimer::rExpire, &t) && --left > 0) t.Delay(0);
  };
  t.Delay(0);
  EXPECT_TRUE(Expired().empty()) << "never inside Delay";
  EXPECT_TRUE(t.scheduled());
  world.DriveTimers();
  EXPECT_EQ(Expired().size(), 3u);
  EXPECT_FALSE(t.scheduled());
}

TEST_F(World, NotesMergeMayBePostedFromTheirHandlerAndNeverComeCancelledOrDestroyed) {
  LAsyncEvent ev(&owner, world);
  ev.Notify();  // the run-loop world arms its host timer at once
  ev.Cancel();
  {
    LAsyncEvent gone(&owner, world);
    gone.Notify();
  }
  loop.RunUntilIdle();
  EXPECT_EQ(owner.count(LAsyncEvent::rNote), 0);
  owner.mOnEvent = [&](LEvent const& e) {
    if (e.is(LAsyncEvent::rNote) && owner.count(LAsyncEvent::rNote) == 1) ev.Notify();
  };
  ev.Notify();  // posted again after the cancel
  ev.Notify();
  EXPECT_EQ(owner.count(LAsyncEvent::rNote), 0) << "never delivered inside Notify";
  loop.RunUntilIdle();
  EXPECT_EQ(owner.count(LAsyncEvent::rNote, &ev), 2) << "two merged, one from the handler";
}

TEST_F(World, SignalsRaisedTwiceArriveOnceAndDestroyedRaisedOnesNever) {
  LAsyncSignal kept(&owner, world);
  {
    LAsyncSignal gone(&owner, world);
    gone.Signal();
  }
  kept.Signal();
  kept.Signal();
  EXPECT_TRUE(kept.raised());
  loop.RunUntilIdle();
  EXPECT_EQ(owner.count(LAsyncSignal::rX), 1);
  EXPECT_EQ(owner.count(LAsyncSignal::rX, &kept), 1);
  EXPECT_FALSE(kept.raised());
}

// The host timer behind deferred events.
TEST_F(World, HostTimerCancelOnIdleStaysIdleAndDelayTwiceUsesTheLaterDelay) {
  LTimer t(&owner);
  t.Cancel();
  EXPECT_FALSE(t.armed());
  t.Delay(100);
  t.Delay(300);
  loop.Advance(299);
  EXPECT_EQ(owner.count(LTimer::rExpire), 0);
  loop.Advance(1);
  EXPECT_EQ(owner.count(LTimer::rExpire, &t), 1);
  EXPECT_FALSE(t.armed()) << "cleared before the expiry is raised";
}

}  // namespace
