// The network endpoint of one plug-in instance: its world, its peer and both turns.
#pragma once

#include <cstdint>

#include "CAsyncWorld_Null.h"
#include "CDmxTurn.h"
#include "CKelmarNetPeer.h"

// A passive endpoint at the top of its handler chain: it listens, accepts every
// request its peer reports, and keeps the last received turn with start code 0.
// Built, used and destroyed on one thread, whose run loop drives its world. Endpoints
// may share the process, on one thread or on several, and go in any order: each one's
// socket is served on its own thread.
class CKelmarNetIO : public LHandler {
 public:
  static constexpr std::uint32_t kTurnSize = CDmxTurn::kMaxSize;

  CKelmarNetIO();
  ~CKelmarNetIO() override = default;  // the peer closes its port, then the world goes

  LEvent HandleEvent(LEvent const& e) override;

  // Hands the outgoing turn to the peer, which sends it when connected.
  void SendTurn() { mPeer.SendTurnA(mTxTurn); }
  // Opens the UDP port; false when it cannot be had.
  bool OpenSocket(unsigned int port) { return mPeer.Open(port); }

  CKelmarNetPeer& peer() { return mPeer; }
  CAsyncWorld_Null& world() { return mWorld; }
  // The outgoing turn: 513 bytes, start code 0; slots are written every frame.
  CDmxTurn& txTurn() { return mTxTurn; }
  // The last received turn with start code 0: byte 0 the start code, byte k slot k.
  // Never cleared; a shorter turn overwrites only its own length.
  std::uint8_t const* rxTurn() const { return mRxTurn; }

 private:
  CAsyncWorld_Null mWorld;
  CKelmarNetPeer mPeer;
  CDmxTurn mTxTurn;
  std::uint8_t mRxTurn[kTurnSize] = {};
};
