// The network endpoint.
#include "CKelmarNetIO.h"

#include <algorithm>
#include <cstring>

CKelmarNetIO::CKelmarNetIO() : LHandler(nullptr), mPeer(this, mWorld) {
  mTxTurn.SetSize(kTurnSize);
  mPeer.SetListen(true);
}

LEvent CKelmarNetIO::HandleEvent(LEvent const& e) {
  if (e.mSource != &mPeer) return LHandler::HandleEvent(e);
  if (e.is(CKelmarNetPeer::rRecv)) {
    const std::uint32_t n = mPeer.recvSize();
    // Alternate start codes carry no levels; an empty turn carries nothing.
    if (n != 0 && mPeer.recvTurn()[0] == 0)
      std::memcpy(mRxTurn, mPeer.recvTurn(), std::min<std::uint32_t>(n, kTurnSize));
    return LEvent();
  }
  if (e.is(CKelmarNetPeer::rConn)) {
    mPeer.Accept(true);
    return LEvent();
  }
  return LHandler::HandleEvent(e);
}
