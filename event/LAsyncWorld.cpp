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
  const LTicks due = ticks() + delay;
  timer->mSeq = ++mTimerSeq;
  // Peers restart their timers on every datagram, nearly always to a later time. Such
  // a timer keeps its place in the list for now (a place is never later than its due
  // time) and is put right only when it reaches the front, so a restart walks nothing.
  if (timer->linked() && due - timer->mPlace > 0) {
    timer->mDue = due;
    return;
  }
  mTimers.Remove(timer);
  timer->mDue = timer->mPlace = due;
  if (Place(timer)) RescheduleTimer();
}

bool LAsyncWorld::Place(LAsyncTimer* timer) const {
  // By place, and equal places in the order set: pass every timer placed no later
  // that was set before this one.
  LAsyncTimer* after = nullptr;
  for (LSLinkIter<LAsyncTimer> it(mTimers); it;) {
    const LTicks d = it->mPlace - timer->mPlace;
    if (d > 0 || (d == 0 && it->mSeq > timer->mSeq)) break;
    after = it.current();
  }
  mTimers.InsertAfter(timer, after);
  return !after;
}

LAsyncTimer* LAsyncWorld::Earliest() const {
  for (;;) {
    LAsyncTimer* first = mTimers[0];
    if (!first || first->mPlace == first->mDue) return first;
    mTimers.RemoveFirst();  // moved later meanwhile: to its real place
    first->mPlace = first->mDue;
    Place(first);
  }
}

LTicks LAsyncWorld::remain() const {
  LAsyncTimer const* first = Earliest();
  if (!first) return -1;
  const LTicks left = first->mDue - ticks();
  return left > 0 ? left : 0;
}

void LAsyncWorld::DriveTimers() {
  // Out of the list before its owner hears of it, so the owner may set it again; one
  // set again with delay 0 expires again within this drive.
  while (LAsyncTimer* t = Earliest()) {
    if (t->mDue - ticks() > 0) return;
    mTimers.RemoveFirst();
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
