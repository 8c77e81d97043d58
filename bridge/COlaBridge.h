// The bridge between our run loop and olad: levels in from OLA universes, out to others.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "LAsyncWorld.h"
#include "LHandler.h"

class COlaThread;

// Talks to olad through libola on a thread of its own (COlaThread); the run loop never
// waits on olad. Frames of the universes listened to arrive as "COlaBridge_Recv", the
// latest frame winning over any not yet delivered. Frames handed to Send go out at once
// when they changed, and again at least once a second while unchanged. Without olad, or
// after olad went away, it says so once and tries again every second; the rest of the
// program goes on meanwhile. World thread only, unless said otherwise.
class COlaBridge : public LHandler {
 public:
  static constexpr LCStr rRecv{"COlaBridge_Recv"};  // see recvUniverse(), recvLevels()
  static constexpr LCStr rConn{"COlaBridge_Conn"};  // status() changed to stUp or stDown

  static constexpr std::uint16_t kDefaultPort = 9010;
  static constexpr std::size_t kSlots = 512;
  static constexpr LTicks kRetryMs = 1000;    // between connection attempts
  static constexpr LTicks kRefreshMs = 1000;  // an unchanged frame goes again after this

  enum Status {
    stIdle,        // not started
    stConnecting,  // an attempt is under way
    stUp,          // connected, every universe listened to registered
    stDown,        // no connection: the next attempt is due within kRetryMs
  };
  // What the OLA side shows once LinkLost was called: the last levels, or zeros.
  enum LossMode { kHold, kZero };
  // Receives the bridge's messages; levels as in the programs (2 warn, 3 info).
  using LogFn = std::function<void(int level, std::string const& text)>;

  COlaBridge(LHandler* owner, LAsyncWorld& world, std::uint16_t port = kDefaultPort);
  // Stops the OLA thread; nothing of it runs afterwards.
  ~COlaBridge() override;

  // Starts the OLA thread and the first attempt. False when the thread cannot be started.
  bool Start();
  // Registers for `universe`, now or at the next connection, and at every one after it.
  void Listen(unsigned universe);
  // Makes `count` levels (at most kSlots) the current frame of `universe`: sent at once if
  // it differs from the current one, kept and sent on connection otherwise. Ends a loss
  // of that universe (LinkLost). False, with nothing changed, for a count above kSlots.
  bool Send(unsigned universe, std::uint8_t const* levels, std::size_t count);
  void SetLossMode(LossMode mode) { mLossMode = mode; }
  // The link that feeds `universe` was lost: hold its current frame (said once) or send
  // zeros in its place, by the loss mode. Repeated calls before the next Send do nothing;
  // so does a call for a universe never sent.
  void LinkLost(unsigned universe);
  // Stops sending `universe`, refreshes included: its feed is gone for good. olad keeps
  // what it last had.
  void Forget(unsigned universe);
  void SetLog(LogFn log) { mLog = std::move(log); }

  Status status() const { return mStatus; }
  // Connection attempts made after a failed or lost one, since Start.
  std::uint32_t retries() const { return mRetries; }
  // Frames handed to the OLA thread since construction, refreshes included. One handed
  // over before the OLA thread took the previous one replaces it there.
  std::uint64_t sends() const { return mSends; }
  LossMode lossMode() const { return mLossMode; }
  std::uint16_t port() const { return mPort; }
  // While "COlaBridge_Recv" is raised: the universe, and its frame.
  unsigned recvUniverse() const { return mRecvUniverse; }
  std::uint8_t const* recvLevels() const { return mRecvFrame.data(); }
  std::size_t recvCount() const { return mRecvCount; }

  LEvent HandleEvent(LEvent const& e) override;

 private:
  struct SOut {
    std::array<std::uint8_t, kSlots> levels{};
    std::size_t count = 0;
    LTicks lastSent = 0;
    bool lost = false;  // LinkLost and no Send since
  };

  void Attempt();
  // Takes the OLA thread's news and frames and raises them (world thread).
  void Drain();
  void OnNews(bool up, std::string const& what);
  void Push(unsigned universe, SOut& out);
  void Refresh();
  void ArmRefresh();
  void Say(int level, std::string const& text) const;
  // Raises `name`; false when the owner destroyed this bridge meanwhile.
  bool RaiseAlive(LCStr const& name);

  LAsyncWorld* mWorld;
  const std::uint16_t mPort;
  LAsyncSignal mSignal;  // raised by the OLA thread
  LAsyncTimer mRetry;
  LAsyncTimer mRefresh;
  Status mStatus = stIdle;
  Status mReported = stIdle;  // last status raised as "COlaBridge_Conn"
  bool mOutage = false;       // a failure was said and no connection has come since
  LossMode mLossMode = kHold;
  std::uint32_t mRetries = 0;
  std::uint64_t mSends = 0;
  std::map<unsigned, SOut> mOut;
  unsigned mRecvUniverse = 0;
  std::array<std::uint8_t, kSlots> mRecvFrame{};
  std::size_t mRecvCount = 0;
  LogFn mLog;
  bool* mDead = nullptr;                // set by the destructor while an event is being raised
  std::unique_ptr<COlaThread> mThread;  // last: stopped before the signal goes
};
