// Timers, deferred events and signals of the run-loop world, mostly on simulated time.
#include "LAsyncWorld.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "CAsyncWorld_Null.h"
#include "CRecorder.h"
#include "CRunLoop.h"
#include "CTestLoop.h"
#include "UEventClock.h"

namespace {

class World : public ::testing::Test {
 protected:
  CTestLoop loop;
  CRecorder owner;
  CAsyncWorld_Null& world = loop.world();

  // Sources of what the owner saw, in order; destroyed handlers' farewells left out.
  std::vector<LHandler*> Seen() const {
    std::vector<LHandler*> v;
    for (auto const& s : owner.mSeen)
      if (s.name != LHandler::rDestructing.mText) v.push_back(s.source);
    return v;
  }
};

// A timer moved later keeps its old key until it reaches the top of the heap; it must
// still expire at its new time, and equal due times in the order last set. One set again
// from its handler with delay 0 expires again in the same drive.
TEST_F(World, TimersExpireByDueTimeThenInTheOrderSetAlsoWhenMovedOrSetAgainFromTheirHandler) {
  EXPECT_EQ(world.remain(), -1);
  LAsyncTimer a(&owner, world), b(&owner, world), c(&owner, world), cancelled(&owner, world);
  {
    LAsyncTimer gone(&owner, world);
    gone.Delay(1);
  }
  cancelled.Delay(1);
  cancelled.Cancel();
  a.Delay(10);
  b.Delay(20);
  c.Delay(30);
  b.Delay(40);  // later: keeps its place for now
  a.Delay(40);  // later too, to b's due time and set after it
  c.Delay(5);   // earlier: moves at once
  EXPECT_EQ(world.remain(), 5);
  loop.Advance(5);
  EXPECT_EQ(Seen(), (std::vector<LHandler*>{&c}));
  EXPECT_EQ(world.remain(), 35) << "an old place taken for a due time";
  loop.Advance(34);
  EXPECT_EQ(Seen().size(), 1u) << "expired before the time it was moved to";
  UEventClock::Set(UEventClock::Now() + 0.002);  // overdue, the loop not run
  EXPECT_EQ(world.remain(), 0);
  loop.RunUntilIdle();
  EXPECT_EQ(Seen(), (std::vector<LHandler*>{&c, &b, &a}));
  EXPECT_EQ(world.remain(), -1);
  owner.mOnEvent = [&](LEvent const& e) {
    if (e.is(LAsyncTimer::rExpire, &a) && Seen().size() < 6) a.Delay(0);
  };
  c.Delay(10);
  a.Delay(10);
  UEventClock::Set(UEventClock::Now() + 0.010);
  world.DriveTimers();  // one drive
  EXPECT_EQ(Seen(), (std::vector<LHandler*>{&c, &b, &a, &c, &a, &a}));
  EXPECT_EQ(world.remain(), -1);
}

// Many timers set, moved and cancelled at random, against a plain model: each drive
// delivers exactly the due ones, by due time and then in the order last set.
TEST_F(World, RandomSetsMovesAndCancelsExpireAsTheModelSays) {
  constexpr int kTimers = 97;
  std::vector<std::unique_ptr<LAsyncTimer>> timers;
  for (int i = 0; i < kTimers; ++i) timers.push_back(std::make_unique<LAsyncTimer>(&owner, world));
  std::map<LHandler*, std::pair<LTicks, int>> model;  // scheduled: due and set order
  std::mt19937 random(7);
  int setOrder = 0;
  for (int step = 0; step < 3000; ++step) {
    auto& t = timers[random() % kTimers];
    if (random() % 4 == 0) {
      t->Cancel();
      model.erase(t.get());
    } else {
      const LTicks delay = random() % 60;
      t->Delay(delay);
      model[t.get()] = {world.ticks() + delay, ++setOrder};
    }
    if (random() % 8) continue;
    UEventClock::Set(UEventClock::Now() + (random() % 25) / 1000.0);
    std::vector<std::pair<std::pair<LTicks, int>, LHandler*>> due;
    for (auto const& [timer, key] : model)
      if (key.first <= world.ticks()) due.push_back({key, timer});
    std::sort(due.begin(), due.end());
    std::vector<LHandler*> expected;
    for (auto const& d : due) {
      expected.push_back(d.second);
      model.erase(d.second);
    }
    owner.mSeen.clear();
    world.DriveTimers();
    ASSERT_EQ(Seen(), expected) << "step " << step;
    for (auto const& t2 : timers) ASSERT_EQ(t2->scheduled(), model.count(t2.get()) == 1);
  }
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

// A before-waiting pass delivers the raised signals in the order raised, then the due
// world timers, for which the world arranges no wake-up of its own.
TEST_F(World, APassDeliversRaisedSignalsOnceInTheOrderRaisedThenDueTimers) {
  LAsyncTimer t(&owner, world);
  LAsyncSignal a(&owner, world), b(&owner, world);
  owner.mOnEvent = [&](LEvent const& e) {
    if (e.is(LAsyncSignal::rX, &a) && owner.count(LAsyncSignal::rX, &a) == 1) a.Signal();
  };
  t.Delay(10);
  {
    CAsyncWorld_Null other;  // must leave the loop with it: its observer would be freed
    LAsyncTimer(&owner, other).Delay(0);
    LAsyncSignal gone(&owner, world);
    gone.Signal();  // destroyed while raised: never delivered
  }
  b.Signal();
  a.Signal();
  b.Signal();  // already raised: stays in its place
  EXPECT_LT(world.runloop()->nextFire(), 0) << "a loop timer for a world timer";
  UEventClock::Set(UEventClock::Now() + 0.050);  // t falls due while the loop sleeps
  world.runloop()->RunOnce(0);                   // one pass, woken by the signals
  EXPECT_EQ(Seen(), (std::vector<LHandler*>{&b, &a, &a, &t})) << "a raised again from its handler";
  EXPECT_FALSE(a.raised() || b.raised());
}

TEST_F(World, TicksRoundToTheNearestMillisecondHalvesAwayFromZero) {
  UEventClock::Set(0.0025);  // times 1000.0 is exactly 2.5
  ASSERT_EQ(0.0025 * 1000.0, 2.5);
  EXPECT_EQ(world.ticks(), 3);
  UEventClock::Set(0.5005);  // 500.49999999999994: rounds down, not up
  EXPECT_EQ(world.ticks(), 500);
}

}  // namespace
