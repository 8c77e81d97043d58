// The host's web page: an HTTP server on a thread of its own in front of a web model.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "CAsyncWorld_Null.h"
#include "CRunLoop.h"
#include "CWebModel.h"
#include "LAsyncWorld.h"

namespace httplib {
class Server;
}

// Where to serve: "PORT" or "ADDR:PORT" ("[::1]:PORT" for IPv6). `named` tells an
// address was given, which may expose the page beyond this machine.
struct SWebAddress {
  std::string address = "127.0.0.1";
  int port = 0;
  bool named = false;
};
// Parses "[ADDR:]PORT" (port 0..65535, 0: any free one). Nothing, with the reason in
// `error`, when it is not one.
std::optional<SWebAddress> ParseWebAddress(std::string const& text, std::string* error);
// Whether `address` reaches only this machine.
bool IsLoopbackAddress(std::string const& address);

// Serves the page and its JSON API (/api/state, /api/settings, /api/inputs, /api/save)
// and one live channel of state frames (/api/events, server-sent events).
//
// Threads: built, started, published to and destroyed on one loop thread, whose run
// loop must turn (a host's frame timer does). Requests arrive on the server's threads
// and are handed to that loop through a world signal; the model is only ever called
// there. The loop never waits for the network: one writer thread serves every live
// client with writes that never block, so a live client gets the latest frame when it
// can take one, and skips those it missed, and a slow one holds up no other.
//
// Safety: only a Host naming the served address is answered (else 403); a change needs
// POST with a JSON body, an Origin of that same host and the page's per-run token
// (else 403); bodies are bounded (413); no CORS headers; every answer forbids framing
// and carries a content security policy.
class CWebServer : public LHandler {
 public:
  struct SOptions {
    SWebAddress where;
    std::size_t maxBody = 16 * 1024;  // bytes of a request body
    int threads = 12;                 // the server's worker threads
    int maxLiveClients = 8;           // each holds a (waiting) worker while connected
    int requestTimeoutMs = 5000;      // a request the loop does not take by then: 503
  };
  struct SStats {
    std::uint64_t published = 0;  // frames that differed from the one before
    std::uint64_t sent = 0;       // frames written to live clients
    std::uint64_t skipped = 0;    // frames live clients never got: a newer one was there
    int liveClients = 0;
  };

  CWebServer(CWebModel& model, SOptions options);
  // Stops the server thread; requests still waiting for the loop get 503.
  ~CWebServer() override;

  // Binds and starts the server thread, then publishes the first frame. False with the
  // reason when the address cannot be had.
  bool Start(std::string* error);
  int port() const { return mPort; }
  // "http://127.0.0.1:PORT/".
  std::string url() const;
  // The per-run token the page carries and sends back with every change.
  std::string const& token() const { return mToken; }

  // Reads the model and, if anything changed since the last frame, makes it the latest
  // frame of every live client. Call once a frame. Loop thread only. Levels received
  // are published as they arrive besides (see kSoon).
  void Publish();
  // How long after received levels change they are published: turns that arrive
  // together (one for each patch) go in one frame.
  static constexpr double kSoon = 0.002;

  SStats stats() const;

  LEvent HandleEvent(LEvent const& e) override;

 private:
  struct SCall;
  struct SLive;

  void Route();
  // Runs `fn` on the loop thread and waits for it there; false when the loop did not
  // take it in time or the server is stopping. Server threads only.
  bool OnLoop(std::function<void()> fn);
  // Runs the calls queued for the loop. Loop thread only.
  void RunCalls();
  // The writer thread: writes the latest frame to every live client that can take it,
  // never blocking on one, until the server stops; then lets every client go.
  void Write();
  void WakeWriter();
  // The state document: every patch with its settings, status and levels.
  static std::string StateJson(std::vector<SWebPatch> const& patches);
  // After each pass of the loop: received levels that changed are published soon.
  static void OnLoopPass(void* self);
  static void OnSoon(CLoopTimer* timer, void* self);

  CWebModel& mModel;
  SOptions mOptions;
  std::string mToken;
  int mPort = 0;
  std::vector<std::string> mHosts;  // the Host values answered

  CAsyncWorld_Null mWorld;  // the loop's side of the hand-over
  LAsyncSignal mSignal;
  std::mutex mCallLock;
  std::deque<std::shared_ptr<SCall>> mCalls;  // guarded by mCallLock

  // The latest frame (as a chunk of the event stream) and its number, and the live
  // clients, which one writer thread serves.
  mutable std::mutex mFrameLock;
  std::shared_ptr<std::string const> mFrame;
  std::uint64_t mFrameSeq = 0;
  std::optional<std::vector<SWebPatch>> mLast;  // loop thread only: to publish changes alone
  SStats mStats;                                // guarded by mFrameLock
  std::vector<std::shared_ptr<SLive>> mLive;    // guarded by mFrameLock
  bool mWriterDone = false;                     // guarded by mFrameLock
  int mWake = -1;  // an eventfd: a new frame or a new live client for the writer
  std::thread mWriter;

  std::atomic<bool> mStopping{false};
  std::atomic<bool> mListenEnded{false};
  CRunLoop* mLoop = nullptr;  // the loop observed, once started
  std::uint64_t mObserver = 0;
  CLoopTimer mSoon;
  std::unique_ptr<httplib::Server> mServer;
  std::thread mThread;
};
