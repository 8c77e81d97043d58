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
// without waking the thread.
class CPsxIOSig : public LHandler {
 public:
  enum IO { read = 0, write = 1 };
  using Callback = CCB<void (*)(void*, IO)>;

  // One registration: a descriptor, a direction and the callback.
  struct SFile : SSLink {
    SFile(int fd, Callback const& cb, IO io) : mFd(fd), mCallback(cb), mIO(io) {}
    int mFd;
    Callback mCallback;
    IO mIO;
    LSLink<SFile>* mList = nullptr;  // the list it is on: found without a walk
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
  SFile* Find(int fd, IO io, LSLink<SFile> const& list) const;

  bool threadStarted() const;

 private:
  void WakeThread();  // lock held
  // Asks the kernel for one report on `fd`, for the directions waited for (lock held).
  void Arm(int fd);
  // Puts a record on a list, at the front or the end (lock held).
  static void Put(SFile* f, LSLink<SFile>& list, bool front);

  LAsyncSignal mSignal;  // bound to the first user's world
  LSLink<SFile> mIdle;
  LSLink<SFile> mWaiting;
  LSLink<SFile> mReady;
  int mPipe[2] = {-1, -1};
  int mEpoll = -1;                           // the interest: one-shot, re-armed by Wait
  SFile* mRecords[FD_SETSIZE][2] = {};       // by descriptor and direction
  std::uint32_t mReported[FD_SETSIZE] = {};  // the thread's events of one pass
  bool mQuit = false;
  CPsxMutex mLock;  // guards the lists, the interest and mQuit
  CPsxThread* mThread = nullptr;
};
