// A connected pair under hostile traffic: malformed datagrams and forged requests.
#include "CKelmarNetPeer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "CMemNet.h"
#include "CRecorder.h"
#include "CTestLoop.h"

namespace {

class COwner : public CRecorder {
 public:
  CKelmarNetPeer* peer = nullptr;
  LEvent HandleEvent(LEvent const& e) override {
    if (peer && e.is(CKelmarNetPeer::rConn)) peer->Accept(true);
    return CRecorder::HandleEvent(e);
  }
};

class PeerAbuse : public ::testing::Test {
 protected:
  PeerAbuse() {
    net.SetNextHost(CMemNet::Host(10));
    requester.emplace(&rOwner, loop.world());
    net.SetNextHost(kListener.host);
    listener.emplace(&lOwner, loop.world());
    rOwner.peer = &*requester;
    lOwner.peer = &*listener;
    listener->SetListen(true);
    requester->Open(40000);
    listener->Open(51209);
    requester->Connect(kListener, LString());
    loop.Advance(10);
  }

  // Datagrams the listener has sent so far.
  int SentByListener() const {
    int n = 0;
    for (auto const& w : net.mLog) n += w.from == kListener;
    return n;
  }

  const CUDPAddr kRequester{CMemNet::Host(10), 40000};
  // On loopback, so that its own address is recognised as such.
  const CUDPAddr kListener{0x7F000001, 51209};
  CTestLoop loop;
  CMemNet net{loop.world()};
  COwner rOwner, lOwner;
  std::optional<CKelmarNetPeer> requester, listener;
};

TEST_F(PeerAbuse, MalformedDatagramsOfEveryTypeAndOddLengthChangeNothing) {
  ASSERT_EQ(listener->state(), CKelmarNetPeer::stConnected);
  const std::size_t events = lOwner.mSeen.size();
  CMemPort* port = net.Find(kListener);
  std::vector<std::uint8_t> d(769);
  for (unsigned type = 0; type < 256; ++type) {
    for (std::size_t len : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 767, 768, 769}) {
      for (std::uint8_t fill : {0x00, 0xFF}) {
        std::fill(d.begin(), d.end(), fill);
        if (len) d[0] = static_cast<std::uint8_t>(type);
        port->Inject(kRequester, d.data(), static_cast<std::uint32_t>(len));
      }
    }
  }
  loop.RunUntilIdle();
  EXPECT_EQ(listener->state(), CKelmarNetPeer::stConnected);
  EXPECT_EQ(requester->state(), CKelmarNetPeer::stConnected);
  EXPECT_EQ(lOwner.mSeen.size(), events) << "no turn, beacon, request or state change";
}

TEST_F(PeerAbuse, RequestForgedWithTheEndpointsOwnAddressCausesNoLoop) {
  listener->Disconnect(CKelmarNetPeer::stIdle);  // idle: a request would be taken up
  requester->Disconnect(CKelmarNetPeer::stIdle);
  loop.Advance(10);
  const int before = SentByListener();
  const int conns = lOwner.count(CKelmarNetPeer::rConn);
  // A valid request (empty password, scrambled with its digest) as if from itself.
  std::vector<std::uint8_t> request{4, 0, 9, 0, 0, 0, 0, 0};
  CLongCRC crc;
  crc.Set(listener->CalcPwDigest(nullptr));
  CKelmarNet::Encode(reinterpret_cast<SKelmarNetPak*>(request.data()), 8, crc);
  net.Find(kListener)->Inject(kListener, request.data(), 8);
  loop.Advance(10000);
  EXPECT_EQ(SentByListener(), before + 1) << "one busy answer to itself, which it ignores";
  EXPECT_EQ(lOwner.count(CKelmarNetPeer::rConn), conns) << "not taken up";
  EXPECT_EQ(listener->state(), CKelmarNetPeer::stIdle);
}

}  // namespace
