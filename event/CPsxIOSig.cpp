// The select thread and the hand-over of readiness to the world's thread.
#include "CPsxIOSig.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <new>

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
  FD_ZERO(&mInterest[read]);
  FD_ZERO(&mInterest[write]);
  // Without a wake-up pipe that select can watch, the thread could neither pick up
  // new waits nor be told to quit: then there is no thread, and Prepare refuses.
  if (pipe(mPipe) != 0 || mPipe[0] >= FD_SETSIZE || mPipe[1] >= FD_SETSIZE) {
    for (int& fd : mPipe) {
      if (fd >= 0) close(fd);
      fd = -1;
    }
    return;
  }
  SetNonBlocking(mPipe[0]);
  SetNonBlocking(mPipe[1]);
  FD_SET(mPipe[0], &mInterest[read]);

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
  delete mThread;  // joins: the thread sees mQuit once select returns for the byte
  if (mPipe[1] >= 0) close(mPipe[1]);
  if (mPipe[0] >= 0) close(mPipe[0]);
  // Records left by users that never called Finish are released with the instance.
  mIdle.DeleteAll();
  mWaiting.DeleteAll();
  mReady.DeleteAll();
}

bool CPsxIOSig::threadStarted() const {
  return mThread && mThread->started();
}

void CPsxIOSig::WakeThread() {
  const char byte = 0;
  // A full pipe is readable already, so a failed write loses nothing.
  [[maybe_unused]] ssize_t n = ::write(mPipe[1], &byte, 1);
}

void* CPsxIOSig::ThreadCB(void* self) {
  auto* sig = static_cast<CPsxIOSig*>(self);
  fd_set sets[2];
  sig->mLock.Lock();
  while (!sig->mQuit) {
    char drain[64];
    while (::read(sig->mPipe[0], drain, sizeof drain) > 0) {
    }
    sets[read] = sig->mInterest[read];
    sets[write] = sig->mInterest[write];
    sig->mLock.Unlock();

    if (select(FD_SETSIZE, &sets[read], &sets[write], nullptr, nullptr) > 0) {
      {
        CPsxMutex::Hold hold(sig->mLock);
        // One pass over the waiting list, keeping its order: ready records move to
        // the end of the ready list, the others go back.
        LSLink<SFile> pass;
        sig->mWaiting.Detach(pass);
        while (SFile* f = pass.RemoveFirst()) {
          if (FD_ISSET(f->mFd, &sets[f->mIO])) {
            FD_CLR(f->mFd, &sig->mInterest[f->mIO]);
            sig->mReady.Append(f);
          } else {
            sig->mWaiting.Append(f);
          }
        }
      }
      // Raised after the unlock: this lock and the world's are never held together.
      sig->mSignal.Signal();
    }
    sig->mLock.Lock();
  }
  sig->mLock.Unlock();
  return nullptr;
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
      if (f) mIdle.Insert(f);
    }
    if (!f) return;
    f->mCallback.function(f->mCallback.context, f->mIO);
  }
}

CPsxIOSig::SFile* CPsxIOSig::Find(int fd, IO io, LSLink<SFile> const& list) const {
  for (LSLinkIter<SFile> it(list); it;)
    if (it->mFd == fd && it->mIO == io) return it.current();
  return nullptr;
}

bool CPsxIOSig::Prepare(int fd, Callback const& cb) {
  CPsxIOSig* sig = gPsxIOSig;
  if (!sig || !sig->threadStarted() || fd < 0 || fd >= FD_SETSIZE) return false;
  {
    CPsxMutex::Hold hold(sig->mLock);
    for (auto* list : {&sig->mIdle, &sig->mWaiting, &sig->mReady})
      if (sig->Find(fd, read, *list)) return false;
  }
  auto* r = new (std::nothrow) SFile(fd, cb, read);
  auto* w = new (std::nothrow) SFile(fd, cb, write);
  if (!r || !w) {
    delete r;
    delete w;
    return false;
  }
  SetNonBlocking(fd);
  CPsxMutex::Hold hold(sig->mLock);
  sig->mIdle.Insert(r);
  sig->mIdle.Append(w);
  return true;
}

void CPsxIOSig::Wait(int fd, IO io) {
  CPsxIOSig* sig = gPsxIOSig;
  if (!sig) return;
  CPsxMutex::Hold hold(sig->mLock);
  SFile* f = sig->Find(fd, io, sig->mIdle);
  if (!f) return;
  sig->mIdle.Remove(f);
  sig->mWaiting.Insert(f);
  FD_SET(fd, &sig->mInterest[io]);
  sig->WakeThread();
}

void CPsxIOSig::Finish(int fd) {
  CPsxIOSig* sig = gPsxIOSig;
  if (!sig || fd < 0 || fd >= FD_SETSIZE) return;
  fcntl(fd, F_SETFL, 0);
  CPsxMutex::Hold hold(sig->mLock);
  FD_CLR(fd, &sig->mInterest[read]);
  FD_CLR(fd, &sig->mInterest[write]);
  for (IO io : {read, write}) {
    for (auto* list : {&sig->mIdle, &sig->mWaiting, &sig->mReady}) {
      if (SFile* f = sig->Find(fd, io, *list)) {
        list->Remove(f);
        delete f;
      }
    }
  }
}
