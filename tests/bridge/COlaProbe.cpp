// The test's own OLA client.
#include "COlaProbe.h"

#include <ola/Callback.h>
#include <ola/DmxBuffer.h>
#include <ola/network/IPV4Address.h>
#include <ola/network/SocketAddress.h>

#include <chrono>

COlaProbe::~COlaProbe() {
  if (mThread.joinable()) {
    mSS.Execute(ola::NewSingleCallback(&mSS, &ola::io::SelectServer::Terminate));
    mThread.join();
  }
  if (mSocket) mSS.RemoveReadDescriptor(mSocket.get());
  mClient.reset();
  mSocket.reset();
  if (mSender) mSender->Stop();
}

bool COlaProbe::Listen(unsigned universe) {
  if (mThread.joinable()) return false;
  mSocket.reset(ola::network::TCPSocket::Connect(
      ola::network::IPV4SocketAddress(ola::network::IPV4Address::Loopback(), mPort)));
  if (!mSocket) return false;
  mClient = std::make_unique<ola::client::OlaClient>(mSocket.get());
  if (!mClient->Setup()) return false;
  mClient->SetDMXCallback(ola::NewCallback(this, &COlaProbe::Frame));
  mSS.AddReadDescriptor(mSocket.get());
  mClient->RegisterUniverse(universe, ola::client::REGISTER,
                            ola::NewSingleCallback(this, &COlaProbe::Registered));
  mThread = std::thread([this] { mSS.Run(); });
  std::unique_lock<std::mutex> hold(mLock);
  mChanged.wait_for(hold, std::chrono::seconds(5), [this] { return mRegistered != 0; });
  return mRegistered == 1;
}

void COlaProbe::Registered(ola::client::Result const& result) {
  std::lock_guard<std::mutex> hold(mLock);
  mRegistered = result.Success() ? 1 : -1;
  mChanged.notify_all();
}

void COlaProbe::Frame(ola::client::DMXMetadata const&, ola::DmxBuffer const& dmx) {
  std::lock_guard<std::mutex> hold(mLock);
  mFrames.emplace_back(dmx.GetRaw(), dmx.GetRaw() + dmx.Size());
  mChanged.notify_all();
}

bool COlaProbe::Send(unsigned universe, Levels const& levels) {
  if (!mSender) {
    ola::client::StreamingClient::Options options;
    options.auto_start = false;  // never spawn an olad of its own
    options.server_port = mPort;
    mSender = std::make_unique<ola::client::StreamingClient>(options);
    if (!mSender->Setup()) {
      mSender.reset();
      return false;
    }
  }
  ola::DmxBuffer buffer(levels.data(), static_cast<unsigned>(levels.size()));
  return mSender->SendDmx(universe, buffer);
}

bool COlaProbe::WaitFor(std::function<bool(std::vector<Levels> const&)> const& done,
                        double seconds) {
  std::unique_lock<std::mutex> hold(mLock);
  return mChanged.wait_for(hold, std::chrono::duration<double>(seconds),
                           [&] { return done(mFrames); });
}

std::vector<COlaProbe::Levels> COlaProbe::frames() {
  std::lock_guard<std::mutex> hold(mLock);
  return mFrames;
}
