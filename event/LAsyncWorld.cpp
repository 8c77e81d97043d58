// Timers, deferred events and signals, and the world that schedules them.
#include "LAsyncWorld.h"

LAsyncWorld::~LAsyncWorld() {
  // The lists and the heap only borrow their members: unlink, never destroy.
  for (LAsyncTimer* t : mTimers) t->mSlot = -1;
  while (mEvents.RemoveFirst()) {
  }
  while (mSignals.RemoveFirst()) {
  }
}

void LAsyncWorld::SetTimer(LAsyncTimer* timer, LTicks const& delay) {
  const LTicks due = ticks() + delay;
  timer->mDue = due;
  timer->mSeq = ++mTimerSeq;
  // Peers restart their timers on every datagram, nearly always to a later time. Such
  // a timer keeps its key for now (a key is never later than its due time) and is put
  // right only when it reaches the top, so a restart costs nothing.
  if (timer->scheduled() && due - timer->mPlace > 0) return;
  timer->mPlace = due;
  timer->mPlaceSeq = timer->mSeq;
  if (!timer->scheduled()) {
    timer->mSlot = static_cast<std::ptrdiff_t>(mTimers.size());
    mTimers.push_back(timer);
  }
  Fix(timer->mSlot);
  if (timer->mSlot == 0) RescheduleTimer();
}

bool LAsyncWorld::Before(LAsyncTimer const* a, LAsyncTimer const* b) {
  const LTicks d = a->mPlace - b->mPlace;
  return d < 0 || (d == 0 && a->mPlaceSeq < b->mPlaceSeq);
}

void LAsyncWorld::Put(LAsyncTimer* timer, std::ptrdiff_t slot) const {
  mTimers[static_cast<std::size_t>(slot)] = timer;
  timer->mSlot = slot;
}

void LAsyncWorld::Fix(std::ptrdiff_t slot) const {
  const auto n = static_cast<std::ptrdiff_t>(mTimers.size());
  LAsyncTimer* t = mTimers[static_cast<std::size_t>(slot)];
  // Up while it comes before its parent, then down while a child comes before it.
  while (slot > 0) {
    LAsyncTimer* parent = mTimers[static_cast<std::size_t>((slot - 1) / 2)];
    if (!Before(t, parent)) break;
    Put(parent, slot);
    slot = (slot - 1) / 2;
  }
  for (;;) {
    std::ptrdiff_t child = 2 * slot + 1;
    if (child >= n) break;
    if (child + 1 < n && Before(mTimers[static_cast<std::size_t>(child + 1)],
                                mTimers[static_cast<std::size_t>(child)]))
      ++child;
    if (!Before(mTimers[static_cast<std::size_t>(child)], t)) break;
    Put(mTimers[static_cast<std::size_t>(child)], slot);
    slot = child;
  }
  Put(t, slot);
}

LAsyncTimer* LAsyncWorld::Earliest() const {
  for (;;) {
    if (mTimers.empty()) return nullptr;
    LAsyncTimer* first = mTimers.front();
    if (first->mPlace == first->mDue) return first;
    first->mPlace = first->mDue;  // moved later meanwhile: to its real place
    first->mPlaceSeq = first->mSeq;
    Fix(0);
  }
}

LTicks LAsyncWorld::remain() const {
  LAsyncTimer const* first = Earliest();
  if (!first) return -1;
  const LTicks left = first->mDue - ticks();
  return left > 0 ? left : 0;
}

void LAsyncWorld::DriveTimers() {
  // Out of the heap before its owner hears of it, so the owner may set it again; one
  // set again with delay 0 expires again within this drive.
  while (LAsyncTimer* t = Earliest()) {
    if (t->mDue - ticks() > 0) return;
    CancelTimer(t);
    LHandler::Dispatch(LEvent(LAsyncTimer::rExpire, t, t->next()));
  }
}

void LAsyncWorld::CancelTimer(LAsyncTimer* timer) {
  const std::ptrdiff_t slot = timer->mSlot;
  if (slot < 0) return;
  timer->mSlot = -1;
  LAsyncTimer* last = mTimers.back();
  mTimers.pop_back();
  if (last != timer) {
    Put(last, slot);
    Fix(slot);
  }
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
