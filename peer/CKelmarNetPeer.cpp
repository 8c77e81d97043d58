// The peer: state machine, receive path, send path and beacons.
#include "CKelmarNetPeer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "CInternetHostU.h"
#include "UEventClock.h"
#include "UKelmarWire.h"

namespace {

using U = UKelmarWire;

constexpr LTicks kRequestMs = 3000;     // between connection requests
constexpr LTicks kLinkMs = 5000;        // silence that ends a connection
constexpr LTicks kIdleMs = 2000;        // silence after which a keep-alive goes out
constexpr LTicks kRefreshMs = 1000;     // longest time between full turns
constexpr LTicks kRefuseMs = 2000;      // delay of a refusal
constexpr std::uint64_t kFixedKey = 0;  // for the types sealed with the seed: unused

}  // namespace

CKelmarNetPeer::CKelmarNetPeer(LHandler* owner, LAsyncWorld& world)
    : LHandler(owner),
      mWorld(&world),
      mStatEvent(this, world),
      mConnEvent(this, world),
      mRandom(static_cast<std::uint64_t>(std::llround(UEventClock::Now() * 1000.0))),
      mCRC(0xFFFFFFFFu),
      mLinkTimer(this, world),
      mRefreshTimer(this, world),
      mIdleTimer(this, world),
      mBconEvent(this, world),
      mRefuseTimer(this, world) {
  mPort = CUDPPortIF::NewPort(this, world);
  mLinkId = RandomByte();
  SetPassword(LString());
}

CKelmarNetPeer::~CKelmarNetPeer() {
  Close();
  delete mPort;
  mPort = nullptr;
  mBconQueue.DeleteAll();
  mBconFree.DeleteAll();
}

std::uint32_t CKelmarNetPeer::CalcPwDigest(unsigned char const* password) {
  return CKelmarNet::PwDigest(password, mCRC);
}

// ---- public operations ----------------------------------------------------------

bool CKelmarNetPeer::Open(unsigned int port) {
  if (!mPort || mPort->Open(static_cast<int>(port), 0, 1024) != 0) return false;
  mWorld->Enter();
  mPort->Read(&mRecvBuf, kBufSize);
  mWorld->Leave();
  return true;
}

void CKelmarNetPeer::Close() {
  if (mPort) mPort->Close();
  mWorld->Enter();
  mLinkTimer.Cancel();
  mRefreshTimer.Cancel();
  mIdleTimer.Cancel();
  mRefuseTimer.Cancel();
  SetState(stIdle);
  mSendClose = mSendConnect = mSendDeny = mSendBusy = mRefuseWait = mRefuseDue = false;
  mRecvSize = 0;
  mWorld->Leave();
}

void CKelmarNetPeer::Connect(CUDPAddr const& addr, LString const& password) {
  mWorld->Enter();
  if (mPort && mPort->valid()) {
    SendClose();  // a connection that is up is closed first
    mPeerAddr = addr;
    mPeerPassword = password;
    mPeerKey = CalcPwDigest(password.text());
    ++mLinkId;
    mReconnect = true;
    mConnNonce = RandomByte();
    mSendConnect = true;
    SetState(stConnecting);
    TrySend();
    mLinkTimer.Delay(kRequestMs);
  }
  mWorld->Leave();
}

void CKelmarNetPeer::Disconnect(State state) {
  mWorld->Enter();
  mSendConnect = false;
  mReconnect = false;
  SendClose();
  SetState(state);
  mWorld->Leave();
}

void CKelmarNetPeer::Accept(bool accept) {
  mWorld->Enter();
  if (accept) {
    if (mState != stConnected) {
      Connected();
      mSendAccept = true;
      mLinkTimer.Delay(kLinkMs);
      mIdleTimer.Delay(kIdleMs);
    }
  } else if (!mSendDeny) {
    mDenyAddr = mPeerAddr;
    mDenyKey = mPeerKey;
    mDenyLinkId = mPeerLinkId;
    mSendDeny = true;
  }
  TrySend();
  mWorld->Leave();
}

void CKelmarNetPeer::SetPassword(LString const& password) {
  mWorld->Enter();
  mPassword = password;
  mPwDigest = CalcPwDigest(password.text());
  mWorld->Leave();
}

std::uint32_t CKelmarNetPeer::port() const {
  return (mPort && mPort->valid()) ? mPort->port() : kNoPort;
}

// ---- state machine --------------------------------------------------------------

void CKelmarNetPeer::SetState(std::uint32_t state) {
  if (state == mState) return;
  mState = static_cast<State>(state);
  mStatEvent.Notify();
}

void CKelmarNetPeer::Connected() {
  if (mState == stConnected) return;
  // Beacons are for the connection they were queued in.
  while (SBcon* b = mBconQueue.RemoveFirst()) mBconFree.Insert(b);
  SetState(stConnected);
}

void CKelmarNetPeer::SendClose() {
  if (mState != stConnected) return;
  mCloseAddr = mPeerAddr;
  mCloseKey = mPeerKey;
  mCloseLinkId = mLinkId;
  mSendClose = true;
  TrySend();
}

void CKelmarNetPeer::Disconnected(std::uint32_t reason) {
  mLinkTimer.Cancel();
  mIdleTimer.Cancel();
  if (!mReconnect) {
    SetState(stIdle);
  } else if (reason == stTimedOut) {
    // Another failure shown already stays visible while the request is repeated.
    if (mState == stConnecting || mState == stConnected) SetState(stTimedOut);
    mSendConnect = true;
    TrySend();
  } else {
    SetState(reason);
    mLinkTimer.Delay(kRequestMs);  // its expiry sends the next request
  }
}

LEvent CKelmarNetPeer::HandleEvent(LEvent const& e) {
  if (mPort && e.mSource == mPort) {
    if (e.is(CUDPPort::rRead)) {
      ParseRecv();
      mPort->Read(&mRecvBuf, kBufSize);
      return LEvent();
    }
    if (e.is(CUDPPort::rSent)) {
      TrySend();
      return LEvent();
    }
    return LHandler::HandleEvent(e);
  }
  if (e.is(LAsyncTimer::rExpire)) {
    if (e.mSource == &mLinkTimer) {
      Disconnected(stTimedOut);
    } else if (e.mSource == &mRefreshTimer) {
      mTurnChanged = true;
    } else if (e.mSource == &mIdleTimer) {
      mSendAlive = true;
      TrySend();
    } else if (e.mSource == &mRefuseTimer) {
      mRefuseDue = true;
      TrySend();
    } else {
      return LHandler::HandleEvent(e);
    }
    return LEvent();
  }
  if (e.is(LAsyncEvent::rNote)) {
    if (e.mSource == &mStatEvent) return LEvent(rStat, this, next());
    if (e.mSource == &mConnEvent) return LEvent(rConn, this, next());
    if (e.mSource == &mBconEvent) return LEvent(rBcon, this, next());
  }
  return LHandler::HandleEvent(e);
}

// ---- receive path ---------------------------------------------------------------

bool CKelmarNetPeer::isresp(std::uint32_t link, CUDPAddr const& from) const {
  return mState != stIdle && mState != stConnected && link == mLinkId && from == mPeerAddr;
}

bool CKelmarNetPeer::ispeer(std::uint32_t link, CUDPAddr const& from) const {
  return mState == stConnected && link == mPeerLinkId && from == mPeerAddr;
}

void CKelmarNetPeer::TurnReceived() {
  Dispatch(LEvent(rRecv, this, next()));
}

void CKelmarNetPeer::ParseRecv() {
  const std::uint32_t n = std::min(mPort->readsize(), kBufSize);
  if (n < U::kHeaderSize) return;
  if (!U::Unseal(mRecvBuf, n, mPwDigest, mCRC)) return;  // no message type, or too short
  const CUDPAddr from = mPort->readaddr();
  auto const* b = reinterpret_cast<unsigned char const*>(&mRecvBuf);
  U::SShort m;

  switch (mRecvBuf.type) {
    case U::pakBcon: {
      U::SBcon bcon;
      if (!U::ParseBcon(b, n, bcon) || mState != stConnected || from != mPeerAddr) return;
      mBconFirst = bcon.first;
      mBconSecond = bcon.second;
      mBconEvent.Notify();
      return;
    }
    case U::pakRefuse:
      if (!U::ParseRefuse(b, n, m) || from != mPeerAddr || mState == stIdle ||
          mState == stConnected)
        return;
      Disconnected(stRefused);
      return;
    case U::pakConnect:
      RecvConnect(n, from);
      return;
    case U::pakClose:
      if (!U::ParseClose(b, n, m) || mState != stConnected || m.link != mPeerLinkId ||
          from != mPeerAddr)
        return;
      Disconnected(stClosed);
      return;
    case U::pakAccept: {
      U::SAccept acc;
      if (!U::ParseAccept(b, n, acc) || !isresp(acc.link, from)) return;
      mSendConnect = mSendAccept = mSendTurn = mSendAlive = false;
      // The partner may be new, or may have lost what we sent before: the first turn
      // message of the connection carries the whole turn, as on the accepting side.
      mTurnChanged = true;
      mPeerLinkId = acc.acceptor;
      Connected();
      mLinkTimer.Delay(kLinkMs);
      mIdleTimer.Delay(kIdleMs);
      return;
    }
    case U::pakBusy:
      if (!U::ParseBusy(b, n, m) || !isresp(m.link, from)) return;
      Disconnected(stBusy);
      return;
    case U::pakDeny:
      if (!U::ParseDeny(b, n, m) || !isresp(m.link, from)) return;
      Disconnected(stDenied);
      return;
    case U::pakTurn: {
      U::STurn turn;
      if (!U::ParseTurn(b, n, turn) || !ispeer(turn.link, from)) return;
      mRecvSize = static_cast<std::uint16_t>(
          CKelmarNet::DecodeData(turn.payload, turn.payloadLen, mRecvTurn));
      TurnReceived();
      // The owner may have closed the peer while it handled the turn.
      if (mState == stConnected) mLinkTimer.Delay(kLinkMs);
      return;
    }
    case U::pakSame:
      if (!U::ParseSame(b, n, m) || !ispeer(m.link, from)) return;
      TurnReceived();
      if (mState == stConnected) mLinkTimer.Delay(kLinkMs);
      return;
    case U::pakAlive:
      if (!U::ParseAlive(b, n, m) || !ispeer(m.link, from)) return;
      mLinkTimer.Delay(kLinkMs);
      return;
    default:  // Unseal lets no other type through
      return;
  }
}

void CKelmarNetPeer::RecvConnect(std::uint32_t n, CUDPAddr const& from) {
  // The whole request must be in the datagram: header, digest, the password and its
  // terminating zero. Nothing past the datagram's end is ever compared.
  U::SConnect req;
  if (!mListen || !U::ParseConnect(reinterpret_cast<unsigned char const*>(&mRecvBuf), n, req) ||
      !U::holdsPassword(req, mPassword.text(), mPassword.length())) {
    Refuse(from);
    return;
  }
  // A request from this very peer: our own port at one of our own addresses, on any
  // interface (not only those of the host address list) or loopback.
  if (port() == static_cast<std::uint32_t>(from.port) && CInternetHostU::isLocal(from.host)) {
    AnswerBusy(from, req);
    return;
  }
  if (mState == stIdle) return TakeUpRequest(from, req);
  if (from != mPeerAddr) return AnswerBusy(from, req);  // a second party
  if (mState != stConnected) return TakeUpRequest(from, req);
  if (req.link != mPeerLinkId) return AnswerBusy(from, req);
  // The partner repeats a request we accepted: its accept was lost.
  mSendAccept = true;
  mLinkTimer.Delay(kLinkMs);
  mIdleTimer.Delay(kIdleMs);
  TrySend();
}

void CKelmarNetPeer::Refuse(CUDPAddr const& from) {
  if (mRefuseWait) return;
  mRefuseWait = true;
  mRefuseAddr = from;
  mRefuseTimer.Delay(kRefuseMs);
}

void CKelmarNetPeer::AnswerBusy(CUDPAddr const& from, UKelmarWire::SConnect const& req) {
  if (!mSendBusy) {
    mBusyAddr = from;
    mBusyKey = req.digest;
    mBusyLinkId = req.link;
    mSendBusy = true;
  }
  TrySend();
}

void CKelmarNetPeer::TakeUpRequest(CUDPAddr const& from, UKelmarWire::SConnect const& req) {
  mSendConnect = mSendTurn = mSendAlive = false;
  mTurnChanged = true;
  mPeerAddr = from;
  mPeerKey = req.digest;
  mPeerLinkId = req.link;
  ++mLinkId;
  mAcceptNonce = RandomByte();
  mConnEvent.Notify();
}

// ---- send path ------------------------------------------------------------------

void CKelmarNetPeer::SendTurnA(CDmxTurn const& turn) {
  const std::uint32_t n = std::min<std::uint32_t>(turn.size(), CKelmarNet::kMaxTurnSize);
  if (n != mTurnSize) {
    std::memcpy(mTurn, turn.data(), n);
    mTurnSize = static_cast<std::uint16_t>(n);
    mTurnChanged = true;
  } else if (std::memcmp(mTurn, turn.data(), n) != 0) {
    std::memcpy(mTurn, turn.data(), n);
    mTurnChanged = true;
  }
  mSendTurn = true;
  TrySend();
}

void CKelmarNetPeer::SendPak(std::uint32_t len, std::uint64_t key, CUDPAddr const& to) {
  U::Seal(mSendBuf, len, key, mCRC);
  mPort->Send(to, &mSendBuf, len);
}

void CKelmarNetPeer::TrySend() {
  if (!mPort || !mPort->cansend()) return;  // everything stays pending until "Sent"

  if (mSendClose) {
    mSendClose = false;
    SendPak(U::BuildClose(mSendBuf, {RandomByte(), mCloseLinkId}), mCloseKey, mCloseAddr);
    return;
  }
  if (mState == stConnected) {
    if (mSendTurn) {
      mSendTurn = mSendAlive = false;
      std::uint32_t len;
      if (mTurnChanged) {
        len = U::BuildTurn(mSendBuf, {RandomByte(), mLinkId}, mTurn, mTurnSize);
        mTurnChanged = false;
        mRefreshTimer.Delay(kRefreshMs);
      } else {
        len = U::BuildSame(mSendBuf, {RandomByte(), mLinkId});
      }
      SendPak(len, mPeerKey, mPeerAddr);
      mIdleTimer.Delay(kIdleMs);
      return;
    }
    if (mSendAlive) {
      mSendAlive = false;
      SendPak(U::BuildAlive(mSendBuf, {RandomByte(), mLinkId}), mPeerKey, mPeerAddr);
      mIdleTimer.Delay(kIdleMs);
      return;
    }
    if (mSendAccept) {
      mSendAccept = false;
      SendPak(U::BuildAccept(mSendBuf, {mAcceptNonce, mPeerLinkId, mLinkId}), mPeerKey, mPeerAddr);
      // A turn handed over before the accept went out reached a requester that was
      // not connected yet and was dropped: make the next turn message a full one.
      mTurnChanged = true;
      return;
    }
  } else if (mSendConnect) {
    mSendConnect = false;
    const std::uint32_t len =
        U::BuildConnect(mSendBuf, mConnNonce, mLinkId, static_cast<std::uint32_t>(mPwDigest),
                        mPeerPassword.text(), mPeerPassword.length(), mRandom.random());
    SendPak(len, mPeerKey, mPeerAddr);
    mLinkTimer.Delay(kRequestMs);
    return;
  }
  if (mSendDeny) {
    mSendDeny = false;
    SendPak(U::BuildDeny(mSendBuf, {RandomByte(), mDenyLinkId}), mDenyKey, mDenyAddr);
    return;
  }
  if (mSendBusy) {
    mSendBusy = false;
    SendPak(U::BuildBusy(mSendBuf, {RandomByte(), mBusyLinkId}), mBusyKey, mBusyAddr);
    return;
  }
  if (mRefuseDue) {
    mRefuseDue = mRefuseWait = false;
    SendPak(U::BuildRefuse(mSendBuf, RandomByte()), kFixedKey, mRefuseAddr);
    return;
  }
  SendBeacon();
}

// ---- beacons --------------------------------------------------------------------

bool CKelmarNetPeer::SendBeacon() {
  // Outside a connection the whole queue is dropped unsent.
  for (SBcon* b; (b = mBconQueue.RemoveFirst());) {
    mBconFree.Insert(b);
    if (mState != stConnected) continue;
    SendPak(U::BuildBcon(mSendBuf, {RandomByte(), b->first, b->second}), kFixedKey, mPeerAddr);
    return true;
  }
  return false;
}

bool CKelmarNetPeer::Beacon(std::uint32_t first, std::uint64_t second) {
  mWorld->Enter();
  bool queued = false;
  if (mState == stConnected) {
    queued = true;
    bool waiting = false;
    for (LSLinkIter<SBcon> it(mBconQueue); it && !waiting;)
      waiting = it->first == first && it->second == second;
    if (!waiting) {
      SBcon* b = mBconFree.RemoveFirst();
      if (!b) b = new (std::nothrow) SBcon;
      if (b) {
        b->first = first;
        b->second = second;
        mBconQueue.Append(b);
        TrySend();
      } else {
        queued = false;  // out of memory: nothing queued
      }
    }
  }
  mWorld->Leave();
  return queued;
}

void CKelmarNetPeer::GetBconRcv(std::uint32_t& first, std::uint64_t& second) const {
  mWorld->Enter();
  first = mBconFirst;
  second = mBconSecond;
  mWorld->Leave();
}

char const* StateWord(CKelmarNetPeer::State state) {
  switch (state) {
    case CKelmarNetPeer::stIdle:
      return "idle";
    case CKelmarNetPeer::stConnecting:
      return "connecting";
    case CKelmarNetPeer::stRefused:
      return "refused";
    case CKelmarNetPeer::stTimedOut:
      return "timed out";
    case CKelmarNetPeer::stBusy:
      return "busy";
    case CKelmarNetPeer::stDenied:
      return "denied";
    case CKelmarNetPeer::stClosed:
      return "closed";
    case CKelmarNetPeer::stConnected:
      return "connected";
  }
  return "unknown";
}
