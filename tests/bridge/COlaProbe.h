// Another OLA client beside the bridge, written straight on libola: it sends frames on a
// universe and records the frames that olad hands it for another.
#pragma once

#include <ola/client/ClientTypes.h>
#include <ola/client/OlaClient.h>
#include <ola/client/Result.h>
#include <ola/client/StreamingClient.h>
#include <ola/io/SelectServer.h>
#include <ola/network/TCPSocket.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class COlaProbe {
 public:
  using Levels = std::vector<std::uint8_t>;

  explicit COlaProbe(std::uint16_t port) : mPort(port) {}
  ~COlaProbe();
  COlaProbe(COlaProbe const&) = delete;
  COlaProbe& operator=(COlaProbe const&) = delete;

  // Registers for `universe` on a connection of its own and waits (bounded) for olad to
  // accept. Calling thread's namespace.
  bool Listen(unsigned universe);
  // Sends one frame through a streaming client of its own.
  bool Send(unsigned universe, Levels const& levels);

  // Waits up to `seconds` until `done(frames so far)` holds; true if it did.
  bool WaitFor(std::function<bool(std::vector<Levels> const&)> const& done, double seconds);
  std::vector<Levels> frames();

 private:
  void Registered(ola::client::Result const& result);
  void Frame(ola::client::DMXMetadata const& meta, ola::DmxBuffer const& dmx);

  const std::uint16_t mPort;
  std::unique_ptr<ola::client::StreamingClient> mSender;
  ola::io::SelectServer mSS;
  std::unique_ptr<ola::network::TCPSocket> mSocket;
  std::unique_ptr<ola::client::OlaClient> mClient;
  std::thread mThread;
  std::mutex mLock;
  std::condition_variable mChanged;
  int mRegistered = 0;  // 1 accepted, -1 refused
  std::vector<Levels> mFrames;
};
