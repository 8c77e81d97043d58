// The process-wide I/O signal thread: descriptor readiness becomes callbacks on the
// thread of the world each descriptor belongs to.
#pragma once

#include <cstdint>

#include "CCB.h"
#include "LAsyncWorld.h"
#include "LSLink.h"

class CPsxThread;

// One instance serves the process while any world uses it, shared through Use and Free.
// A user registers a descriptor for its world with Prepare, asks with Wait for one
// callback per readiness of one direction (interest is one-shot), and unregisters with
// Finish before closing it. Each world has its own signal and its own list of ready
// records, so a callback always runs on the thread of its descriptor's world, and the
// worlds may come and go in any order. The thread waits in epoll with one-shot
// interest, so a Wait re-arms its descriptor in the kernel without waking the thread,
// and a pass costs only the descriptors it was told of. The records of one world that
// one pass finds ready are reported most recently waited for first.
// Every operation but the thread's body may be called from any world's thread; one
// process-wide lock guards the registry, and no other lock is ever taken under it.
class CPsxIOSig {
 public:
  enum IO { read = 0, write = 1 };
  using Callback = CCB<void (*)(void*, IO)>;

  // Descriptors from 0 to kMaxFd - 1 can be watched.
  static constexpr int kMaxFd = 1024;

  // Counts a user of `world`; the first user of any world creates the instance and its
  // thread, the first of each world makes that world's signal. Call on `world`'s
  // thread (or while it runs no loop); `world` must outlive its last Free.
  static void Use(LAsyncWorld& world);
  // Counts a user of `world` less. The last one of the world drops the registrations
  // left to that world and waits until the thread no longer raises its signal; the last
  // one of all destroys the instance and stops its thread. Same thread as Use.
  static void Free(LAsyncWorld& world);
  // Registers `fd` for both directions, served on `world`'s thread, and makes it
  // non-blocking. False, with nothing changed, when `world` has no user, the instance
  // has no thread, `fd` cannot be watched (below 0 or not below kMaxFd), is already
  // registered, or memory runs out.
  static bool Prepare(int fd, Callback const& cb, LAsyncWorld& world);
  // Asks for one callback when `fd` is ready in direction `io`. Does nothing unless
  // that registration is idle (prepared, not already waiting or ready).
  static void Wait(int fd, IO io);
  // Unregisters `fd`, dropping any readiness not yet reported, and makes it blocking.
  // Safe from inside a callback.
  static void Finish(int fd);

  // The shared instance, or null (for tests and diagnostics).
  static CPsxIOSig* instance();
  bool threadStarted() const;

 private:
  class CWorldSig;

  // One registration: a descriptor, a direction, the callback and the world it is for.
  struct SFile : SSLink {
    enum State : std::uint8_t { idle, waiting, ready };
    SFile(int fd, Callback const& cb, IO io, CWorldSig* world)
        : mFd(fd), mCallback(cb), mIO(io), mWorld(world) {}
    int mFd;
    Callback mCallback;
    IO mIO;
    CWorldSig* mWorld;
    State mState = idle;
    std::uint64_t mWaited = 0;  // when it was last waited for: orders the reports of a pass
  };

  CPsxIOSig();
  ~CPsxIOSig();
  CPsxIOSig(CPsxIOSig const&) = delete;
  CPsxIOSig& operator=(CPsxIOSig const&) = delete;

  // The thread's body; `self` is the instance.
  static void* ThreadCB(void* self);
  // Reports the ready records of `world` on its thread, oldest first, with no lock held
  // during a callback.
  static void Deliver(LAsyncWorld* world);

  // The rest: lock held.
  CWorldSig* Find(LAsyncWorld const* world) const;
  void WakeThread();
  // The record of `fd` and `io` if it is in `state`, else null.
  SFile* Record(int fd, IO io, SFile::State state) const;
  // Unregisters `fd`: drops its records, reported or not, and its interest.
  void Drop(int fd);
  // Asks the kernel for one report on `fd`, for the directions waited for.
  void Arm(int fd);
  // Moves the records that one pass found ready to their worlds' ready lists.
  void Report(SFile** found, int n);

  LSLink<CWorldSig> mWorlds;  // the worlds in use
  int mPipe[2] = {-1, -1};
  int mEpoll = -1;                  // the interest: one-shot, re-armed by Wait
  SFile* mRecords[kMaxFd][2] = {};  // by descriptor and direction
  std::uint64_t mWaits = 0;         // counts Wait calls: the records' mWaited
  bool mQuit = false;
  CPsxThread* mThread = nullptr;
};
