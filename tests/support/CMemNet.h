// An in-memory network of UDP ports on one world, with a log of every datagram that
// crossed it.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "CUDPPort.h"

class CMemPort;

// While a CMemNet lives, CUDPPortIF::NewPort makes memory ports on it. Datagrams are
// delivered through the world's timers, never from inside Send. Hosts come from one
// of the ranges set aside for documentation, the first that holds none of this
// machine's own addresses, so a peer's own-address test never matches one by accident.
class CMemNet {
 public:
  struct SWire {
    CUDPAddr from;
    CUDPAddr to;
    std::vector<std::uint8_t> bytes;  // as sent: scrambled
    LTicks at;                        // world time of the send
  };

  explicit CMemNet(LAsyncWorld& world);
  ~CMemNet();
  CMemNet(CMemNet const&) = delete;
  CMemNet& operator=(CMemNet const&) = delete;

  // The host the next port made will have.
  void SetNextHost(std::uint64_t host) { mNextHost = host; }
  static std::uint64_t Host(unsigned last);

  // While false, datagrams are logged but never arrive.
  bool mDeliver = true;
  // While true, sends stay pending (the port is busy) until ReleaseSends.
  bool mHoldSends = false;
  void ReleaseSends();

  std::vector<SWire> mLog;  // every datagram sent, in order

  // Internal: used by the ports.
  LAsyncWorld& world() { return mWorld; }
  CMemPort* Find(CUDPAddr const& addr) const;
  void Transmit(CMemPort& from, CUDPAddr const& to, void const* data, unsigned len);
  void Add(CMemPort* p) { mPorts.push_back(p); }
  void Drop(CMemPort* p);
  std::uint64_t TakeHost();
  std::int32_t EphemeralPort() { return mNextEphemeral++; }

  static CMemNet* current() { return gCurrent; }

 private:
  static CMemNet* gCurrent;
  LAsyncWorld& mWorld;
  std::vector<CMemPort*> mPorts;
  std::uint64_t mNextHost = Host(1);
  std::int32_t mNextEphemeral = 49152;
};

// A port of a CMemNet.
class CMemPort : public CUDPPort {
 public:
  CMemPort(LHandler* owner, CMemNet& net, std::uint64_t host);
  ~CMemPort() override;

  bool valid() const override { return mOpen; }
  std::uint32_t port() const override { return static_cast<std::uint32_t>(mAddr.port); }
  std::uint32_t readsize() const override { return mReadSize; }
  bool cansend() const override { return mOpen && !mSendData; }
  bool canread() const override { return mOpen && !mReadBuf; }
  CUDPAddr readaddr() const override { return mReadAddr; }
  int Open(int port, unsigned int options, unsigned int sendBuffer) override;
  void Close() override;
  void Send(CUDPAddr const& to, void const* data, unsigned int len) override;
  void Read(void* buffer, unsigned int capacity) override;
  LEvent HandleEvent(LEvent const& e) override;

  CUDPAddr const& addr() const { return mAddr; }
  // A datagram arrives now and completes a pending read at once, raising
  // "CUDPPort_Read" from inside the call, as a readiness callback does; without a
  // pending read it is queued. For benchmarks and fuzzing, which skip the world.
  void Inject(CUDPAddr const& from, std::uint8_t const* data, std::uint32_t len);
  // Queues a datagram to arrive at world time `due`.
  void Arrive(CUDPAddr const& from, std::vector<std::uint8_t> bytes, LTicks due);
  void FinishSend();

 private:
  struct SInbound {
    CUDPAddr from;
    std::vector<std::uint8_t> bytes;
    LTicks due;
  };
  bool TryRead();
  void ArmDelivery();

  CMemNet& mNet;
  CUDPAddr mAddr;
  bool mOpen = false;
  void const* mSendData = nullptr;
  unsigned mSendLen = 0;
  CUDPAddr mSendTo;
  void* mReadBuf = nullptr;
  unsigned mReadCap = 0;
  std::uint32_t mReadSize = 0;
  CUDPAddr mReadAddr;
  std::deque<SInbound> mInbox;  // by due time
  LAsyncTimer mSentTimer;
  LAsyncTimer mReadTimer;
  LAsyncTimer mDeliverTimer;
};
