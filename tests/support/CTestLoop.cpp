// The simulated-time test loop.
#include "CTestLoop.h"

#include <cmath>

#include "CRunLoop.h"
#include "UEventClock.h"

CTestLoop::CTestLoop(double startSeconds) {
  UEventClock::UseManual(startSeconds);
  mWorld = std::make_unique<CAsyncWorld_Null>();
}

CTestLoop::~CTestLoop() {
  RunUntilIdle();  // leave no posted function or armed loop timer to the next test
  mWorld.reset();
  UEventClock::UseSystem();
}

void CTestLoop::RunUntilIdle() {
  CRunLoop& loop = *mWorld->runloop();
  for (int i = 0; i < 100000 && loop.RunOnce(0); ++i) {
  }
}

double CTestLoop::NextDue() const {
  double due = -1;
  const LTicks r = mWorld->remain();
  if (r >= 0) due = static_cast<double>(now() + r) / 1000.0;
  const double fire = mWorld->runloop()->nextFire();
  if (fire >= 0 && (due < 0 || fire < due)) due = fire;
  return due;
}

void CTestLoop::Advance(LTicks ms) {
  const double end = static_cast<double>(now() + ms) / 1000.0;
  RunUntilIdle();
  // Each step lands exactly on a due time, so whatever is due there fires.
  for (double due; (due = NextDue()) >= 0 && due <= end;) {
    if (due > UEventClock::Now()) UEventClock::Set(due);
    RunUntilIdle();
  }
  UEventClock::Set(end);
  RunUntilIdle();
}
