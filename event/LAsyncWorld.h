// The scheduler behind timers, deferred events and cross-thread signals.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "LHandler.h"
#include "LSLink.h"
#include "LTimer.h"

class CRunLoop;
class LAsyncWorld;

// A one-shot timer of a world: "LAsyncTimer_Expire" reaches its owner when it is due.
class LAsyncTimer : public LHandler {
 public:
  static constexpr LCStr rExpire{"LAsyncTimer_Expire"};

  LAsyncTimer(LHandler* owner, LAsyncWorld& world);
  ~LAsyncTimer() override;

  // Schedules expiry `delay` ms from now; a scheduled timer moves to its new time.
  // World thread only.
  void Delay(LTicks const& delay);
  // Unschedules it; an unscheduled timer is left alone.
  void Cancel();
  bool scheduled() const { return mSlot >= 0; }

 private:
  friend class LAsyncWorld;
  LAsyncWorld* mWorld;
  LTicks mDue = 0;              // when it expires
  std::uint64_t mSeq = 0;       // when it was last set: equal due times go in this order
  LTicks mPlace = 0;            // its key in the timer heap, never later than mDue ...
  std::uint64_t mPlaceSeq = 0;  // ... with the mSeq it had when placed
  std::ptrdiff_t mSlot = -1;    // its index in the heap, -1 when not scheduled
};

// A deferred notification: after Notify, "LAsyncEvent_Note" reaches the owner from the
// event loop. Notifications before delivery merge into one.
class LAsyncEvent : public LHandler, public SSLink {
 public:
  static constexpr LCStr rNote{"LAsyncEvent_Note"};

  LAsyncEvent(LHandler* owner, LAsyncWorld& world);
  ~LAsyncEvent() override;

  void Notify();
  // No note is delivered for a pending or armed notification.
  void Cancel();
  LEvent HandleEvent(LEvent const& e) override;

 private:
  friend class LAsyncWorld;
  LAsyncWorld* mWorld;
  LTimer mTimer;
};

// A notification any thread may raise; the world delivers "LAsyncSignal_X" to the
// owner on its own thread. Raising a raised signal does nothing.
class LAsyncSignal : public LHandler, public SSLink {
 public:
  static constexpr LCStr rX{"LAsyncSignal_X"};

  LAsyncSignal(LHandler* owner, LAsyncWorld& world);
  ~LAsyncSignal() override;

  // Any thread.
  void Signal();
  bool raised() const { return mRaised.load(std::memory_order_acquire); }

 private:
  friend class LAsyncWorld;
  // Set by any thread, cleared by the world's thread just before delivery.
  std::atomic<bool> mRaised{false};
  LAsyncWorld* mWorld;
};

// Keeps the timers (a heap by due time), the deferred events and the raised signals.
// Owns none of them: each belongs to the handler that contains it. The clock, the
// wake-up, locking and signal delivery belong to a concrete world.
class LAsyncWorld {
 public:
  LAsyncWorld() = default;
  virtual ~LAsyncWorld();
  LAsyncWorld(LAsyncWorld const&) = delete;
  LAsyncWorld& operator=(LAsyncWorld const&) = delete;

  virtual void SetTimer(LAsyncTimer* timer, LTicks const& delay);
  // Called when a newly set timer became the earliest; for worlds with a wake-up time.
  virtual void RescheduleTimer() {}
  // Called after an event was added to the events list.
  virtual void Notify() = 0;
  // Queues a raised signal and wakes the world's thread. Any thread.
  virtual void SetSignal(LAsyncSignal* signal) = 0;
  // Removes a signal from the signals list; safe against a concurrent SetSignal.
  virtual void CancelSignal(LAsyncSignal* signal) = 0;
  virtual void CancelSignalA(LAsyncSignal* signal) = 0;
  // Bracket changes of the world's lists made from outside a delivery.
  virtual void Enter() = 0;
  virtual void Leave() = 0;
  // Now, in milliseconds.
  virtual LTicks ticks() const = 0;
  virtual CRunLoop* runloop() const = 0;

  // Milliseconds until the earliest timer is due, at least 0; -1 with none scheduled.
  LTicks remain() const;
  // Delivers every due timer, earliest first. World thread only.
  void DriveTimers();
  void CancelTimer(LAsyncTimer* timer);

  void SetEvent(LAsyncEvent* event);
  void CancelEvent(LAsyncEvent* event);
  // Arms the host timer of every pending event, in the order notified.
  void RealizeEvents();

 protected:
  // Clears a signal's raised flag just before the concrete world delivers it.
  static void ClearRaised(LAsyncSignal* signal);

  // A binary min-heap of the timers by place, which is their due time except for
  // timers moved later since they were placed (mutable: queries put those right when
  // they reach the top).
  mutable std::vector<LAsyncTimer*> mTimers;
  LSLink<LAsyncEvent> mEvents;
  LSLink<LAsyncSignal> mSignals;  // touched by the concrete world only

 private:
  // Restores the heap order around the timer in `slot` after its key changed.
  void Fix(std::ptrdiff_t slot) const;
  void Put(LAsyncTimer* timer, std::ptrdiff_t slot) const;
  static bool Before(LAsyncTimer const* a, LAsyncTimer const* b);
  // The timer due first, after putting right those moved later that are on top.
  LAsyncTimer* Earliest() const;

  std::uint64_t mTimerSeq = 0;
};
