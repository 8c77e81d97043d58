// The process-wide I/O signal thread: descriptor readiness becomes callbacks on the
// world's thread.
#pragma once

#include <sys/select.h>  // FD_SETSIZE, the descriptor limit of the ports

#include <cstdint>

#include "CCB.h"
#include "CPsxMutex.h"
#include "LAsyncWorld.h"
#include "LSLink.h"

class CPsxThread;

// One instance serves the process, shared through Use and Free. A user registers a
// descriptor with Prepare, asks with Wait for one callback per readiness of one
// direction (interest is one-shot), and unregisters with Finish before closing it.
// Every operation but the thread's body runs on the world's thread. The thread waits
// in epoll with one-shot interest, so a Wait re-arms its descriptor in the kernel
// without waking the thread, and a pass costs only the descriptors it was told of.
// The records that one pass finds ready are reported most recently waited for first.
class CPsxIOSig : public LHandler {
 public:
  enum IO { read = 0, write = 1 };
  using Callback = CCB<void (*)(void*, IO)>;

  // One registration: a descriptor, a direction and the callback.
  struct SFile : SSLink {
    enum State : std::uint8_t { idle, waiting, ready };
    SFile(int fd, Callback const& cb, IO io) : mFd(fd), mCallback(cb), mIO(io) {}
    int mFd;
    Callback mCallback;
    IO mIO;
    State mState = idle;
    std::uint64_t mWaited = 0;  // when it was last waited for: orders the reports of a pass
  };

  // Counts a user; the first one creates the instance and its thread on `world`,
  // which then serves every user and must outlive the instance.
  static void Use(LAsyncWorld& world);
  // Counts a user less; the last one destroys the instance and stops its thread.
  static void Free();
  // Registers `fd` for both directions and makes it non-blocking. False, with nothing
  // changed, when there is no instance (or it has no thread), `fd` cannot be watched (below
  // 0 or not below FD_SETSIZE), is already registered, or memory runs out.
  static bool Prepare(int fd, Callback const& cb);
  // Asks for one callback when `fd` is ready in direction `io`. Does nothing unless
  // that registration is idle (prepared, not already waiting or ready).
  static void Wait(int fd, IO io);
  // Unregisters `fd`, dropping any readiness not yet reported, and makes it blocking.
  // Safe from inside a callback.
  static void Finish(int fd);
  // The thread's body; `self` is the instance.
  static void* ThreadCB(void* self);

  // The shared instance, or null (for tests and diagnostics).
  static CPsxIOSig* instance();

  explicit CPsxIOSig(LAsyncWorld& world);
  ~CPsxIOSig() override;

  LEvent HandleEvent(LEvent const& e) override;
  // Reports the ready records, oldest first, with no lock held during a callback.
  void Signaled();

  bool threadStarted() const;

 private:
  void WakeThread();  // lock held
  // The record of `fd` and `io` if it is in `state`, else null (lock held).
  SFile* Record(int fd, IO io, SFile::State state) const;
  // Asks the kernel for one report on `fd`, for the directions waited for (lock held).
  void Arm(int fd);
  // Moves the records that one pass found ready to the ready list (lock held).
  void Report(SFile** found, int n);

  LAsyncSignal mSignal;  // bound to the first user's world
  LSLink<SFile> mReady;  // found ready, not reported yet: oldest first
  int mPipe[2] = {-1, -1};
  int mEpoll = -1;                      // the interest: one-shot, re-armed by Wait
  SFile* mRecords[FD_SETSIZE][2] = {};  // by descriptor and direction
  std::uint64_t mWaits = 0;             // counts Wait calls: the records' mWaited
  bool mQuit = false;
  CPsxMutex mLock;  // guards the records, the ready list, the interest and mQuit
  CPsxThread* mThread = nullptr;
};
