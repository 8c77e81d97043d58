// Frame timer, stdin reader and signal stop for the programs.
#include "CAppLoop.h"

#include <csignal>
#include <iostream>

#include "UEventClock.h"

CFrameTimer::CFrameTimer(double fps, std::function<void()> onFrame)
    : mPeriod(1.0 / fps), mOnFrame(std::move(onFrame)), mTimer(&Fire, this) {}

void CFrameTimer::Start() {
  mNext = UEventClock::Now();
  mTimer.Arm(0);
}

void CFrameTimer::RunSoon() {
  mHeld = true;
  mTimer.Arm(0);
}

void CFrameTimer::Fire(CLoopTimer* timer, void* self) {
  auto* f = static_cast<CFrameTimer*>(self);
  const double now = UEventClock::Now();
  if (f->mHeld) {
    f->mHeld = false;
    f->mNext = now + 1.5 * f->mPeriod;
  } else {
    f->mNext += f->mPeriod;
    if (f->mNext < now) f->mNext = now + f->mPeriod;  // fell behind: skip, don't catch up
  }
  timer->Arm(f->mNext - now);
  f->mOnFrame();
}

CStdinLines::CStdinLines(std::function<void(std::string const&)> onLine,
                         std::function<void()> onEnd)
    : mTarget(std::make_shared<STarget>()) {
  mTarget->loop = &CRunLoop::Current();
  // The reader may still be blocked in a read when the program ends: it posts only
  // while the loop is there, which the destructor settles under the same lock.
  mThread = std::thread([target = mTarget, onLine = std::move(onLine), onEnd = std::move(onEnd)] {
    auto post = [&](std::function<void()> f) {
      std::lock_guard<std::mutex> hold(target->lock);
      if (target->loop) target->loop->Post(std::move(f));
    };
    std::string line;
    while (std::getline(std::cin, line)) post([onLine, line] { onLine(line); });
    post(onEnd);
  });
}

CStdinLines::~CStdinLines() {
  {
    std::lock_guard<std::mutex> hold(mTarget->lock);
    mTarget->loop = nullptr;
  }
  if (mThread.joinable()) mThread.detach();
}

namespace {
CRunLoop* gStopLoop = nullptr;
volatile std::sig_atomic_t gSignal = 0;

extern "C" void OnSignal(int sig) {
  gSignal = sig;
  // Stop only stores an atomic flag and writes to an eventfd: safe in a handler.
  if (gStopLoop) gStopLoop->Stop();
}
}  // namespace

void StopLoopOnSignals(CRunLoop& loop) {
  gStopLoop = &loop;
  struct sigaction sa {};
  sa.sa_handler = &OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

int StopSignal() {
  return gSignal;
}
