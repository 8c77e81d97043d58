// The world driven by the run loop of the thread that builds it.
#pragma once

#include <cstdint>

#include "CPsxMutex.h"
#include "LAsyncWorld.h"

// Each time the loop is about to wait, its observer delivers the signals raised since
// the last pass, in the order raised, then every due timer. Deferred events go to
// their loop timers at once. It arranges no wake-up for its timers: the loop must
// pass its before-waiting point often enough (a host's frame timer does).
class CAsyncWorld_Null : public LAsyncWorld {
 public:
  CAsyncWorld_Null();
  ~CAsyncWorld_Null() override;

  void Notify() override { RealizeEvents(); }
  void SetSignal(LAsyncSignal* signal) override;
  void CancelSignal(LAsyncSignal* signal) override;
  void CancelSignalA(LAsyncSignal* signal) override { CancelSignal(signal); }
  void Enter() override {}
  void Leave() override {}
  // Milliseconds since the system started, to the nearest (halves away from zero).
  LTicks ticks() const override;
  CRunLoop* runloop() const override { return mRunLoop; }

  static void ObserverCallBack(void* world);

 private:
  CPsxMutex mSignalLock;  // guards mSignals alone
  CRunLoop* mRunLoop;
  std::uint64_t mObserver;
};
