// The event clock: seconds since the system started, or a manual clock for tests.
#pragma once

// Every time the framework reads (world ticks, loop timers, the random seed) comes
// from here. Tests switch to the manual clock so that world timers and loop timers
// share one simulated time.
class UEventClock {
 public:
  // Seconds since the system started (or the manual time), finer than a millisecond.
  // Any thread.
  static double Now();

  // Switches every reader to a manual clock that stands at `seconds` until Set.
  static void UseManual(double seconds);
  // Back to the system's monotonic clock.
  static void UseSystem();
  static bool manual();
  // Moves the manual clock; ignored while the system clock is in use.
  static void Set(double seconds);
};
