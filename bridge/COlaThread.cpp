// The OLA client thread: one connection to olad, its registrations, levels in and out.
#include "COlaThread.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ola/Callback.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "CPsxThread.h"

COlaThread::COlaThread(std::uint16_t port, std::function<void()> wake)
    : mPort(port), mWake(std::move(wake)) {}

COlaThread::~COlaThread() {
  Stop();
}

bool COlaThread::Start() {
  if (mThread) return mThread->started();
  mThread = std::make_unique<CPsxThread>(this, &COlaThread::ThreadCB, CPsxThreadParam());
  return mThread->started();
}

void* COlaThread::ThreadCB(void* self) {
  auto* t = static_cast<COlaThread*>(self);
  t->mSS.Run();
  t->DropNow();  // on this thread: the poller and the client are this thread's
  return nullptr;
}

void COlaThread::Stop() {
  {
    CPsxMutex::Hold hold(mLock);
    if (mStop) return;
    mStop = true;
  }
  if (mThread && mThread->started()) {
    mSS.Execute(ola::NewSingleCallback(&mSS, &ola::io::SelectServer::Terminate));
    mThread.reset();  // joins
  }
  // What is still queued finds mStop set and returns at once; running it frees it.
  mSS.DrainCallbacks();
}

void COlaThread::Kick() {
  {
    CPsxMutex::Hold hold(mLock);
    if (mKicked || mStop) return;
    mKicked = true;
  }
  // A Service queued just before Stop finds mStop set and does nothing, wherever it runs.
  mSS.Execute(ola::NewSingleCallback(this, &COlaThread::Service));
}

void COlaThread::Connect() {
  {
    CPsxMutex::Hold hold(mLock);
    mConnectWanted = true;
  }
  Kick();
}

void COlaThread::Listen(unsigned universe) {
  {
    CPsxMutex::Hold hold(mLock);
    if (!mListen.insert(universe).second) return;
    mIn[universe];
    mToRegister.push_back(universe);
  }
  Kick();
}

void COlaThread::Send(unsigned universe, std::uint8_t const* levels, std::size_t count) {
  count = std::min(count, kSlots);
  {
    CPsxMutex::Hold hold(mLock);
    SSlot& slot = mOut[universe];
    std::copy(levels, levels + count, slot.frame.levels.begin());
    slot.frame.count = count;
    slot.fresh = true;
  }
  Kick();
}

std::vector<COlaThread::SNews> COlaThread::TakeNews() {
  std::vector<SNews> news;
  CPsxMutex::Hold hold(mLock);
  news.swap(mNews);
  return news;
}

void COlaThread::TakeFrames(std::vector<std::pair<unsigned, SFrame>>& out) {
  out.clear();
  CPsxMutex::Hold hold(mLock);
  for (auto& [universe, slot] : mIn) {
    if (!slot.fresh) continue;
    slot.fresh = false;
    out.emplace_back(universe, slot.frame);
  }
}

void COlaThread::Service() {
  bool connect;
  std::vector<unsigned> listen;
  std::vector<unsigned> registerNow;
  std::vector<std::pair<unsigned, SFrame>> sends;
  {
    CPsxMutex::Hold hold(mLock);
    if (mStop) return;
    mKicked = false;
    connect = mConnectWanted;
    mConnectWanted = false;
    if (connect) listen.assign(mListen.begin(), mListen.end());
    registerNow.swap(mToRegister);
    for (auto& [universe, slot] : mOut) {
      if (!slot.fresh) continue;
      slot.fresh = false;
      sends.emplace_back(universe, slot.frame);
    }
  }
  if (connect) {
    DropNow();
    TryConnect(listen);
  } else if (mClient && !mLosing) {
    for (unsigned u : registerNow) {
      if (!mUp) ++mPendingRegs;  // up only once this one is accepted too
      Register(u);
    }
  }
  if (!mClient || mLosing) return;
  for (auto const& [universe, frame] : sends) {
    ola::DmxBuffer buffer(frame.levels.data(), static_cast<unsigned>(frame.count));
    mClient->SendDMX(universe, buffer, ola::client::SendDMXArgs());
  }
}

std::string COlaThread::Where() const {
  return "olad at 127.0.0.1:" + std::to_string(mPort);
}

void COlaThread::TryConnect(std::vector<unsigned> const& universes) {
  ++mGen;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    Report(false, "cannot make a socket for " + Where() + ": " + std::strerror(errno));
    return;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(mPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr const*>(&addr), sizeof addr) != 0) {
    const int err = errno;
    close(fd);
    Report(false, "cannot connect to " + Where() + ": " + std::strerror(err));
    return;
  }
  mSocket = std::make_unique<ola::network::TCPSocket>(fd);
  mSocket->SetNoDelay();
  mClient = std::make_unique<ola::client::OlaClient>(mSocket.get());
  if (!mClient->Setup()) {
    DropNow();
    Report(false, "cannot set up a client of " + Where());
    return;
  }
  mClient->SetDMXCallback(ola::NewCallback(this, &COlaThread::Frame));
  mCloseCb = ola::NewSingleCallback(this, &COlaThread::Closed, mGen);
  mClient->SetCloseHandler(mCloseCb);
  if (!mSS.AddReadDescriptor(mSocket.get())) {
    DropNow();
    Report(false, "cannot watch the connection to " + Where());
    return;
  }
  mInPoller = true;
  // Up once olad has accepted every registration: frames are expected only after that.
  mPendingRegs = universes.size();
  for (unsigned u : universes) Register(u);
  if (universes.empty()) {
    mUp = true;
    Report(true, Where());
  }
}

void COlaThread::Register(unsigned universe) {
  mClient->RegisterUniverse(universe, ola::client::REGISTER,
                            ola::NewSingleCallback(this, &COlaThread::Registered, mGen, universe));
}

void COlaThread::Registered(std::uint64_t gen, unsigned universe,
                            ola::client::Result const& result) {
  if (gen != mGen || mLosing) return;
  if (!result.Success()) {
    Lose(Where() + " refused universe " + std::to_string(universe) + ": " + result.Error());
    return;
  }
  if (mUp || mPendingRegs == 0) return;  // a universe added while up
  if (--mPendingRegs == 0) {
    mUp = true;
    Report(true, Where());
  }
}

void COlaThread::Frame(ola::client::DMXMetadata const& meta, ola::DmxBuffer const& dmx) {
  {
    CPsxMutex::Hold hold(mLock);
    auto it = mIn.find(meta.universe);
    if (it == mIn.end()) return;
    SSlot& slot = it->second;
    const std::size_t count = std::min<std::size_t>(dmx.Size(), kSlots);
    std::copy(dmx.GetRaw(), dmx.GetRaw() + count, slot.frame.levels.begin());
    slot.frame.count = count;
    slot.fresh = true;
  }
  mWake();
}

void COlaThread::Closed(std::uint64_t gen) {
  if (gen != mGen) return;
  mCloseCb = nullptr;  // it ran, and a single-use callback deletes itself
  Lose(Where() + " closed the connection");
}

void COlaThread::Lose(std::string const& why) {
  if (!mClient || mLosing) return;
  mLosing = true;
  mUp = false;
  // While the descriptor is still open: once closed, the poller could no longer find it
  // by number and would keep a stale entry that a later socket of that number runs into.
  if (mInPoller) mSS.RemoveReadDescriptor(mSocket.get());
  mInPoller = false;
  Report(false, why);
  mSS.Execute(ola::NewSingleCallback(this, &COlaThread::Reap, mGen));
}

void COlaThread::Reap(std::uint64_t gen) {
  {
    CPsxMutex::Hold hold(mLock);
    if (mStop) return;  // the thread's end drops the connection itself
  }
  if (gen == mGen) DropNow();
}

void COlaThread::DropNow() {
  if (mInPoller && mSocket) mSS.RemoveReadDescriptor(mSocket.get());
  mInPoller = false;
  mClient.reset();  // stops the client, which closes the socket
  mSocket.reset();
  // libola wraps the close handler in one of its own and deletes only the wrapper when
  // the client goes without the connection having closed: ours would leak.
  delete mCloseCb;
  mCloseCb = nullptr;
  mLosing = false;
  mUp = false;
  mPendingRegs = 0;
}

void COlaThread::Report(bool up, std::string const& what) {
  {
    CPsxMutex::Hold hold(mLock);
    if (mStop) return;
    mNews.push_back({up, what});
  }
  mWake();
}
