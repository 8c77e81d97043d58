// The I/O signal thread and the hand-over of readiness to the world's thread.
#include "CPsxIOSig.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cstdint>
#include <new>
#include <utility>

#include "CPsxThread.h"

namespace {
CPsxIOSig* gPsxIOSig = nullptr;
int gUse = 0;

void SetNonBlocking(int fd) {
  fcntl(fd, F_SETFL, O_NONBLOCK);
}
}  // namespace

void CPsxIOSig::Use(LAsyncWorld& world) {
  if (gUse++ == 0) gPsxIOSig = new CPsxIOSig(world);
}

void CPsxIOSig::Free() {
  if (gUse > 0 && --gUse == 0) {
    delete gPsxIOSig;
    gPsxIOSig = nullptr;
  }
}

CPsxIOSig* CPsxIOSig::instance() {
  return gPsxIOSig;
}

CPsxIOSig::CPsxIOSig(LAsyncWorld& world) : LHandler(nullptr), mSignal(this, world) {
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
    CPsxMutex::Hold hold(mLock);
    mQuit = true;
    WakeThread();
  }
  delete mThread;  // joins: the thread sees mQuit once the byte wakes it
  for (int fd : {mPipe[1], mPipe[0], mEpoll})
    if (fd >= 0) close(fd);
  // Records left by users that never called Finish are released with the instance.
  while (mReady.RemoveFirst()) {
  }
  for (auto& pair : mRecords)
    for (SFile* f : pair) delete f;
}

bool CPsxIOSig::threadStarted() const {
  return mThread && mThread->started();
}

void CPsxIOSig::WakeThread() {
  const char byte = 0;
  // A full pipe is readable already, so a failed write loses nothing.
  [[maybe_unused]] ssize_t n = ::write(mPipe[1], &byte, 1);
}

CPsxIOSig::SFile* CPsxIOSig::Record(int fd, IO io, SFile::State state) const {
  if (fd < 0 || fd >= FD_SETSIZE) return nullptr;
  SFile* f = mRecords[fd][io];
  return f && f->mState == state ? f : nullptr;
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
    mReady.Append(found[i]);
  }
}

void* CPsxIOSig::ThreadCB(void* self) {
  auto* sig = static_cast<CPsxIOSig*>(self);
  constexpr int kEvents = 64;
  epoll_event events[kEvents];
  SFile* found[2 * kEvents];
  for (;;) {
    const int n = epoll_wait(sig->mEpoll, events, kEvents, -1);
    int nFound = 0;
    {
      CPsxMutex::Hold hold(sig->mLock);
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
      // One-shot: a descriptor reported for one direction is armed again for the other.
      for (int i = 0; i < n; ++i) {
        const int fd = events[i].data.fd;
        if (fd != sig->mPipe[0] &&
            (sig->Record(fd, read, SFile::waiting) || sig->Record(fd, write, SFile::waiting)))
          sig->Arm(fd);
      }
    }
    // Raised after the unlock: this lock and the world's are never held together.
    if (nFound) sig->mSignal.Signal();
  }
}

LEvent CPsxIOSig::HandleEvent(LEvent const& e) {
  if (e.is(LAsyncSignal::rX, &mSignal)) {
    Signaled();
    return LEvent();
  }
  return LHandler::HandleEvent(e);
}

void CPsxIOSig::Signaled() {
  for (;;) {
    SFile* f;
    {
      CPsxMutex::Hold hold(mLock);
      f = mReady.RemoveFirst();
      // Idle again before its callback, which may Wait again or Finish at once.
      if (f) f->mState = SFile::idle;
    }
    if (!f) return;
    f->mCallback.function(f->mCallback.context, f->mIO);
  }
}

bool CPsxIOSig::Prepare(int fd, Callback const& cb) {
  CPsxIOSig* sig = gPsxIOSig;
  if (!sig || !sig->threadStarted() || fd < 0 || fd >= FD_SETSIZE) return false;
  {
    CPsxMutex::Hold hold(sig->mLock);
    if (sig->mRecords[fd][read]) return false;
  }
  auto* r = new (std::nothrow) SFile(fd, cb, read);
  auto* w = new (std::nothrow) SFile(fd, cb, write);
  // Registered with no direction yet; Wait arms it. One-shot: a report disarms it.
  epoll_event ev{};
  ev.data.fd = fd;
  ev.events = EPOLLONESHOT;
  if (!r || !w || epoll_ctl(sig->mEpoll, EPOLL_CTL_ADD, fd, &ev) != 0) {
    delete r;
    delete w;
    return false;
  }
  SetNonBlocking(fd);
  CPsxMutex::Hold hold(sig->mLock);
  sig->mRecords[fd][read] = r;
  sig->mRecords[fd][write] = w;
  return true;
}

void CPsxIOSig::Wait(int fd, IO io) {
  CPsxIOSig* sig = gPsxIOSig;
  if (!sig) return;
  CPsxMutex::Hold hold(sig->mLock);
  SFile* f = sig->Record(fd, io, SFile::idle);
  if (!f) return;
  f->mState = SFile::waiting;
  f->mWaited = ++sig->mWaits;
  sig->Arm(fd);  // takes effect at once, also for a thread inside epoll_wait
}

void CPsxIOSig::Finish(int fd) {
  CPsxIOSig* sig = gPsxIOSig;
  if (!sig || fd < 0 || fd >= FD_SETSIZE) return;
  fcntl(fd, F_SETFL, 0);
  CPsxMutex::Hold hold(sig->mLock);
  epoll_ctl(sig->mEpoll, EPOLL_CTL_DEL, fd, nullptr);
  for (IO io : {read, write}) {
    if (SFile* f = sig->mRecords[fd][io]) {
      if (f->mState == SFile::ready) sig->mReady.Remove(f);
      delete f;
      sig->mRecords[fd][io] = nullptr;
    }
  }
}
