// The OLA bridge on the world's side: retries, refresh of unchanged frames, loss modes.
#include "COlaBridge.h"

#include <algorithm>
#include <iostream>

#include "COlaThread.h"

COlaBridge::COlaBridge(LHandler* owner, LAsyncWorld& world, std::uint16_t port)
    : LHandler(owner),
      mWorld(&world),
      mPort(port),
      mSignal(this, world),
      mRetry(this, world),
      mRefresh(this, world),
      mThread(std::make_unique<COlaThread>(port, [this] { mSignal.Signal(); })) {}

COlaBridge::~COlaBridge() {
  if (mDead) *mDead = true;
  mThread.reset();  // joined here, while the signal it raises still exists
}

bool COlaBridge::Start() {
  if (mStatus != stIdle) return true;
  if (!mThread->Start()) {
    Say(2, "OLA: cannot start the thread that talks to olad");
    return false;
  }
  Attempt();
  return true;
}

void COlaBridge::Attempt() {
  mStatus = stConnecting;
  mThread->Connect();
}

void COlaBridge::Listen(unsigned universe) {
  mThread->Listen(universe);
}

bool COlaBridge::Send(unsigned universe, std::uint8_t const* levels, std::size_t count) {
  if (count > kSlots || (count > 0 && !levels)) return false;
  SOut& out = mOut[universe];
  out.lost = false;  // levels flow again
  if (out.count == count && std::equal(levels, levels + count, out.levels.begin())) return true;
  std::copy(levels, levels + count, out.levels.begin());
  out.count = count;
  if (mStatus == stUp) {
    Push(universe, out);
    ArmRefresh();
  }
  return true;
}

void COlaBridge::LinkLost(unsigned universe) {
  auto it = mOut.find(universe);
  if (it == mOut.end() || it->second.lost) return;
  SOut& out = it->second;
  out.lost = true;
  const std::string where = " on OLA universe " + std::to_string(universe);
  switch (mLossMode) {
    case kHold:
      Say(2, "Kelmar link lost: holding the last levels" + where);
      break;
    case kZero:
      Say(2, "Kelmar link lost: sending zeros" + where);
      std::fill(out.levels.begin(), out.levels.end(), 0);
      if (mStatus == stUp) {
        Push(universe, out);
        ArmRefresh();
      }
      break;
  }
}

void COlaBridge::Forget(unsigned universe) {
  mOut.erase(universe);
  ArmRefresh();
}

void COlaBridge::Push(unsigned universe, SOut& out) {
  mThread->Send(universe, out.levels.data(), out.count);
  ++mSends;
  out.lastSent = mWorld->ticks();
}

void COlaBridge::ArmRefresh() {
  if (mOut.empty() || mStatus != stUp) {
    mRefresh.Cancel();
    return;
  }
  const LTicks now = mWorld->ticks();
  LTicks wait = kRefreshMs;
  for (auto const& [universe, out] : mOut) wait = std::min(wait, out.lastSent + kRefreshMs - now);
  mRefresh.Delay(std::max<LTicks>(wait, 0));
}

void COlaBridge::Refresh() {
  if (mStatus != stUp) return;
  const LTicks now = mWorld->ticks();
  for (auto& [universe, out] : mOut)
    if (now - out.lastSent >= kRefreshMs) Push(universe, out);
  ArmRefresh();
}

LEvent COlaBridge::HandleEvent(LEvent const& e) {
  if (e.is(LAsyncSignal::rX, &mSignal)) {
    Drain();
    return LEvent();
  }
  if (e.is(LAsyncTimer::rExpire, &mRetry)) {
    ++mRetries;
    Attempt();
    return LEvent();
  }
  if (e.is(LAsyncTimer::rExpire, &mRefresh)) {
    Refresh();
    return LEvent();
  }
  return LHandler::HandleEvent(e);
}

void COlaBridge::Drain() {
  for (auto const& news : mThread->TakeNews()) {
    OnNews(news.up, news.what);
    if (mReported != mStatus && (mStatus == stUp || mStatus == stDown)) {
      mReported = mStatus;
      if (!RaiseAlive(rConn)) return;
    }
  }
  std::vector<std::pair<unsigned, COlaThread::SFrame>> frames;
  mThread->TakeFrames(frames);
  for (auto const& [universe, frame] : frames) {
    mRecvUniverse = universe;
    mRecvFrame = frame.levels;
    mRecvCount = frame.count;
    if (!RaiseAlive(rRecv)) return;
  }
}

void COlaBridge::OnNews(bool up, std::string const& what) {
  if (up) {
    mStatus = stUp;
    mRetry.Cancel();
    if (mOutage)
      Say(2, "OLA: connected to " + what + " again");
    else
      Say(3, "OLA: connected to " + what);
    mOutage = false;
    // What olad held of our universes may be gone with a restart: send them all now.
    for (auto& [universe, out] : mOut) Push(universe, out);
    ArmRefresh();
    return;
  }
  mStatus = stDown;
  mRefresh.Cancel();
  if (!mOutage) Say(2, "OLA: " + what + "; retrying every second");
  mOutage = true;
  mRetry.Delay(kRetryMs);
}

void COlaBridge::Say(int level, std::string const& text) const {
  if (mLog)
    mLog(level, text);
  else
    std::cerr << text << '\n';
}

bool COlaBridge::RaiseAlive(LCStr const& name) {
  bool dead = false;
  bool* outer = mDead;
  mDead = &dead;
  Raise(name);
  if (dead) {
    if (outer) *outer = true;
    return false;
  }
  mDead = outer;
  return true;
}
