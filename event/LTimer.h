// A handler that owns one one-shot loop timer and raises "LTimer_Expire" when it fires.
#pragma once

#include <cstdint>

#include "CRunLoop.h"
#include "LHandler.h"

using LTicks = std::int64_t;  // milliseconds; due times compare by signed difference

class LTimer : public LHandler {
 public:
  static constexpr LCStr rExpire{"LTimer_Expire"};

  // Installs an idle loop timer on the calling thread's loop; `owner` hears its expiry.
  explicit LTimer(LHandler* owner);
  ~LTimer() override = default;  // the loop timer is removed with its member

  // Arms the timer to fire once after `delay` ms (0: at the loop's next iteration);
  // re-arming moves it. Loop thread only.
  void Delay(LTicks const& delay);
  // Disarms it; an idle timer stays idle.
  void Cancel();
  bool armed() const { return mArmed; }

  static void TimerProc(CLoopTimer* timer, void* self);

 private:
  bool mArmed = false;
  CLoopTimer mTimerRef;
};
