// A handler that records the events it sees, for asserting what crossed a boundary.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "LHandler.h"

class CRecorder : public LHandler {
 public:
  struct SSeen {
    std::string name;
    LHandler* source;
  };

  // Consumes what it sees unless `consume` is false, in which case it forwards.
  explicit CRecorder(LHandler* next = nullptr, bool consume = true)
      : LHandler(next), mConsume(consume) {}

  LEvent HandleEvent(LEvent const& e) override {
    mSeen.push_back({e.mName ? e.mName : "", e.mSource});
    if (mOnEvent) mOnEvent(e);
    return mConsume ? LEvent() : LHandler::HandleEvent(e);
  }

  // How many events named `name` (from `source`, if given) it has seen.
  int count(LCStr const& name, LHandler const* source = nullptr) const {
    int n = 0;
    for (auto const& s : mSeen)
      if (s.name == name.mText && (!source || s.source == source)) ++n;
    return n;
  }

  std::vector<SSeen> mSeen;
  std::function<void(LEvent const&)> mOnEvent;  // runs inside HandleEvent
  bool mConsume;
};
