// The host timer behind every deferred event.
#include "LTimer.h"

LTimer::LTimer(LHandler* owner) : LHandler(owner), mTimerRef(&TimerProc, this) {}

void LTimer::Delay(LTicks const& delay) {
  if (mTimerRef.Arm(static_cast<double>(delay) * 0.001)) mArmed = mTimerRef.armed();
}

void LTimer::Cancel() {
  mTimerRef.Disarm();
  mArmed = false;
}

void LTimer::TimerProc(CLoopTimer*, void* self) {
  auto* t = static_cast<LTimer*>(self);
  // Cleared first, so an owner that posts again from its handler arms it anew.
  t->mArmed = false;
  t->Raise(rExpire);
}
