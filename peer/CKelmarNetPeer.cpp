// The peer: state machine, receive path, send path and beacons.
#include "CKelmarNetPeer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "CInternetHostU.h"
#include "UEventClock.h"

namespace {

enum : std::uint8_t {
  pakBcon = 1,
  pakRefuse = 2,
  pakConnect = 4,
  pakClose = 5,
  pakAccept = 6,
  pakBusy = 7,
  pakDeny = 8,
  pakTurn = 12,
  pakSame = 13,
  pakAlive = 14,
};

constexpr LTicks kRequestMs = 3000;  // between connection requests
constexpr LTicks kLinkMs = 5000;     // silence that ends a connection
constexpr LTicks kIdleMs = 2000;     // silence after which a keep-alive goes out
constexpr LTicks kRefreshMs = 1000;  // longest time between full turns
constexpr LTicks kRefuseMs = 2000;   // delay of a refusal
constexpr std::uint32_t kMaxPassword = 760;

std::uint32_t GetBE32(unsigned char const* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

void PutBE32(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

bool IsLoopback(std::uint64_t host) {
  return (host >> 24) == 127;
}

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
  mPort->Read(mRecvBuf, kBufSize);
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
      mPort->Read(mRecvBuf, kBufSize);
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

void CKelmarNetPeer::DecodeRecv(std::uint64_t key, std::uint32_t len) {
  mCRC.Set(static_cast<std::uint32_t>(key));
  CKelmarNet::Decode(reinterpret_cast<SKelmarNetPak*>(mRecvBuf), len, mCRC);
}

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
  if (n < 3) return;
  const CUDPAddr from = mPort->readaddr();
  unsigned char const* b = mRecvBuf;

  switch (b[0]) {
    case pakBcon:
      if (n < 11) return;
      DecodeRecv(CKelmarNet::kDefaultSeed, n);
      if (mState != stConnected || b[2] != 0 || from != mPeerAddr || b[7] == 0x7F) return;
      mBconFirst = GetBE32(b + 3);
      mBconSecond = static_cast<std::uint64_t>(
          static_cast<std::int64_t>(static_cast<std::int32_t>(GetBE32(b + 7))));
      mBconEvent.Notify();
      return;
    case pakRefuse:
      DecodeRecv(CKelmarNet::kDefaultSeed, n);
      if (b[2] != 0 || from != mPeerAddr || mState == stIdle || mState == stConnected) return;
      Disconnected(stRefused);
      return;
    case pakConnect:
      DecodeRecv(mPwDigest, n);
      RecvConnect(n, from);
      return;
    case pakClose:
      DecodeRecv(mPwDigest, n);
      if (mState != stConnected || b[2] != mPeerLinkId || from != mPeerAddr) return;
      Disconnected(stClosed);
      return;
    case pakAccept:
      if (n < 4) return;
      DecodeRecv(mPwDigest, n);
      if (!isresp(b[2], from)) return;
      mSendConnect = mSendAccept = mSendTurn = mSendAlive = false;
      mPeerLinkId = b[3];
      Connected();
      mLinkTimer.Delay(kLinkMs);
      mIdleTimer.Delay(kIdleMs);
      return;
    case pakBusy:
    case pakDeny:
      DecodeRecv(mPwDigest, n);
      if (!isresp(b[2], from)) return;
      Disconnected(b[0] == pakBusy ? stBusy : stDenied);
      return;
    case pakTurn:
      DecodeRecv(mPwDigest, 3);  // the compressed payload travels in clear
      if (!ispeer(b[2], from)) return;
      mRecvSize = static_cast<std::uint16_t>(CKelmarNet::DecodeData(b + 3, n - 3, mRecvTurn));
      TurnReceived();
      // The owner may have closed the peer while it handled the turn.
      if (mState == stConnected) mLinkTimer.Delay(kLinkMs);
      return;
    case pakSame:
      DecodeRecv(mPwDigest, n);
      if (!ispeer(b[2], from)) return;
      TurnReceived();
      if (mState == stConnected) mLinkTimer.Delay(kLinkMs);
      return;
    case pakAlive:
      DecodeRecv(mPwDigest, n);
      if (!ispeer(b[2], from)) return;
      mLinkTimer.Delay(kLinkMs);
      return;
    default:  // types that are never sent
      return;
  }
}

void CKelmarNetPeer::RecvConnect(std::uint32_t n, CUDPAddr const& from) {
  unsigned char const* b = mRecvBuf;
  // The whole request must be in the datagram: header, digest, the password and its
  // terminating zero. Nothing past the datagram's end is ever compared.
  const std::uint32_t len = mPassword.length();
  if (!mListen || n < len + 8 || std::memcmp(b + 7, mPassword.text(), len) != 0 ||
      b[7 + len] != 0) {
    Refuse(from);
    return;
  }
  // A request from this very peer: our own port at one of our own addresses.
  if (port() == static_cast<std::uint32_t>(from.port) &&
      (IsLoopback(from.host) || CInternetHostU::hasAddress(from.host))) {
    AnswerBusy(from);
    return;
  }
  if (mState == stIdle) return TakeUpRequest(from);
  if (from != mPeerAddr) return AnswerBusy(from);  // a second party
  if (mState != stConnected) return TakeUpRequest(from);
  if (b[2] != mPeerLinkId) return AnswerBusy(from);
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

void CKelmarNetPeer::AnswerBusy(CUDPAddr const& from) {
  if (!mSendBusy) {
    mBusyAddr = from;
    mBusyKey = GetBE32(mRecvBuf + 3);
    mBusyLinkId = mRecvBuf[2];
    mSendBusy = true;
  }
  TrySend();
}

void CKelmarNetPeer::TakeUpRequest(CUDPAddr const& from) {
  mSendConnect = mSendTurn = mSendAlive = false;
  mTurnChanged = true;
  mPeerAddr = from;
  mPeerKey = GetBE32(mRecvBuf + 3);
  mPeerLinkId = mRecvBuf[2];
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

void CKelmarNetPeer::SendPak(std::uint32_t len, std::uint32_t scrambled, std::uint64_t key,
                             CUDPAddr const& to) {
  mCRC.Set(static_cast<std::uint32_t>(key));
  CKelmarNet::Encode(reinterpret_cast<SKelmarNetPak*>(mSendBuf), scrambled, mCRC);
  mPort->Send(to, mSendBuf, len);
}

void CKelmarNetPeer::SendShort(std::uint8_t type, std::uint8_t link, std::uint64_t key,
                               CUDPAddr const& to) {
  mSendBuf[0] = type;
  mSendBuf[1] = RandomByte();
  mSendBuf[2] = link;
  SendPak(3, 3, key, to);
}

void CKelmarNetPeer::TrySend() {
  if (!mPort || !mPort->cansend()) return;  // everything stays pending until "Sent"

  if (mSendClose) {
    mSendClose = false;
    SendShort(pakClose, mCloseLinkId, mCloseKey, mCloseAddr);
    return;
  }
  if (mState == stConnected) {
    if (mSendTurn) {
      mSendTurn = mSendAlive = false;
      std::uint32_t len = 3;
      if (mTurnChanged) {
        mSendBuf[0] = pakTurn;
        len += CKelmarNet::EncodeData(mSendBuf + 3, mTurn, mTurnSize);
        mTurnChanged = false;
        mRefreshTimer.Delay(kRefreshMs);
      } else {
        mSendBuf[0] = pakSame;
      }
      mSendBuf[1] = RandomByte();
      mSendBuf[2] = mLinkId;
      SendPak(len, 3, mPeerKey, mPeerAddr);
      mIdleTimer.Delay(kIdleMs);
      return;
    }
    if (mSendAlive) {
      mSendAlive = false;
      SendShort(pakAlive, mLinkId, mPeerKey, mPeerAddr);
      mIdleTimer.Delay(kIdleMs);
      return;
    }
    if (mSendAccept) {
      mSendAccept = false;
      mSendBuf[0] = pakAccept;
      mSendBuf[1] = mAcceptNonce;
      mSendBuf[2] = mPeerLinkId;
      mSendBuf[3] = mLinkId;
      SendPak(4, 4, mPeerKey, mPeerAddr);
      // A turn handed over before the accept went out reached a requester that was
      // not connected yet and was dropped: make the next turn message a full one.
      mTurnChanged = true;
      return;
    }
  } else if (mSendConnect) {
    mSendConnect = false;
    mSendBuf[0] = pakConnect;
    mSendBuf[1] = mConnNonce;
    mSendBuf[2] = mLinkId;
    PutBE32(mSendBuf + 3, static_cast<std::uint32_t>(mPwDigest));
    const std::uint32_t l = std::min(mPeerPassword.length(), kMaxPassword);
    std::memcpy(mSendBuf + 7, mPeerPassword.text(), l);
    const std::uint32_t pad =
        std::min<std::uint32_t>((mRandom.random() & 15) + 1, kMaxPassword + 1 - l);
    std::memset(mSendBuf + 7 + l, 0, pad);
    SendPak(7 + l + pad, 7 + l + pad, mPeerKey, mPeerAddr);
    mLinkTimer.Delay(kRequestMs);
    return;
  }
  if (mSendDeny) {
    mSendDeny = false;
    SendShort(pakDeny, mDenyLinkId, mDenyKey, mDenyAddr);
    return;
  }
  if (mSendBusy) {
    mSendBusy = false;
    SendShort(pakBusy, mBusyLinkId, mBusyKey, mBusyAddr);
    return;
  }
  if (mRefuseDue) {
    mRefuseDue = mRefuseWait = false;
    SendShort(pakRefuse, 0, CKelmarNet::kDefaultSeed, mRefuseAddr);
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
    mSendBuf[0] = pakBcon;
    mSendBuf[1] = RandomByte();
    mSendBuf[2] = 0;
    PutBE32(mSendBuf + 3, b->first);
    PutBE32(mSendBuf + 7, static_cast<std::uint32_t>(b->second));
    SendPak(11, 11, CKelmarNet::kDefaultSeed, mPeerAddr);
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
