// The in-memory network and its ports.
#include "CMemNet.h"

#include <algorithm>
#include <cstring>

#include "CInternetHostU.h"

CMemNet* CMemNet::gCurrent = nullptr;

std::uint64_t CMemNet::Host(unsigned last) {
  static const std::uint64_t base = [] {
    for (std::uint64_t net : {0xC6336400u, 0xCB007100u, 0xC0000200u}) {  // .51.100, .0.113, .0.2
      CArray<std::uint64_t> own;
      CInternetHostU::GetAddress(own);
      bool used = false;
      for (std::uint32_t i = 0; i < own.count(); ++i) used |= (own[i] & ~0xFFull) == net;
      if (!used) return net;
    }
    return std::uint64_t{0xC6336400u};
  }();
  return base | (last & 0xFF);
}

CMemNet::CMemNet(LAsyncWorld& world) : mWorld(world) {
  gCurrent = this;
  CUDPPortIF::SetFactory([](LHandler* owner, LAsyncWorld&) -> CUDPPort* {
    CMemNet& net = *gCurrent;
    return new CMemPort(owner, net, net.TakeHost());
  });
}

CMemNet::~CMemNet() {
  CUDPPortIF::SetFactory(nullptr);
  gCurrent = nullptr;
}

std::uint64_t CMemNet::TakeHost() {
  const std::uint64_t h = mNextHost;
  mNextHost = Host(static_cast<unsigned>((h & 0xFF) + 1));
  return h;
}

CMemPort* CMemNet::Find(CUDPAddr const& addr) const {
  for (CMemPort* p : mPorts)
    if (p->valid() && p->addr() == addr) return p;
  return nullptr;
}

void CMemNet::Drop(CMemPort* p) {
  std::erase(mPorts, p);
}

void CMemNet::Transmit(CMemPort& from, CUDPAddr const& to, void const* data, unsigned len) {
  auto const* bytes = static_cast<std::uint8_t const*>(data);
  mLog.push_back({from.addr(), to, {bytes, bytes + len}, mWorld.ticks()});
  SWire const& w = mLog.back();
  if (CMemPort* dest = mDeliver ? Find(to) : nullptr) dest->Arrive(from.addr(), w.bytes, w.at);
}

void CMemNet::ReleaseSends() {
  mHoldSends = false;
  for (CMemPort* p : std::vector<CMemPort*>(mPorts)) p->FinishSend();
}

CMemPort::CMemPort(LHandler* owner, CMemNet& net, std::uint64_t host)
    : CUDPPort(owner),
      mNet(net),
      mSentTimer(this, net.world()),
      mReadTimer(this, net.world()),
      mDeliverTimer(this, net.world()) {
  mAddr.host = host;
  mNet.Add(this);
}

CMemPort::~CMemPort() {
  Close();
  mNet.Drop(this);
}

int CMemPort::Open(int port, unsigned int, unsigned int) {
  if (mOpen) return 0;
  CUDPAddr want{mAddr.host, port ? port : mNet.EphemeralPort()};
  if (mNet.Find(want)) return 2;
  mAddr = want;
  mOpen = true;
  mSendData = nullptr;
  mReadBuf = nullptr;
  return 0;
}

void CMemPort::Close() {
  mOpen = false;
  mInbox.clear();
  mDeliverTimer.Cancel();
}

void CMemPort::Send(CUDPAddr const& to, void const* data, unsigned int len) {
  mSendTo = to;
  mSendData = data;
  mSendLen = len;
  if (!mOpen || !data) return;
  if (!mNet.mHoldSends) FinishSend();
}

void CMemPort::FinishSend() {
  if (!mOpen || !mSendData) return;
  mNet.Transmit(*this, mSendTo, mSendData, mSendLen);
  mSendData = nullptr;
  mSentTimer.Delay(0);
}

void CMemPort::Read(void* buffer, unsigned int capacity) {
  mReadBuf = buffer;
  mReadCap = capacity;
  mReadSize = 0;
  if (TryRead())
    mReadTimer.Delay(0);
  else
    ArmDelivery();
}

bool CMemPort::TryRead() {
  if (!mOpen || !mReadBuf || mInbox.empty() || mInbox.front().due > mNet.world().ticks())
    return false;
  SInbound in = std::move(mInbox.front());
  mInbox.pop_front();
  mReadSize = static_cast<std::uint32_t>(std::min<std::size_t>(in.bytes.size(), mReadCap));
  if (mReadSize) std::memcpy(mReadBuf, in.bytes.data(), mReadSize);
  mReadAddr = in.from;
  mReadBuf = nullptr;
  return true;
}

void CMemPort::Inject(CUDPAddr const& from, std::uint8_t const* data, std::uint32_t len) {
  if (!mOpen || !mReadBuf || !mInbox.empty())
    return Arrive(from, {data, data + len}, mNet.world().ticks());
  mReadSize = std::min(len, mReadCap);
  if (mReadSize) std::memcpy(mReadBuf, data, mReadSize);
  mReadAddr = from;
  mReadBuf = nullptr;
  Raise(rRead);
}

void CMemPort::Arrive(CUDPAddr const& from, std::vector<std::uint8_t> bytes, LTicks due) {
  auto at = std::upper_bound(mInbox.begin(), mInbox.end(), due,
                             [](LTicks d, SInbound const& in) { return d < in.due; });
  mInbox.insert(at, {from, std::move(bytes), due});
  if (mReadBuf) ArmDelivery();
}

// Armed only while a read is pending, so it never fires without something to do.
void CMemPort::ArmDelivery() {
  if (!mOpen || !mReadBuf || mInbox.empty()) return mDeliverTimer.Cancel();
  mDeliverTimer.Delay(std::max<LTicks>(0, mInbox.front().due - mNet.world().ticks()));
}

LEvent CMemPort::HandleEvent(LEvent const& e) {
  if (e.is(LAsyncTimer::rExpire, &mReadTimer)) return LEvent(rRead, this, next());
  if (e.is(LAsyncTimer::rExpire, &mSentTimer)) return LEvent(rSent, this, next());
  if (e.is(LAsyncTimer::rExpire, &mDeliverTimer)) {
    // Like a readiness callback: a pending read completes and reports at once.
    if (TryRead()) Raise(rRead);
    ArmDelivery();  // the owner's next Read may have found the next datagram already
    return LEvent();
  }
  return LHandler::HandleEvent(e);
}
