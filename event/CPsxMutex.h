// A recursive POSIX mutex, the one lock type of the framework.
#pragma once

#include <pthread.h>

class CPsxMutex {
 public:
  CPsxMutex();
  ~CPsxMutex() { pthread_mutex_destroy(&mMutex); }
  CPsxMutex(CPsxMutex const&) = delete;
  CPsxMutex& operator=(CPsxMutex const&) = delete;

  void Lock() { pthread_mutex_lock(&mMutex); }
  void Unlock() { pthread_mutex_unlock(&mMutex); }

  // Holds the lock for a scope.
  class Hold {
   public:
    explicit Hold(CPsxMutex& m) : mMutex(m) { mMutex.Lock(); }
    ~Hold() { mMutex.Unlock(); }
    Hold(Hold const&) = delete;
    Hold& operator=(Hold const&) = delete;

   private:
    CPsxMutex& mMutex;
  };

 private:
  pthread_mutex_t mMutex;
};
