// The run-loop world: signals and due timers at every before-waiting point.
#include "CAsyncWorld_Null.h"

#include <cmath>

#include "CRunLoop.h"
#include "UEventClock.h"

CAsyncWorld_Null::CAsyncWorld_Null()
    : mRunLoop(&CRunLoop::Current()), mObserver(mRunLoop->AddObserver(&ObserverCallBack, this)) {}

CAsyncWorld_Null::~CAsyncWorld_Null() {
  mRunLoop->RemoveObserver(mObserver);
}

LTicks CAsyncWorld_Null::ticks() const {
  return std::llround(UEventClock::Now() * 1000.0);
}

void CAsyncWorld_Null::SetSignal(LAsyncSignal* signal) {
  {
    CPsxMutex::Hold hold(mSignalLock);
    mSignals.Append(signal);  // a queued signal stays where it is
  }
  // After the unlock: the loop's thread may take the lock as soon as it wakes.
  mRunLoop->WakeUp();
}

void CAsyncWorld_Null::CancelSignal(LAsyncSignal* signal) {
  CPsxMutex::Hold hold(mSignalLock);
  mSignals.Remove(signal);
}

void CAsyncWorld_Null::ObserverCallBack(void* info) {
  auto* world = static_cast<CAsyncWorld_Null*>(info);
  for (;;) {
    LAsyncSignal* signal;
    {
      CPsxMutex::Hold hold(world->mSignalLock);
      signal = world->mSignals.RemoveFirst();
    }
    if (!signal) break;
    // No lock is held while the owner runs; it may raise the signal again, and that
    // second raise is delivered in this same pass.
    ClearRaised(signal);
    LHandler::Dispatch(LEvent(LAsyncSignal::rX, signal, signal->next()));
  }
  world->DriveTimers();
}
