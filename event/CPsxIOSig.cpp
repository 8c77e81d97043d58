// The I/O signal thread and the hand-over of readiness to the thread of each world.
#include "CPsxIOSig.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

#include "CPsxMutex.h"
#include "CPsxThread.h"

// What the instance keeps of one world: the signal that wakes its thread, the records
// found ready for it and not yet reported, and how many users it has.
class CPsxIOSig::CWorldSig : public LHandler, public SSLink {
 public:
  explicit CWorldSig(LAsyncWorld& world)
      : LHandler(nullptr), mWorld(&world), mSignal(this, world) {}

  LEvent HandleEvent(LEvent const& e) override {
    if (e.is(LAsyncSignal::rX, &mSignal)) {
      Deliver(mWorld);  // a callback may free this record: nothing of it is touched after
      return LEvent();
    }
    return LHandler::HandleEvent(e);
  }

  LAsyncWorld* const mWorld;
  LAsyncSignal mSignal;
  LSLink<SFile> mReady;  // found ready, not reported yet: oldest first
  int mUses = 0;
  // Set while the thread raises mSignal with no lock held: Free waits until it clears,
  // so the signal outlives the raise.
  std::atomic<bool> mRaising{false};
};

namespace {
CPsxIOSig* gPsxIOSig = nullptr;  // lock held

// Guards the instance pointer, the worlds, the records, the ready lists and the interest.
// Nothing else is ever locked while it is held.
CPsxMutex& Lock() {
  static CPsxMutex lock;
  return lock;
}

// Counts the passes in which the thread raised signals; it moves when a world's mRaising
// clears, so a Free waiting for that can sleep on it. Static: it outlives every instance.
std::atomic<unsigned> gRaised{0};

void SetNonBlocking(int fd) {
  fcntl(fd, F_SETFL, O_NONBLOCK);
}
}  // namespace

void CPsxIOSig::Use(LAsyncWorld& world) {
  CPsxMutex::Hold hold(Lock());
  if (!gPsxIOSig) gPsxIOSig = new CPsxIOSig;
  CWorldSig* w = gPsxIOSig->Find(&world);
  if (!w) {
    w = new CWorldSig(world);
    gPsxIOSig->mWorlds.Append(w);
  }
  ++w->mUses;
}

void CPsxIOSig::Free(LAsyncWorld& world) {
  CWorldSig* w;
  CPsxIOSig* last = nullptr;
  {
    CPsxMutex::Hold hold(Lock());
    CPsxIOSig* sig = gPsxIOSig;
    w = sig ? sig->Find(&world) : nullptr;
    if (!w || --w->mUses > 0) return;
    sig->mWorlds.Remove(w);
    // Registrations its users left behind could never be reported again.
    for (int fd = 0; fd < kMaxFd; ++fd)
      if (SFile* f = sig->mRecords[fd][read]; f && f->mWorld == w) sig->Drop(fd);
    if (sig->mWorlds.empty()) {
      gPsxIOSig = nullptr;
      last = sig;
    }
  }
  // Out of the registry now, so no later pass raises its signal; one under way may.
  if (last) {
    delete last;  // joins the thread, and with it any raise
  } else {
    for (unsigned seen = gRaised.load(); w->mRaising.load(); seen = gRaised.load())
      gRaised.wait(seen);
  }
  delete w;  // cancels its signal with the world, under no lock of ours
}

CPsxIOSig* CPsxIOSig::instance() {
  CPsxMutex::Hold hold(Lock());
  return gPsxIOSig;
}

CPsxIOSig::CPsxIOSig() {
  // Without its epoll set and a wake-up pipe in it, the thread could not be told to
  // quit: then there is no thread, and Prepare refuses.
  mEpoll = epoll_create1(EPOLL_CLOEXEC);
  epoll_event pipeEvent{};
  pipeEvent.events = EPOLLIN;
  if (mEpoll < 0 || pipe2(mPipe, O_CLOEXEC | O_NONBLOCK) != 0 ||
      (pipeEvent.data.fd = mPipe[0], epoll_ctl(mEpoll, EPOLL_CTL_ADD, mPipe[0], &pipeEvent)) != 0) {
    for (int* fd : {&mPipe[0], &mPipe[1], &mEpoll}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
    return;
  }

  // The attributes ask for real-time scheduling but keep the inherited policy, so they
  // never need privilege; should creation still fail, a thread with the defaults is
  // better than sockets that are never served.
  {
    CPsxThreadParam param;
    param.SetPolicy(SCHED_RR);  // first: the priority must be valid for the policy
    param.SetPriority(99);
    mThread = new CPsxThread(this, &ThreadCB, param);
  }
  if (!mThread->started()) {
    delete mThread;
    CPsxThreadParam defaults;
    mThread = new CPsxThread(this, &ThreadCB, defaults);
  }
}

CPsxIOSig::~CPsxIOSig() {
  if (mThread) {
    CPsxMutex::Hold hold(Lock());
    mQuit = true;
    WakeThread();
  }
  delete mThread;  // joins: the thread sees mQuit once the byte wakes it
  for (int fd : {mPipe[1], mPipe[0], mEpoll})
    if (fd >= 0) close(fd);
  // Only the last Free destroys the instance, once every world has dropped its records.
  for (auto& pair : mRecords)
    for (SFile* f : pair) delete f;
}

bool CPsxIOSig::threadStarted() const {
  return mThread && mThread->started();
}

CPsxIOSig::CWorldSig* CPsxIOSig::Find(LAsyncWorld const* world) const {
  for (LSLinkIter<CWorldSig> w(mWorlds); w;)
    if (w->mWorld == world) return w.current();
  return nullptr;
}

void CPsxIOSig::WakeThread() {
  const char byte = 0;
  // A full pipe is readable already, so a failed write loses nothing.
  [[maybe_unused]] ssize_t n = ::write(mPipe[1], &byte, 1);
}

CPsxIOSig::SFile* CPsxIOSig::Record(int fd, IO io, SFile::State state) const {
  if (fd < 0 || fd >= kMaxFd) return nullptr;
  SFile* f = mRecords[fd][io];
  return f && f->mState == state ? f : nullptr;
}

void CPsxIOSig::Drop(int fd) {
  epoll_ctl(mEpoll, EPOLL_CTL_DEL, fd, nullptr);
  for (IO io : {read, write}) {
    if (SFile* f = mRecords[fd][io]) {
      if (f->mState == SFile::ready) f->mWorld->mReady.Remove(f);
      delete f;
      mRecords[fd][io] = nullptr;
    }
  }
}

void CPsxIOSig::Arm(int fd) {
  epoll_event ev{};
  ev.data.fd = fd;
  ev.events = EPOLLONESHOT;
  if (Record(fd, read, SFile::waiting)) ev.events |= EPOLLIN;
  if (Record(fd, write, SFile::waiting)) ev.events |= EPOLLOUT;
  epoll_ctl(mEpoll, EPOLL_CTL_MOD, fd, &ev);
}

void CPsxIOSig::Report(SFile** found, int n) {
  // Most recently waited for first; a pass finds few, so an insertion sort will do.
  for (int i = 1; i < n; ++i)
    for (int j = i; j > 0 && found[j - 1]->mWaited < found[j]->mWaited; --j)
      std::swap(found[j - 1], found[j]);
  for (int i = 0; i < n; ++i) {
    found[i]->mState = SFile::ready;
    found[i]->mWorld->mReady.Append(found[i]);
  }
}

void* CPsxIOSig::ThreadCB(void* self) {
  auto* sig = static_cast<CPsxIOSig*>(self);
  constexpr int kEvents = 64;
  epoll_event events[kEvents];
  SFile* found[2 * kEvents];
  CWorldSig* raise[2 * kEvents];
  for (;;) {
    const int n = epoll_wait(sig->mEpoll, events, kEvents, -1);
    int nFound = 0;
    int nRaise = 0;
    {
      CPsxMutex::Hold hold(Lock());
      if (sig->mQuit) return nullptr;
      for (int i = 0; i < n; ++i) {
        const int fd = events[i].data.fd;
        if (fd == sig->mPipe[0]) {
          char drain[64];
          while (::read(fd, drain, sizeof drain) > 0) {
          }
          continue;
        }
        // A descriptor finished since the report has no waiting record and is skipped.
        const std::uint32_t e = events[i].events;
        for (IO io : {read, write}) {
          SFile* f = sig->Record(fd, io, SFile::waiting);
          if (f && (e & (EPOLLERR | EPOLLHUP | (io == read ? EPOLLIN : EPOLLOUT))))
            found[nFound++] = f;
        }
      }
      sig->Report(found, nFound);
      // Each world with news is raised once; until its raise is over, Free waits for it.
      for (int i = 0; i < nFound; ++i) {
        CWorldSig* w = found[i]->mWorld;
        if (!w->mRaising.load(std::memory_order_relaxed)) {
          w->mRaising.store(true);
          raise[nRaise++] = w;
        }
      }
      // One-shot: a descriptor reported for one direction is armed again for the other.
      for (int i = 0; i < n; ++i) {
        const int fd = events[i].data.fd;
        if (fd != sig->mPipe[0] &&
            (sig->Record(fd, read, SFile::waiting) || sig->Record(fd, write, SFile::waiting)))
          sig->Arm(fd);
      }
    }
    // Raised after the unlock: this lock and a world's are never held together. A world
    // whose mRaising has cleared may be gone at once, so it is not touched again.
    for (int i = 0; i < nRaise; ++i) {
      raise[i]->mSignal.Signal();
      raise[i]->mRaising.store(false);
    }
    if (nRaise) {
      gRaised.fetch_add(1);
      gRaised.notify_all();
    }
  }
}

void CPsxIOSig::Deliver(LAsyncWorld* world) {
  for (;;) {
    Callback cb;
    IO io;
    {
      CPsxMutex::Hold hold(Lock());
      // Found again for every callback: the one before may have freed the world's record.
      CWorldSig* w = gPsxIOSig ? gPsxIOSig->Find(world) : nullptr;
      SFile* f = w ? w->mReady.RemoveFirst() : nullptr;
      if (!f) return;
      // Idle again before its callback, which may Wait again or Finish at once.
      f->mState = SFile::idle;
      cb = f->mCallback;
      io = f->mIO;
    }
    cb.function(cb.context, io);
  }
}

bool CPsxIOSig::Prepare(int fd, Callback const& cb, LAsyncWorld& world) {
  if (fd < 0 || fd >= kMaxFd) return false;
  CPsxMutex::Hold hold(Lock());
  CPsxIOSig* sig = gPsxIOSig;
  CWorldSig* w = sig && sig->threadStarted() ? sig->Find(&world) : nullptr;
  if (!w || sig->mRecords[fd][read]) return false;
  auto* r = new (std::nothrow) SFile(fd, cb, read, w);
  auto* wr = new (std::nothrow) SFile(fd, cb, write, w);
  // Registered with no direction yet; Wait arms it. One-shot: a report disarms it.
  epoll_event ev{};
  ev.data.fd = fd;
  ev.events = EPOLLONESHOT;
  if (!r || !wr || epoll_ctl(sig->mEpoll, EPOLL_CTL_ADD, fd, &ev) != 0) {
    delete r;
    delete wr;
    return false;
  }
  SetNonBlocking(fd);
  sig->mRecords[fd][read] = r;
  sig->mRecords[fd][write] = wr;
  return true;
}

void CPsxIOSig::Wait(int fd, IO io) {
  CPsxMutex::Hold hold(Lock());
  CPsxIOSig* sig = gPsxIOSig;
  SFile* f = sig ? sig->Record(fd, io, SFile::idle) : nullptr;
  if (!f) return;
  f->mState = SFile::waiting;
  f->mWaited = ++sig->mWaits;
  sig->Arm(fd);  // takes effect at once, also for a thread inside epoll_wait
}

void CPsxIOSig::Finish(int fd) {
  if (fd < 0 || fd >= kMaxFd) return;
  CPsxMutex::Hold hold(Lock());
  CPsxIOSig* sig = gPsxIOSig;
  if (!sig || !sig->mRecords[fd][read]) return;
  fcntl(fd, F_SETFL, 0);
  sig->Drop(fd);
}
