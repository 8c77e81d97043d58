// One end of the peer protocol: connection state machine, receive and send paths, beacons.
#pragma once

#include <cstdint>

#include "CDmxTurn.h"
#include "CKelmarNet.h"
#include "CLongCRC.h"
#include "CUDPPort.h"
#include "LAsyncWorld.h"
#include "LRandom.h"
#include "LSLink.h"
#include "LString.h"
#include "UKelmarWire.h"

// A peer owns a UDP port and plays either role: requesting (Connect, then it retries
// every 3000 ms after any failure until connected) or listening (SetListen; its owner
// answers each new request with Accept). Connected peers exchange turns, keep-alives
// and beacons, and drop the link after 5000 ms of silence. Everything runs on the
// world's thread; the owner hears of changes through the events below.
class CKelmarNetPeer : public LHandler {
 public:
  static constexpr LCStr rStat{"CKelmarNetPeer_Stat"};  // deferred: state() changed
  static constexpr LCStr rConn{"CKelmarNetPeer_Conn"};  // deferred: answer with Accept
  static constexpr LCStr rRecv{"CKelmarNetPeer_Recv"};  // at once: a turn arrived
  static constexpr LCStr rBcon{"CKelmarNetPeer_Bcon"};  // deferred: read GetBconRcv

  enum State : std::uint32_t {
    stIdle = 0,        // no connection; the resting state of a listening peer
    stConnecting = 1,  // own request outstanding
    stRefused = 2,     // the other side refused the request
    stTimedOut = 3,    // no answer within 3000 ms, or the partner silent for 5000 ms
    stBusy = 4,        // the other side has another partner
    stDenied = 5,      // the other side's owner denied the request
    stClosed = 7,      // the partner closed the connection
    stConnected = 8,
  };

  // One queued beacon.
  struct SBcon : SSLink {
    std::uint32_t first = 0;
    std::uint64_t second = 0;
  };

  static constexpr std::uint32_t kBufSize = CKelmarNet::kMaxPakSize;
  static constexpr std::uint32_t kNoPort = 0xFFFFFFFF;

  CKelmarNetPeer(LHandler* owner, LAsyncWorld& world);
  ~CKelmarNetPeer() override;

  // Opens the UDP port on `port` (0: any) on all local addresses and arms the first
  // read. False when the port cannot be opened; the peer stays usable.
  bool Open(unsigned int port);
  // Closes the port, cancels the timers and pending requests; the state becomes idle.
  void Close();
  // Takes the requesting role towards `addr`, whose own password is `password`.
  // Does nothing while the port is not open.
  void Connect(CUDPAddr const& addr, LString const& password);
  // Leaves the requesting role, closes an established connection, shows `state`.
  void Disconnect(State state);
  // The owner's answer to "CKelmarNetPeer_Conn".
  void Accept(bool accept);
  // Sets the own password: requests must carry it, and what arrives is descrambled
  // with its digest.
  void SetPassword(LString const& password);
  // Hands over the turn to send; only the latest one handed over goes out.
  void SendTurnA(CDmxTurn const& turn);
  // Queues a beacon for the partner; false when not connected.
  bool Beacon(std::uint32_t first, std::uint64_t second);
  // The last beacon received (0 and 0 before any).
  void GetBconRcv(std::uint32_t& first, std::uint64_t& second) const;

  // The local port number while the port is open, else kNoPort.
  std::uint32_t port() const;
  State state() const { return mState; }
  bool listen() const { return mListen; }
  void SetListen(bool listen) { mListen = listen; }
  CUDPAddr const& peerAddr() const { return mPeerAddr; }
  // The last turn received, start code first; valid while "CKelmarNetPeer_Recv" is
  // handled (copy what you need), and until the next turn arrives.
  std::uint16_t recvSize() const { return mRecvSize; }
  unsigned char const* recvTurn() const { return mRecvTurn + 1; }

  LEvent HandleEvent(LEvent const& e) override;

  // The digest of a NUL-terminated password (null: empty); the key it names.
  std::uint32_t CalcPwDigest(unsigned char const* password);

 private:
  void SetState(std::uint32_t state);
  void Connected();
  void Disconnected(std::uint32_t reason);
  void SendClose();
  void TrySend();
  void ParseRecv();
  bool isresp(std::uint32_t link, CUDPAddr const& from) const;
  bool ispeer(std::uint32_t link, CUDPAddr const& from) const;
  void TurnReceived();

  // Receive-path outcomes of a connection request.
  void RecvConnect(std::uint32_t n, CUDPAddr const& from);
  void AnswerBusy(CUDPAddr const& from, UKelmarWire::SConnect const& req);
  void TakeUpRequest(CUDPAddr const& from, UKelmarWire::SConnect const& req);
  void Refuse(CUDPAddr const& from);

  // Seals the `len`-byte message in the send buffer (`key`: the digest, for the types
  // that use one) and sends it to `to`.
  void SendPak(std::uint32_t len, std::uint64_t key, CUDPAddr const& to);
  bool SendBeacon();
  std::uint8_t RandomByte() { return static_cast<std::uint8_t>(mRandom.random()); }

  LAsyncWorld* mWorld;
  LAsyncEvent mStatEvent;
  LAsyncEvent mConnEvent;
  CUDPPort* mPort = nullptr;
  LRandom mRandom;
  CLongCRC mCRC;
  State mState = stIdle;
  bool mListen = false;
  bool mReconnect = false;
  LString mPassword;
  std::uint64_t mPwDigest = 0;
  LString mPeerPassword;
  std::uint64_t mPeerKey = 0;
  CUDPAddr mPeerAddr;
  LAsyncTimer mLinkTimer;
  LAsyncTimer mRefreshTimer;
  LAsyncTimer mIdleTimer;
  std::uint8_t mPeerLinkId = 0;
  std::uint8_t mLinkId = 0;
  bool mTurnChanged = false;
  std::uint32_t mBconFirst = 0;
  std::uint64_t mBconSecond = 0;
  LAsyncEvent mBconEvent;
  LSLink<SBcon> mBconQueue;
  LSLink<SBcon> mBconFree;
  bool mSendClose = false;
  CUDPAddr mCloseAddr;
  std::uint64_t mCloseKey = 0;
  std::uint8_t mCloseLinkId = 0;
  bool mSendConnect = false;
  std::uint8_t mConnNonce = 0;
  bool mSendBusy = false;
  CUDPAddr mBusyAddr;
  std::uint64_t mBusyKey = 0;
  std::uint8_t mBusyLinkId = 0;
  bool mSendDeny = false;
  CUDPAddr mDenyAddr;
  std::uint64_t mDenyKey = 0;
  std::uint8_t mDenyLinkId = 0;
  bool mRefuseWait = false;
  bool mRefuseDue = false;
  LAsyncTimer mRefuseTimer;
  CUDPAddr mRefuseAddr;
  bool mSendTurn = false;
  bool mSendAlive = false;
  bool mSendAccept = false;
  std::uint8_t mAcceptNonce = 0;
  std::uint16_t mTurnSize = 0;
  std::uint16_t mRecvSize = 0;
  unsigned char mTurn[CKelmarNet::kMaxTurnSize] = {};
  unsigned char mRecvTurn[CKelmarNet::kTurnBufSize] = {};
  SKelmarNetPak mSendBuf = {};
  SKelmarNetPak mRecvBuf = {};
};

// The state in plain words: "idle", "connecting", "connected", "refused", "timed out",
// "busy", "denied", "closed".
char const* StateWord(CKelmarNetPeer::State state);
