// The UDP port over a non-blocking BSD socket, served by the I/O signal thread.
#pragma once

#include "CPsxIOSig.h"
#include "CUDPPort.h"

// One IPv4 datagram socket bound to all local addresses. An operation that would
// block waits for readiness through the I/O signal thread and finishes in SignalCB, on
// the thread of the port's world; one that finishes at once reports through a timer,
// never from inside Send or Read.
class CSocketUDPPort : public CUDPPort {
 public:
  CSocketUDPPort(LHandler* owner, LAsyncWorld& world);
  ~CSocketUDPPort() override;

  bool valid() const override { return mFd >= 0; }
  std::uint32_t port() const override { return mLocalPort; }
  std::uint32_t readsize() const override { return mReadSize; }
  bool cansend() const override { return valid() && !mSendData; }
  bool canread() const override { return valid() && !mReadBuf; }
  CUDPAddr readaddr() const override { return mReadAddr; }
  int Open(int port, unsigned int options, unsigned int sendBuffer) override;
  void Close() override;
  void Send(CUDPAddr const& to, void const* data, unsigned int len) override;
  void Read(void* buffer, unsigned int capacity) override;
  LEvent HandleEvent(LEvent const& e) override;

  static void SignalCB(void* self, CPsxIOSig::IO io);

 private:
  bool TrySend();
  bool TryRead();

  int mFd = -1;
  std::uint32_t mSendLen = 0;
  void const* mSendData = nullptr;
  std::uint32_t mReadSize = 0;
  std::uint32_t mReadCap = 0;
  void* mReadBuf = nullptr;
  std::uint32_t mLocalPort = 0;
  CUDPAddr mReadAddr;
  CUDPAddr mSendAddr;
  LAsyncWorld* mWorld;
  LAsyncTimer mSentTimer;
  LAsyncTimer mReadTimer;
};
