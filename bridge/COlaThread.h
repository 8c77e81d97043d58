// libola's client on a thread of its own, so that the run loop never waits on olad.
#pragma once

#include <ola/Callback.h>
#include <ola/DmxBuffer.h>
#include <ola/client/ClientTypes.h>
#include <ola/client/OlaClient.h>
#include <ola/client/Result.h>
#include <ola/io/SelectServer.h>
#include <ola/network/TCPSocket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "CPsxMutex.h"

class CPsxThread;

// Runs a SelectServer with at most one connection to olad on its own thread. The owner
// asks for things (Connect, Listen, Send) from its thread; the OLA thread reports back
// by storing news and frames under a lock and calling `wake`, which must be safe from
// any thread. Incoming levels keep one slot per universe: the latest frame wins.
class COlaThread {
 public:
  static constexpr std::size_t kSlots = 512;

  struct SFrame {
    std::array<std::uint8_t, kSlots> levels{};
    std::size_t count = 0;
  };
  // The outcome of a connection attempt, or the loss of the connection.
  struct SNews {
    bool up;
    std::string what;  // for a failure or loss: what was tried and what happened
  };

  COlaThread(std::uint16_t port, std::function<void()> wake);
  // Stops the thread first.
  ~COlaThread();
  COlaThread(COlaThread const&) = delete;
  COlaThread& operator=(COlaThread const&) = delete;

  // Starts the thread; false when it cannot be started.
  bool Start();
  // Ends the thread and drops the connection, on the OLA thread. Work asked for and not
  // yet done is dropped, never run later. Owner's thread only; idempotent.
  void Stop();

  // Drops any connection and tries a new one; its outcome arrives as news. Owner's thread.
  void Connect();
  // Registers for `universe` now if connected, and on every later connection.
  void Listen(unsigned universe);
  // Sends `count` levels on `universe` when connected (dropped otherwise). A frame not yet
  // taken by the OLA thread is replaced by a later one.
  void Send(unsigned universe, std::uint8_t const* levels, std::size_t count);

  // The news since the last call, oldest first. Owner's thread.
  std::vector<SNews> TakeNews();
  // Fills `out` with the universes that received a frame since the last call and their
  // latest frame. Owner's thread.
  void TakeFrames(std::vector<std::pair<unsigned, SFrame>>& out);

  std::uint16_t port() const { return mPort; }
  static void* ThreadCB(void* self);

 private:
  struct SSlot {
    SFrame frame;
    bool fresh = false;
  };

  // Asks the OLA thread to run Service once (owner's thread).
  void Kick();
  // The OLA thread's side of every request.
  void Service();
  void TryConnect(std::vector<unsigned> const& universes);
  void Register(unsigned universe);
  void Registered(std::uint64_t gen, unsigned universe, ola::client::Result const& result);
  void Frame(ola::client::DMXMetadata const& meta, ola::DmxBuffer const& dmx);
  void Closed(std::uint64_t gen);
  // Reports the loss and takes the socket out of the poller at once; the client goes
  // later (Reap), since this may run inside one of its own callbacks.
  void Lose(std::string const& why);
  void Reap(std::uint64_t gen);
  // Destroys the client and its socket; never from inside their callbacks.
  void DropNow();
  void Report(bool up, std::string const& what);
  std::string Where() const;

  const std::uint16_t mPort;
  const std::function<void()> mWake;

  CPsxMutex mLock;  // guards what follows, up to the OLA thread's own members
  bool mStop = false;
  bool mKicked = false;  // a Service run is queued
  bool mConnectWanted = false;
  std::set<unsigned> mListen;
  std::vector<unsigned> mToRegister;  // listened to since the last Service run
  std::map<unsigned, SSlot> mOut;
  std::map<unsigned, SSlot> mIn;
  std::vector<SNews> mNews;

  // The OLA thread's own.
  std::unique_ptr<ola::network::TCPSocket> mSocket;
  std::unique_ptr<ola::client::OlaClient> mClient;    // uses mSocket: destroyed first
  ola::SingleUseCallback0<void>* mCloseCb = nullptr;  // the close handler, until it runs
  std::uint64_t mGen = 0;  // counts connections: callbacks of an older one are ignored
  bool mInPoller = false;
  bool mLosing = false;  // lost, waiting for Reap
  bool mUp = false;
  std::size_t mPendingRegs = 0;

  ola::io::SelectServer mSS;  // after the lock: queued work may check mStop as it goes
  std::unique_ptr<CPsxThread> mThread;
};
