// A run loop per thread: before-waiting observers, one-shot loop timers, a wake-up
// and posted functions that are safe from any thread. It sleeps in poll(2) on an eventfd.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

class CLoopTimer;

class CRunLoop {
 public:
  using ObserverFn = void (*)(void* info);

  // The calling thread's loop, made on first use and destroyed when the thread ends:
  // another thread that wakes or stops it must know the loop's thread outlives the call.
  static CRunLoop& Current();

  CRunLoop(CRunLoop const&) = delete;
  CRunLoop& operator=(CRunLoop const&) = delete;

  // Calls `fn(info)` every time the loop is about to wait, in the order added.
  // Loop thread only. Returns a key for RemoveObserver; an observer may remove itself
  // (or another) from inside its call.
  std::uint64_t AddObserver(ObserverFn fn, void* info);
  void RemoveObserver(std::uint64_t key);

  // Any thread. A loop that is waiting (or about to) runs one more iteration, and so
  // calls its observers again, before it waits again.
  void WakeUp();

  // Any thread. Runs `fn` on the loop's thread at its next iteration.
  void Post(std::function<void()> fn);

  // Runs iterations until Stop. Loop thread only.
  void Run();
  // One iteration: fires the loop timers that are due, runs posted functions, calls
  // the observers, then waits up to `maxWait` seconds (negative: without limit) for a
  // wake-up or the next loop timer. Returns true when the iteration did any work or
  // left some to do (a timer fired or is due, a function ran, a wake-up arrived).
  bool RunOnce(double maxWait);
  // Any thread: makes Run return after its current iteration (or at once, if it has
  // not started yet).
  void Stop();

  bool onLoopThread() const;
  // Fire time (event-clock seconds) of the earliest armed loop timer; negative if none.
  double nextFire() const;

 private:
  friend class CLoopTimer;
  struct SObserver {
    std::uint64_t key;
    ObserverFn fn;
    void* info;
  };

  CRunLoop();
  ~CRunLoop();

  void CallObservers();
  bool FireTimers();
  bool RunPosted();
  bool Wait(double maxWait);

  int mWakeFd = -1;
  std::vector<SObserver> mObservers;
  std::uint64_t mNextKey = 1;
  bool mCalling = false;  // inside CallObservers: removal only clears the slot
  std::vector<CLoopTimer*> mArmed;
  std::uint64_t mArmSeq = 0;
  std::mutex mPostLock;
  std::vector<std::function<void()>> mPosted;  // guarded by mPostLock
  std::atomic<bool> mStop{false};
  std::uintptr_t mThreadKey;
};

// A one-shot timer on the loop of the thread that constructs it. It is installed idle,
// fires at most once per Arm, and calls back on that loop's thread. Loop thread only.
class CLoopTimer {
 public:
  using Callout = void (*)(CLoopTimer* timer, void* info);

  CLoopTimer(Callout fn, void* info);
  ~CLoopTimer();
  CLoopTimer(CLoopTimer const&) = delete;
  CLoopTimer& operator=(CLoopTimer const&) = delete;

  // Fires once after `seconds` (0: at the loop's next iteration); re-arming moves the
  // fire time. A negative delay disarms. Returns false if the timer cannot be armed.
  bool Arm(double seconds);
  void Disarm();
  bool armed() const { return mArmed; }
  CRunLoop& runloop() const { return mLoop; }

 private:
  friend class CRunLoop;
  CRunLoop& mLoop;
  Callout mFn;
  void* mInfo;
  double mFire = 0;
  std::uint64_t mSeq = 0;  // arming order: equal fire times fire in this order
  bool mArmed = false;
};
