// Thin owners of a POSIX thread and of its attributes.
#pragma once

#include <pthread.h>

// Thread attributes for CPsxThread. Failures of the attribute calls are ignored:
// a thread then starts with the defaults.
class CPsxThreadParam {
 public:
  CPsxThreadParam() { pthread_attr_init(&mAttr); }
  ~CPsxThreadParam() { pthread_attr_destroy(&mAttr); }
  CPsxThreadParam(CPsxThreadParam const&) = delete;
  CPsxThreadParam& operator=(CPsxThreadParam const&) = delete;

  void SetPriority(int priority);
  void SetPolicy(int policy);
  void SetStackSize(int size);
  int priority() const;  // 0 if it cannot be read
  int policy() const;    // SCHED_OTHER if it cannot be read
  pthread_attr_t const* attr() const { return &mAttr; }

 private:
  pthread_attr_t mAttr;
};

// Starts a thread at construction and joins it at destruction. The thread is never
// cancelled: its body must return by itself once told to (a cancellation could land
// while it holds a lock). `started()` tells whether creation succeeded.
class CPsxThread {
 public:
  CPsxThread(void* arg, void* (*fn)(void*), CPsxThreadParam const& param);
  ~CPsxThread();
  CPsxThread(CPsxThread const&) = delete;
  CPsxThread& operator=(CPsxThread const&) = delete;

  bool started() const { return mStarted; }

 private:
  pthread_t mThread{};
  bool mStarted = false;
};
