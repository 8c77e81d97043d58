// Peer behaviour against hand-built datagrams: answers to requests, receive checks, send order.
#include "CKelmarNetPeer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "CArray.h"
#include "CInternetHostU.h"
#include "PeerTestKit.h"

namespace {

using namespace peerkit;
using P = CKelmarNetPeer;

// ---- a listening peer and the parties that write to it --------------------------------

class PeerListening : public PeerRig {
 protected:
  static constexpr std::uint8_t kALink = 0x21;
  static constexpr std::uint8_t kBLink = 0x44;

  PeerListening() : PeerRig("lpw") { peer->SetListen(true); }

  void RequestFrom(CUDPPort& end, std::uint8_t link, std::uint32_t theirKey,
                   std::string const& password = "lpw") {
    From(end, Request(link, theirKey, password));
  }
  int Conns() const { return owner.count(P::rConn, peer.get()); }

  // A requests and the owner accepts; mLink is the peer's own link id, read from the accept.
  void AcceptA() {
    RequestFrom(*a, kALink, kAKey);
    ASSERT_EQ(peer->state(), P::stConnected);
    mLink = Unseal(Sent(6).at(0).bytes, kAKey)[3];
    mAcceptedAt = loop.now();
  }

  std::uint8_t mLink = 0;
};

TEST_F(PeerListening, OwnersAnswerGoesToTheLatestRequesterInItsKey) {
  owner.onConn = [] {};  // no answer
  RequestFrom(*a, kALink, kAKey);
  EXPECT_EQ(Conns(), 1);
  loop.Advance(10000);
  EXPECT_TRUE(Sent().empty()) << "nothing goes out before the owner answers";
  EXPECT_EQ(peer->state(), P::stIdle);
  RequestFrom(*b, kBLink, kBKey);
  EXPECT_EQ(peer->peerAddr(), kB);
  peer->Accept(false);
  RequestFrom(*a, kALink, kAKey);
  peer->SendTurnA(CTestTurn(5, 1));  // waits for the accept, then goes ahead of it
  peer->Accept(true);
  loop.RunUntilIdle();
  peer->SendTurnA(CTestTurn(5, 1));  // a full turn again: the first went out unconnected
  auto sent = Sent();
  ASSERT_EQ(Types(sent), (Bytes{8, 12, 6, 12}));
  EXPECT_EQ(sent[0].to, kB);
  EXPECT_EQ(Plain(sent[0], kBKey), (Bytes{8, 0, kBLink}));
  EXPECT_EQ(sent[2].to, kA);
  const Bytes acc = Plain(sent[2], kAKey);
  EXPECT_EQ(acc, (Bytes{6, 0, kALink, acc.back()}));
}

// Each datagram is refused 2000 ms after it came unless marked taken. First a type nobody
// handles fills the receive buffer with what a whole request would hold past a cut one: the
// own password and its terminating zero; nothing past the datagram's end may count.
TEST_F(PeerListening, RequestIsTakenUpOnlyWithTheWholePasswordInsideTheDatagram) {
  owner.onConn = [] {};  // no answer
  struct SCase {
    std::string own;
    Bytes wire;
    bool listen = true;
    bool taken = false;
  };
  // A request holding `password` and `pad` zeros, sealed in the key `keyPassword` names.
  auto req = [&](std::string const& keyPassword, std::string const& password, int pad = 1) {
    return Seal(Request(kALink, kAKey, password, pad), Digest(keyPassword));
  };
  const std::string x760(760, 'x'), x761(761, 'x'), x762(762, 'x'), x763(763, 'x');
  const std::vector<SCase> cases = {
      {"lpw", req("other", "lpw")},
      {"lpw", req("lpw", "lpwx")},
      {"lpw", req("lpw", "lp")},
      {"lpw", req("lpw", "lpw"), false},
      {"", {0x04, 0x00, 0x00, 0xff, 0x00}},
      {"", req("", "", 0)},
      {"abc", req("abc", "a", 0)},
      {"abc", req("abc", "abc", 0)},
      {"abc", req("abc", "abc"), true, true},
      {x760, req(x760, x760), true, true},
      {x761, req(x761, x761, 0)},  // 768 bytes: no room for the zero
      {x762, req(x762, x761, 0)},
      {x763, req(x763, x761, 0)},
  };
  int taken = 0;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCase const& c = cases[i];
    peer->SetPassword(Str(c.own));
    peer->SetListen(c.listen);
    Bytes stale = Request(0, 0, c.own);
    stale[0] = 3;
    stale.resize(std::min<std::size_t>(stale.size(), P::kBufSize));
    From(*a, stale, true);
    const std::size_t refusals = Sent(2).size();
    From(*a, c.wire, true);
    loop.Advance(2000);
    EXPECT_EQ(Conns(), taken += c.taken) << i;
    EXPECT_EQ(Sent(2).size(), refusals + !c.taken) << i;
  }
}

TEST_F(PeerListening, WrongPasswordsWithin2000msGiveOneRefusalToTheFirstSource) {
  const LTicks t0 = loop.now();
  for (int i = 0; i < 10; ++i) {
    RequestFrom((i % 2) ? *b : *a, kALink, kAKey, "wrong");
    loop.Advance(150);
  }
  loop.Advance(t0 + 2000 - loop.now());
  auto refusals = Sent(2);
  ASSERT_EQ(Times(refusals), std::vector<LTicks>{t0 + 2000});
  EXPECT_EQ(refusals[0].to, kA);
  EXPECT_EQ(Plain(refusals[0], kSeed), (Bytes{2, 0, 0}));
  loop.Advance(5000);
  EXPECT_EQ(Sent(2).size(), 1u);
  RequestFrom(*b, kBLink, kBKey, "wrong");
  loop.Advance(2000);
  ASSERT_EQ(Sent(2).size(), 2u) << "the next refusal may follow once the first went out";
  EXPECT_EQ(Sent(2)[1].to, kB);
}

TEST_F(PeerListening, RequestFromOurOwnPortOnALoopbackOrOwnAddressGetsBusy) {
  std::vector<std::uint64_t> hosts{0x7F000001u, 0x7F010203u};
  CArray<std::uint64_t> own;
  CInternetHostU::GetAddress(own);
  if (own.count() > 0) hosts.push_back(own[0]);
  for (std::uint64_t host : hosts) {
    const CUDPAddr self{host, kPeer.port};
    const std::size_t mark = net.mLog.size();
    RequestFrom(*Party(self), kBLink, kBKey);
    auto busy = Sent(-1, mark);
    ASSERT_EQ(busy.size(), 1u) << std::hex << host;
    EXPECT_EQ(busy[0].to, self);
    EXPECT_EQ(Plain(busy[0], kBKey), (Bytes{7, 0, kBLink}));
  }
  EXPECT_EQ(Conns(), 0);
  RequestFrom(*Party({0x7F000001u, 6001}), kBLink, kBKey);
  EXPECT_EQ(Conns(), 1) << "another port on loopback is another peer";
}

TEST_F(PeerListening, CrossedRequestFromThePeerItIsRequestingIsTakenUp) {
  peer->Connect(kA, Str("apw"));
  RequestFrom(*a, kALink, kAKey);
  EXPECT_EQ(peer->state(), P::stConnected);
  EXPECT_EQ(Types(Sent()), (Bytes{4, 6}));
}

// ---- a listening peer connected to A -------------------------------------------------

class PeerConnected : public PeerListening {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(AcceptA()); }
};

// Busy goes out in each sender's key; the link still ends 5000 ms after the partner's last turn.
TEST_F(PeerConnected, OtherRequestsGetBusyInTheirSendersKeyAndTheLinkGoesOnUndisturbed) {
  loop.Advance(1000);
  RequestFrom(*a, 0x22, kAKey);  // the partner under a new link id
  From(*a, TurnMessage(kALink, CTestTurn(6, 1)));
  EXPECT_EQ(owner.turns.size(), 1u) << "the old link id still counts";
  loop.Advance(1000);
  RequestFrom(*b, kBLink, kBKey);
  RequestFrom(*b, kALink, kBKey);  // the partner's link id from another address
  auto busy = Sent(7);
  ASSERT_EQ(busy.size(), 3u);
  EXPECT_EQ(busy[0].to, kA);
  EXPECT_EQ(busy[1].to, kB);
  EXPECT_EQ(Plain(busy[0], kAKey), (Bytes{7, 0, 0x22}));
  EXPECT_EQ(Plain(busy[1], kBKey), (Bytes{7, 0, kBLink}));
  EXPECT_EQ(Plain(busy[2], kBKey), (Bytes{7, 0, kALink}));
  EXPECT_EQ(peer->peerAddr(), kA);
  ExpectStateChange(mAcceptedAt + 6000, P::stConnected, P::stIdle);
  EXPECT_EQ(Plain(Sent(14).at(0), kAKey), (Bytes{14, 0, mLink}));
}

TEST_F(PeerConnected, MalformedStaleOrForeignMessagesDoNotKeepTheLinkUp) {
  loop.Advance(1000);
  for (std::uint8_t type : {14, 13, 12, 4}) From(*a, {type, 2});
  for (std::uint8_t type : {0, 3, 9, 10, 11, 15, 200}) From(*a, {type, 2, kALink});
  for (Bytes const& m : {TurnMessage(0x22, CTestTurn(8, 1)), Bytes{13, 1, 0x22}, Bytes{14, 1, 0x22},
                         Bytes{5, 1, 0x22}})
    From(*a, m);
  for (Bytes const& m : {TurnMessage(kALink, CTestTurn(8, 1)), Bytes{13, 1, kALink},
                         Bytes{14, 1, kALink}, Bytes{5, 1, kALink}})
    From(*b, m);
  ExpectStateChange(mAcceptedAt + 5000, P::stConnected, P::stIdle);
  EXPECT_TRUE(owner.turns.empty());
  EXPECT_TRUE(Sent(2).empty());
}

TEST_F(PeerConnected, TurnSameAndKeepAliveKeepTheLinkUpUntil5000msOfSilence) {
  const CTestTurn turn(513, 77);
  loop.Advance(1000);
  From(*a, {12, 5, kALink});  // an empty payload
  From(*a, TurnMessage(kALink, turn));
  loop.Advance(3000);
  From(*a, {13, 5, kALink});
  EXPECT_EQ(owner.turns, (std::vector<Bytes>{Bytes{}, turn.bytes(), turn.bytes()}));
  loop.Advance(4900);
  From(*a, {14, 5, kALink});
  ExpectStateChange(loop.now() + 5000, P::stConnected, P::stIdle);
}

TEST_F(PeerConnected, BeaconCountsWholeWithLinkZeroFromThePartnerWhileConnected) {
  auto beacon = [](std::uint8_t link, std::uint8_t first, std::uint8_t second) {
    return Bytes{1, 0x3C, link, 0, 0, 0, first, 0, 0, 0, second};
  };
  From(*b, beacon(0, 1, 2));
  From(*a, beacon(1, 3, 4));
  From(*a, {1, 0x3C, 0, 0, 0, 0, 5, 0, 0, 0});  // one byte short
  From(*a, beacon(0, 7, 8));
  From(*a, {5, 1, kALink});  // the partner closes
  ASSERT_EQ(peer->state(), P::stIdle);
  From(*a, beacon(0, 9, 10));
  EXPECT_EQ(owner.count(P::rBcon), 1);
  EXPECT_EQ(BconRcv(*peer), (BconPair{7, 8}));
}

TEST_F(PeerConnected, FullTurnAtLeastEverySecondOtherwiseSameAndKeepAliveAfter2000ms) {
  const std::size_t mark = net.mLog.size();
  const LTicks t0 = loop.now();
  for (LTicks t = 0; t <= 3000; t += 250) {
    peer->SendTurnA(CTestTurn(40, 5));
    if (t == 2000) From(*a, {14, 1, kALink});
    loop.Advance(250);
  }
  EXPECT_EQ(Times(Sent(12, mark)), (std::vector<LTicks>{t0, t0 + 1000, t0 + 2000, t0 + 3000}));
  EXPECT_EQ(Sent(13, mark).size(), 9u);
  EXPECT_TRUE(Sent(14, mark).empty()) << "turn messages make keep-alives moot";

  const std::size_t mid = net.mLog.size();
  CTestTurn turn(39, 5);  // shorter, equal in the bytes both hold
  peer->SendTurnA(turn);
  peer->SendTurnA(turn);
  turn.data()[4] ^= 0xFF;
  peer->SendTurnA(turn);
  const LTicks last = loop.now();
  loop.Advance(2000);
  auto sent = Sent(-1, mid);
  ASSERT_EQ(Types(sent), (Bytes{12, 13, 12, 14}));
  EXPECT_EQ(TurnPayload(sent[0].bytes), CTestTurn(39, 5).bytes());
  EXPECT_EQ(sent[3].at, last + 2000);
}

TEST_F(PeerConnected, ThreeTurnsHandedOverDuringOneSendGoAsOneBuiltFromTheThird) {
  const std::size_t mark = net.mLog.size();
  net.mHoldSends = true;
  for (std::uint8_t i = 0; i <= 3; ++i) peer->SendTurnA(CTestTurn(16, i));  // 0 is in flight
  net.ReleaseSends();
  loop.RunUntilIdle();
  auto sent = Sent(-1, mark);
  ASSERT_EQ(Types(sent), (Bytes{12, 12}));
  for (auto const& w : sent) EXPECT_EQ(Unseal(w.bytes, kAKey)[2], mLink);
  EXPECT_EQ(TurnPayload(sent[0].bytes), CTestTurn(16, 0).bytes()) << "bytes in flight untouched";
  EXPECT_EQ(TurnPayload(sent[1].bytes), CTestTurn(16, 3).bytes());
}

// While a turn is in flight other messages fall due; once the port is free they go in order.
TEST_F(PeerConnected, PendingMessagesGoInPriorityOrder) {
  const std::size_t mark = net.mLog.size();
  auto inFlight = [&](std::uint8_t seed) {
    net.mHoldSends = true;
    peer->SendTurnA(CTestTurn(4, seed));
  };
  auto release = [&] {
    net.ReleaseSends();
    loop.RunUntilIdle();
  };
  inFlight(1);
  loop.Advance(2000);              // a keep-alive falls due
  RequestFrom(*a, kALink, kAKey);  // the partner repeats its request: an accept too
  release();                       // keep-alive before accept
  inFlight(2);
  ASSERT_TRUE(peer->Beacon(1, 2));
  RequestFrom(*b, kBLink, kBKey, "wrong");
  loop.Advance(2000);                // the refusal and a keep-alive fall due
  peer->SendTurnA(CTestTurn(4, 3));  // a turn takes the keep-alive along
  release();                         // turn, refusal, beacon
  inFlight(4);
  RequestFrom(*b, kBLink, kBKey);  // a third party: busy
  ASSERT_TRUE(peer->Beacon(3, 4));
  peer->Disconnect(P::stIdle);  // close first; the beacon is dropped outside the connection
  release();
  RequestFrom(*a, kALink, kAKey);  // accepted: a new connection
  inFlight(5);
  ASSERT_TRUE(peer->Beacon(5, 6));
  From(*a, {5, 1, kALink});
  RequestFrom(*b, kBLink, kBKey);  // the next connection drops what the last one queued
  release();
  EXPECT_EQ(Types(Sent(-1, mark)), (Bytes{12, 14, 6, 12, 12, 2, 1, 12, 5, 7, 6, 12, 6}));
}

}  // namespace
