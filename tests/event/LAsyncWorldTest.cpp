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

TEST_F(World, TimersExpireByDueTimeAndEqualDueTimesInOrderSet) {
  LAsyncTimer a(&owner, world), b(&owner, world), c(&owner, world);
  a.Delay(100);
  b.Delay(100);
  c.Delay(50);  // set last but due first
  loop.Advance(99);
  EXPECT_EQ(Expired(), (std::vector<LHandler*>{&c}));
  loop.Advance(1);
  EXPECT_EQ(Expired(), (std::vector<LHandler*>{&c, &a, &b}));
}

TEST_F(World, TimerSetAgainWhileScheduledExpiresOnceAtItsNewTime) {
  LAsyncTimer t(&owner, world);
  t.Delay(100);
  loop.Advance(50);
  t.Delay(100);
  loop.Advance(99);
  EXPECT_TRUE(Expired().empty());
  loop.Advance(1);
  EXPECT_EQ(Expired().size(), 1u);
  loop.Advance(1000);
  EXPECT_EQ(Expired().size(), 1u);
}

TEST_F(World, DelayZeroExpiresAtTheNextDriveNotInsideDelay) {
  LAsyncTimer t(&owner, world);
  t.Delay(0);
  EXPECT_TRUE(Expired().empty());
  EXPECT_TRUE(t.scheduled());
  world.DriveTimers();
  EXPECT_EQ(Expired().size(), 1u);
  EXPECT_FALSE(t.scheduled());
}

TEST_F(World, TimerReArmedWithZeroFromItsHandlerExpiresAgainInTheSameDrive) {
  LAsyncTimer t(&owner, world);
  int left = 3;
  owner.mOnEvent = [&](LEvent const& e) {
    if (e.is(LAsyncTimer::rExpire, &t) && --left > 0) t.Delay(0);
  };
  t.Delay(10);
  loop.Advance(10);  // lands on the due time; one drive there
  EXPECT_EQ(Expired().size(), 3u);
}

TEST_F(World, RemainCountsDownAndNeverGoesNegative) {
  EXPECT_EQ(world.remain(), -1);
  LAsyncTimer t(&owner, world);
  t.Delay(300);
  EXPECT_EQ(world.remain(), 300);
  // Move the clock without running the loop: the timer is overdue but undelivered.
  UEventClock::Set(UEventClock::Now() + 0.5);
  EXPECT_EQ(world.remain(), 0);
  t.Cancel();
  EXPECT_EQ(world.remain(), -1);
}

TEST_F(World, CancelledOrDestroyedTimerNeverExpires) {
  LAsyncTimer kept(&owner, world);
  kept.Delay(20);
  {
    LAsyncTimer gone(&owner, world);
    gone.Delay(10);
  }
  LAsyncTimer cancelled(&owner, world);
  cancelled.Delay(10);
  cancelled.Cancel();
  cancelled.Cancel();  // cancelling an unscheduled timer does nothing
  loop.Advance(100);
  EXPECT_EQ(Expired(), (std::vector<LHandler*>{&kept}));
}

TEST_F(World, NotificationsBeforeDeliveryMergeIntoOneNote) {
  LAsyncEvent ev(&owner, world);
  ev.Notify();
  ev.Notify();
  EXPECT_EQ(owner.count(LAsyncEvent::rNote), 0) << "never delivered inside Notify";
  loop.RunUntilIdle();
  EXPECT_EQ(owner.count(LAsyncEvent::rNote, &ev), 1);
}

TEST_F(World, NotifyFromTheNoteHandlerPostsASecondNote) {
  LAsyncEvent ev(&owner, world);
  owner.mOnEvent = [&](LEvent const& e) {
    if (e.is(LAsyncEvent::rNote) && owner.count(LAsyncEvent::rNote) == 1) ev.Notify();
  };
  ev.Notify();
  loop.RunUntilIdle();
  EXPECT_EQ(owner.count(LAsyncEvent::rNote, &ev), 2);
}

TEST_F(World, CancelledEventDeliversNoNote) {
  LAsyncEvent ev(&owner, world);
  ev.Notify();  // the run-loop world arms its host timer at once
  ev.Cancel();
  loop.RunUntilIdle();
  EXPECT_EQ(owner.count(LAsyncEvent::rNote), 0);
  ev.Notify();  // and it can be posted again afterwards
  loop.RunUntilIdle();
  EXPECT_EQ(owner.count(LAsyncEvent::rNote), 1);
}

TEST_F(World, DestroyedEventDeliversNoNote) {
  {
    LAsyncEvent ev(&owner, world);
    ev.Notify();
  }
  loop.RunUntilIdle();
  EXPECT_EQ(owner.count(LAsyncEvent::rNote), 0);
}

TEST_F(World, SignalsRaisedTwiceBeforeDeliveryArriveOnce) {
  LAsyncSignal s(&owner, world);
  s.Signal();
  s.Signal();
  EXPECT_TRUE(s.raised());
  loop.RunUntilIdle();
  EXPECT_EQ(owner.count(LAsyncSignal::rX, &s), 1);
  EXPECT_FALSE(s.raised());
}

TEST_F(World, DestroyedRaisedSignalIsNeverDelivered) {
  LAsyncSignal kept(&owner, world);
  {
    LAsyncSignal gone(&owner, world);
    gone.Signal();
  }
  kept.Signal();
  loop.RunUntilIdle();
  EXPECT_EQ(owner.count(LAsyncSignal::rX), 1);
  EXPECT_EQ(owner.count(LAsyncSignal::rX, &kept), 1);
}

// The host timer behind deferred events.
class HostTimer : public World {};

TEST_F(HostTimer, CancelOnIdleStaysIdleAndDelayTwiceUsesTheLaterDelay) {
  LTimer t(&owner);
  t.Cancel();
  EXPECT_FALSE(t.armed());
  t.Delay(100);
  t.Delay(300);
  EXPECT_TRUE(t.armed());
  loop.Advance(299);
  EXPECT_EQ(owner.count(LTimer::rExpire), 0);
  loop.Advance(1);
  EXPECT_EQ(owner.count(LTimer::rExpire, &t), 1);
  EXPECT_FALSE(t.armed()) << "cleared before the expiry is raised";
}

}  // namespace
