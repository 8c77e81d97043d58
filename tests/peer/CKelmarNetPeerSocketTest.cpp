// Two peers in one process on real sockets on 127.0.0.1, served by the I/O signal thread.
#include "CKelmarNetPeer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <vector>

#include "CAsyncWorld_Null.h"
#include "CRunLoop.h"

namespace {

constexpr std::uint64_t kLoopback = 0x7F000001;

// Accepts requests at once and keeps the last turn received.
class COwner : public LHandler {
 public:
  COwner() : LHandler(nullptr) {}
  CKelmarNetPeer* peer = nullptr;
  std::vector<unsigned char> last;
  LEvent HandleEvent(LEvent const& e) override {
    if (e.is(CKelmarNetPeer::rConn)) peer->Accept(true);
    if (e.is(CKelmarNetPeer::rRecv))
      last.assign(peer->recvTurn(), peer->recvTurn() + peer->recvSize());
    return LEvent();
  }
};

class PeerSockets : public ::testing::Test {
 protected:
  PeerSockets() : a(&aOwner, world), b(&bOwner, world) {
    aOwner.peer = &a;
    bOwner.peer = &b;
    b.SetListen(true);
  }

  // Runs the loop until `done` holds; false at the deadline. The world delivers its
  // timers only when the loop is about to wait, so each wait is kept short.
  bool RunUntil(std::function<bool()> const& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      world.runloop()->RunOnce(0.005);
    }
    return true;
  }

  CAsyncWorld_Null world;
  COwner aOwner, bOwner;
  CKelmarNetPeer a, b;
};

TEST_F(PeerSockets, OpenOnPortZeroReportsTheChosenPort) {
  EXPECT_EQ(a.port(), CKelmarNetPeer::kNoPort) << "closed";
  ASSERT_TRUE(a.Open(0));
  EXPECT_GT(a.port(), 0u);
  EXPECT_LT(a.port(), 65536u);
}

TEST_F(PeerSockets, PortInUseFailsAndTheClosedPeerCanOpenElsewhere) {
  ASSERT_TRUE(a.Open(0));
  EXPECT_FALSE(b.Open(a.port()));
  EXPECT_EQ(b.port(), CKelmarNetPeer::kNoPort);
  EXPECT_TRUE(b.Open(0)) << "a failed open leaves the peer usable";
}

TEST_F(PeerSockets, TwoPeersConnectAndExchangeTurnsBothWays) {
  ASSERT_TRUE(a.Open(0));
  ASSERT_TRUE(b.Open(0));
  a.Connect({kLoopback, static_cast<std::int32_t>(b.port())}, LString());
  ASSERT_TRUE(RunUntil([&] {
    return a.state() == CKelmarNetPeer::stConnected && b.state() == CKelmarNetPeer::stConnected;
  }));

  CDmxTurn ta, tb;
  ta.SetSize(513);
  tb.SetSize(4);
  ta.data()[1] = 255;
  ta.data()[512] = 17;
  tb.data()[3] = 99;
  ASSERT_TRUE(RunUntil([&] {
    a.SendTurnA(ta);  // handed over every pass, as a host does every frame
    b.SendTurnA(tb);
    return bOwner.last.size() == 513 && aOwner.last.size() == 4;
  }));
  EXPECT_EQ(bOwner.last[1], 255);
  EXPECT_EQ(bOwner.last[512], 17);
  EXPECT_EQ(aOwner.last[3], 99);
  EXPECT_EQ(b.peerAddr().host, kLoopback);
  EXPECT_EQ(b.peerAddr().port, static_cast<std::int32_t>(a.port()));
}

}  // namespace
