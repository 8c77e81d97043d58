// Two peers in one process on real sockets on 127.0.0.1, served by the I/O signal thread.
#include "CKelmarNetPeer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <vector>

#include "CAsyncWorld_Null.h"
#include "CRunLoop.h"

namespace {

constexpr std::uint64_t kLoopback = 0x7F000001;

class PeerSockets : public ::testing::Test {
 protected:
  // Accepts requests at once and keeps the last turn each peer received.
  struct COwner : LHandler {
    COwner() : LHandler(nullptr) {}
    std::map<LHandler*, std::vector<unsigned char>> last;
    LEvent HandleEvent(LEvent const& e) override {
      if (!e.is(CKelmarNetPeer::rConn) && !e.is(CKelmarNetPeer::rRecv)) return LEvent();
      auto* peer = static_cast<CKelmarNetPeer*>(e.mSource);  // only peers raise these
      if (e.is(CKelmarNetPeer::rConn)) peer->Accept(true);
      if (e.is(CKelmarNetPeer::rRecv))
        last[peer].assign(peer->recvTurn(), peer->recvTurn() + peer->recvSize());
      return LEvent();
    }
  };

  // Runs the loop until `done` holds, false after 10 s; waits are short as timers fire only then.
  bool RunUntil(std::function<bool()> const& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      world.runloop()->RunOnce(0.005);
    }
    return true;
  }

  CAsyncWorld_Null world;
  COwner owner;
  CKelmarNetPeer a{&owner, world}, b{&owner, world};
};

// A port in use fails to open, leaving the peer usable; port zero picks one.
TEST_F(PeerSockets, TwoPeersConnectAndExchangeTurnsBothWays) {
  EXPECT_EQ(a.port(), CKelmarNetPeer::kNoPort) << "closed";
  ASSERT_TRUE(a.Open(0));
  EXPECT_GT(a.port(), 0u);
  EXPECT_LT(a.port(), 65536u);
  EXPECT_FALSE(b.Open(a.port()));
  EXPECT_EQ(b.port(), CKelmarNetPeer::kNoPort);
  ASSERT_TRUE(b.Open(0));
  b.SetListen(true);
  a.Connect({kLoopback, static_cast<std::int32_t>(b.port())}, LString());
  ASSERT_TRUE(RunUntil([&] {
    return a.state() == CKelmarNetPeer::stConnected && b.state() == CKelmarNetPeer::stConnected;
  }));
  EXPECT_EQ(b.peerAddr(), (CUDPAddr{kLoopback, static_cast<std::int32_t>(a.port())}));

  CDmxTurn ta, tb;
  ta.SetSize(513);
  tb.SetSize(4);
  ta.data()[1] = 255;
  ta.data()[512] = 17;
  tb.data()[3] = 99;
  ASSERT_TRUE(RunUntil([&] {
    a.SendTurnA(ta);  // handed over every pass, as a host does every frame
    b.SendTurnA(tb);
    return owner.last[&b].size() == 513 && owner.last[&a].size() == 4;
  }));
  EXPECT_EQ(owner.last[&b], std::vector<unsigned char>(ta.data(), ta.data() + 513));
  EXPECT_EQ(owner.last[&a], std::vector<unsigned char>(tb.data(), tb.data() + 4));
}

}  // namespace
