// What both programs need around the run loop: a frame timer, stdin lines posted to
// the loop, and a clean stop on SIGINT/SIGTERM.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "CRunLoop.h"

// Calls `onFrame` every 1/fps seconds on the calling thread's loop. Frames are
// scheduled from a fixed start, so they do not drift; a late frame is not repeated.
// Besides pacing the program's work, the frame timer makes the loop pass its
// before-waiting point every frame, which is when the world delivers due timers.
class CFrameTimer {
 public:
  CFrameTimer(double fps, std::function<void()> onFrame);
  void Start();
  // Runs a frame at the loop's next pass on behalf of an outside source that sets the pace
  // (an OLA universe, the partner's turns) and holds the next tick back by one and a half
  // periods: while the source keeps about our rate its frames are the only ones, and the
  // ticks resume when it slows or stops. Not at once: the caller may be inside a handler
  // that the frame's work must not re-enter.
  void RunSoon();

 private:
  static void Fire(CLoopTimer* timer, void* self);

  double mPeriod;
  double mNext = 0;
  bool mHeld = false;  // RunSoon's frame: the next tick is one and a half periods later
  std::function<void()> mOnFrame;
  CLoopTimer mTimer;
};

// Reads standard input line by line on a thread of its own and hands each line, then
// the end of input, to the loop of the thread that built it.
class CStdinLines {
 public:
  CStdinLines(std::function<void(std::string const&)> onLine, std::function<void()> onEnd);
  ~CStdinLines();  // detaches: a blocked read cannot be interrupted portably

 private:
  struct STarget {
    std::mutex lock;
    CRunLoop* loop = nullptr;  // null once this object is gone
  };
  std::shared_ptr<STarget> mTarget;  // shared with the reader, which may outlive us
  std::thread mThread;
};

// Makes SIGINT and SIGTERM stop `loop` (its Run returns). Returns the signal that
// stopped it, or 0.
void StopLoopOnSignals(CRunLoop& loop);
int StopSignal();
