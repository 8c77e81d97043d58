// The run loop and its loop timers.
#include "CRunLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "UEventClock.h"

namespace {
std::uintptr_t ThreadKey() {
  static thread_local char tKey;
  return reinterpret_cast<std::uintptr_t>(&tKey);
}
}  // namespace

CRunLoop& CRunLoop::Current() {
  static thread_local CRunLoop tLoop;
  return tLoop;
}

CRunLoop::CRunLoop() : mThreadKey(ThreadKey()) {
  mWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (mWakeFd < 0) {
    // Without its wake-up a loop could sleep through every signal; nothing sensible
    // can run on this thread.
    std::perror("eventfd");
    std::abort();
  }
}

CRunLoop::~CRunLoop() {
  for (CLoopTimer* t : mArmed) t->mArmed = false;
  close(mWakeFd);
}

bool CRunLoop::onLoopThread() const {
  return mThreadKey == ThreadKey();
}

std::uint64_t CRunLoop::AddObserver(ObserverFn fn, void* info) {
  mObservers.push_back({mNextKey, fn, info});
  return mNextKey++;
}

void CRunLoop::RemoveObserver(std::uint64_t key) {
  for (auto it = mObservers.begin(); it != mObservers.end(); ++it) {
    if (it->key != key) continue;
    if (mCalling)
      it->fn = nullptr;  // CallObservers is walking the vector: compact afterwards
    else
      mObservers.erase(it);
    return;
  }
}

void CRunLoop::CallObservers() {
  mCalling = true;
  // Index loop: an observer may add observers, which may reallocate the vector.
  for (std::size_t i = 0; i < mObservers.size(); ++i) {
    SObserver o = mObservers[i];
    if (o.fn) o.fn(o.info);
  }
  mCalling = false;
  std::erase_if(mObservers, [](SObserver const& o) { return o.fn == nullptr; });
}

void CRunLoop::WakeUp() {
  const std::uint64_t one = 1;
  // A full counter (never in practice) still leaves the fd readable: nothing is lost.
  while (write(mWakeFd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void CRunLoop::Post(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> hold(mPostLock);
    mPosted.push_back(std::move(fn));
  }
  WakeUp();
}

void CRunLoop::Stop() {
  mStop.store(true, std::memory_order_release);
  WakeUp();
}

void CRunLoop::Run() {
  // The flag is cleared on the way out, so a Stop that lands before Run starts still
  // ends it.
  while (!mStop.load(std::memory_order_acquire)) RunOnce(-1.0);
  mStop.store(false, std::memory_order_release);
}

bool CRunLoop::RunOnce(double maxWait) {
  bool worked = FireTimers();
  worked |= RunPosted();
  CallObservers();
  if (mStop.load(std::memory_order_acquire)) return true;
  worked |= Wait(maxWait);
  const double next = nextFire();
  return worked || (next >= 0 && next <= UEventClock::Now());
}

bool CRunLoop::FireTimers() {
  // Only timers armed before this pass fire in it, so a timer re-armed with 0 from
  // its own callout fires at the next iteration instead of spinning here.
  const std::uint64_t passSeq = mArmSeq;
  bool fired = false;
  for (;;) {
    const double now = UEventClock::Now();
    CLoopTimer* due = nullptr;
    for (CLoopTimer* t : mArmed) {
      if (t->mSeq > passSeq || t->mFire > now) continue;
      if (!due || t->mFire < due->mFire || (t->mFire == due->mFire && t->mSeq < due->mSeq)) due = t;
    }
    if (!due) return fired;
    due->Disarm();
    fired = true;
    due->mFn(due, due->mInfo);
  }
}

bool CRunLoop::RunPosted() {
  std::vector<std::function<void()>> batch;
  {
    std::lock_guard<std::mutex> hold(mPostLock);
    batch.swap(mPosted);
  }
  for (auto& fn : batch) fn();
  return !batch.empty();
}

double CRunLoop::nextFire() const {
  double next = -1.0;
  for (CLoopTimer* t : mArmed)
    if (next < 0 || t->mFire < next) next = t->mFire;
  return next;
}

bool CRunLoop::Wait(double maxWait) {
  double wait = maxWait;
  const double next = nextFire();
  // On the manual clock a timer falls due only when a test moves the clock, and the
  // test then runs the loop itself: waiting in real time for it would be wrong.
  if (next >= 0 && !UEventClock::manual()) {
    const double untilNext = std::max(0.0, next - UEventClock::Now());
    if (wait < 0 || untilNext < wait) wait = untilNext;
  } else if (next >= 0 && next <= UEventClock::Now()) {
    wait = 0;
  }
  int timeoutMs = -1;
  if (wait >= 0) timeoutMs = static_cast<int>(std::ceil(std::min(wait, 3600.0) * 1000.0));

  pollfd p{mWakeFd, POLLIN, 0};
  int n;
  while ((n = poll(&p, 1, timeoutMs)) < 0 && errno == EINTR) {
  }
  if (n <= 0) return false;
  std::uint64_t count;
  while (read(mWakeFd, &count, sizeof count) < 0 && errno == EINTR) {
  }
  return true;
}

CLoopTimer::CLoopTimer(Callout fn, void* info) : mLoop(CRunLoop::Current()), mFn(fn), mInfo(info) {}

CLoopTimer::~CLoopTimer() {
  Disarm();
}

bool CLoopTimer::Arm(double seconds) {
  if (seconds < 0) {
    Disarm();
    return true;
  }
  mFire = UEventClock::Now() + seconds;
  mSeq = ++mLoop.mArmSeq;
  if (!mArmed) {
    mLoop.mArmed.push_back(this);
    mArmed = true;
  }
  return true;
}

void CLoopTimer::Disarm() {
  if (!mArmed) return;
  mArmed = false;
  std::erase(mLoop.mArmed, this);
}
