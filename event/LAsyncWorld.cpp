// Timers, deferred events and signals, and the world that schedules them.
#include "LAsyncWorld.h"

LAsyncWorld::~LAsyncWorld() {
  // The lists only borrow their members: unlink, never destroy.
  while (mTimers.RemoveFirst()) {
  }
  while (mEvents.RemoveFirst()) {
  }
  while (mSignals.RemoveFirst()) {
  }
}

void LAsyncWorld::SetTimer(LAsyncTimer* timer, LTicks const& delay) {
  mTimers.Remove(timer);
  const LTicks now = ticks();
  timer->mDue = now + delay;
  // Equal due times keep the order in which they were set: pass every timer that is
  // due no later than this one.
  LAsyncTimer* after = nullptr;
  for (LSLinkIter<LAsyncTimer> it(mTimers); it;) {
    if (it->mDue - now > delay) break;
    after = it.current();
  }
  mTimers.InsertAfter(timer, after);
  if (!after) RescheduleTimer();
}

LTicks LAsyncWorld::remain() const {
  LAsyncTimer const* first = mTimers[0];
  if (!first) return -1;
  const LTicks left = first->mDue - ticks();
  return left > 0 ? left : 0;
}

void LAsyncWorld::DriveTimers() {
  // Out of the list before its owner hears of it, so the owner may set it again; one
  // set again with delay 0 expires again within this drive.
  while (LAsyncTimer* t = mTimers[0]) {
    if (t->mDue - ticks() > 0) return;
    mTimers.Remove(t);
    LHandler::Dispatch(LEvent(LAsyncTimer::rExpire, t, t->next()));
  }
}

void LAsyncWorld::CancelTimer(LAsyncTimer* timer) {
  mTimers.Remove(timer);
}

void LAsyncWorld::SetEvent(LAsyncEvent* event) {
  if (event->linked() || event->mTimer.armed()) return;
  mEvents.Append(event);
  Notify();
}

void LAsyncWorld::CancelEvent(LAsyncEvent* event) {
  Enter();
  mEvents.Remove(event);
  Leave();
}

void LAsyncWorld::RealizeEvents() {
  Enter();
  while (LAsyncEvent* e = mEvents.RemoveFirst()) e->mTimer.Delay(0);
  Leave();
}

void LAsyncWorld::ClearRaised(LAsyncSignal* signal) {
  signal->mRaised.store(false, std::memory_order_release);
}

LAsyncTimer::LAsyncTimer(LHandler* owner, LAsyncWorld& world) : LHandler(owner), mWorld(&world) {}

LAsyncTimer::~LAsyncTimer() {
  mWorld->Enter();
  mWorld->CancelTimer(this);
  mWorld->Leave();
}

void LAsyncTimer::Delay(LTicks const& delay) {
  mWorld->SetTimer(this, delay);
}

void LAsyncTimer::Cancel() {
  mWorld->CancelTimer(this);
}

LAsyncEvent::LAsyncEvent(LHandler* owner, LAsyncWorld& world)
    : LHandler(owner), mWorld(&world), mTimer(this) {}

LAsyncEvent::~LAsyncEvent() {
  mWorld->CancelEvent(this);
}

void LAsyncEvent::Notify() {
  mWorld->SetEvent(this);
}

void LAsyncEvent::Cancel() {
  mWorld->CancelEvent(this);
  mTimer.Cancel();
}

LEvent LAsyncEvent::HandleEvent(LEvent const& e) {
  if (e.is(LTimer::rExpire, &mTimer)) return LEvent(rNote, this, next());
  return LHandler::HandleEvent(e);
}

LAsyncSignal::LAsyncSignal(LHandler* owner, LAsyncWorld& world) : LHandler(owner), mWorld(&world) {}

LAsyncSignal::~LAsyncSignal() {
  mWorld->CancelSignal(this);
}

void LAsyncSignal::Signal() {
  // exchange: of two threads raising at once, exactly one queues the signal.
  if (!mRaised.exchange(true, std::memory_order_acq_rel)) mWorld->SetSignal(this);
}
