// A thread of its own with a run-loop world whose loop runs until the end; Run executes a
// function there and returns when it has.
#pragma once

#include <functional>
#include <future>
#include <memory>
#include <thread>

#include "CAsyncWorld_Null.h"
#include "CRunLoop.h"

class CLoopThread {
 public:
  CLoopThread() : mThread([this] { Body(); }) { mReady.get_future().wait(); }
  ~CLoopThread() {
    mLoop->Stop();
    mStopped.set_value();  // the loop may go now: Stop no longer touches it
    mThread.join();
  }

  void Run(std::function<void()> const& fn) {
    // The posted closure owns the promise: it may still be in set_value when Run returns.
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> ran = done->get_future();
    mLoop->Post([&fn, done] {
      fn();
      done->set_value();
    });
    ran.wait();
  }
  LAsyncWorld& world() { return *mWorld; }
  std::thread::id id() const { return mThread.get_id(); }

 private:
  void Body() {
    CAsyncWorld_Null world;
    mWorld = &world;
    mLoop = world.runloop();
    mReady.set_value();
    mLoop->Run();
    mStopped.get_future().wait();
  }

  LAsyncWorld* mWorld = nullptr;
  CRunLoop* mLoop = nullptr;
  std::promise<void> mReady, mStopped;
  std::thread mThread;  // last: starts once the rest is built
};
