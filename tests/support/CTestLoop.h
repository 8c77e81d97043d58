// A run loop on simulated time: a manual event clock and a world that tests step.
#pragma once

#include <memory>

#include "CAsyncWorld_Null.h"

// Switches the event clock to manual time for its lifetime and owns a run-loop world
// on the calling thread. Time moves only through Advance.
class CTestLoop {
 public:
  // Starts the clock away from 0, which exposes "0 means unset" mistakes.
  explicit CTestLoop(double startSeconds = 1000.0);
  ~CTestLoop();

  CAsyncWorld_Null& world() { return *mWorld; }
  LTicks now() const { return mWorld->ticks(); }

  // Runs loop iterations without waiting until nothing is left to do: due loop timers,
  // posted functions, wake-ups; every iteration delivers signals and due world timers.
  void RunUntilIdle();
  // Moves time forward by `ms`, stopping at every due time on the way (world timers
  // and loop timers) and running until idle at each.
  void Advance(LTicks ms);

 private:
  double NextDue() const;  // earliest world or loop timer, clock seconds; -1 if none

  std::unique_ptr<CAsyncWorld_Null> mWorld;
};
