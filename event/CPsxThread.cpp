// Thread and thread-attribute owners.
#include "CPsxThread.h"

#include <sched.h>

#include <cstddef>

void CPsxThreadParam::SetPriority(int priority) {
  sched_param p{};
  pthread_attr_getschedparam(&mAttr, &p);
  p.sched_priority = priority;
  pthread_attr_setschedparam(&mAttr, &p);
}

void CPsxThreadParam::SetPolicy(int policy) {
  pthread_attr_setschedpolicy(&mAttr, policy);
}

void CPsxThreadParam::SetStackSize(int size) {
  pthread_attr_setstacksize(&mAttr, static_cast<std::size_t>(static_cast<long>(size)));
}

int CPsxThreadParam::priority() const {
  sched_param p{};
  return pthread_attr_getschedparam(&mAttr, &p) == 0 ? p.sched_priority : 0;
}

int CPsxThreadParam::policy() const {
  int policy = SCHED_OTHER;
  return pthread_attr_getschedpolicy(&mAttr, &policy) == 0 ? policy : SCHED_OTHER;
}

CPsxThread::CPsxThread(void* arg, void* (*fn)(void*), CPsxThreadParam const& param)
    : mStarted(pthread_create(&mThread, param.attr(), fn, arg) == 0) {}

CPsxThread::~CPsxThread() {
  if (mStarted) pthread_join(mThread, nullptr);
}
