// Peer behaviour against hand-built datagrams: answers to requests, receive checks, send order.
#include "CKelmarNetPeer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "CFakeInterfaces.h"
#include "PeerTestKit.h"

namespace {

using namespace peerkit;

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
};

// The owner's denial goes to the latest requester in its key. A turn handed over before the
// accept goes out ahead of it, so the next turn is a full one again (once sent as "same").
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
  peer->SendTurnA(CTestTurn(5, 1));
  peer->Accept(true);
  loop.RunUntilIdle();
  peer->SendTurnA(CTestTurn(5, 1));
  auto sent = Sent();
  ASSERT_EQ(Types(sent), (Bytes{8, 12, 6, 12}));
  EXPECT_EQ(sent[0].to, kB);
  EXPECT_EQ(Plain(sent[0], kBKey), (Bytes{8, 0, kBLink}));
  EXPECT_EQ(sent[2].to, kA);
  const Bytes acc = Plain(sent[2], kAKey);
  EXPECT_EQ(acc, (Bytes{6, 0, kALink, acc.back()}));
}

// Each datagram is refused 2000 ms after it came unless marked taken. A type nobody handles
// first fills the receive buffer with what a whole request would hold past a cut one: the own
// password and its zero; nothing past the datagram's end may count.
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
  const std::string x760(760, 'x'), x761(761, 'x'), x763(763, 'x');
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
      {x763, req(x763, x761, 0)},
  };
  int taken = 0;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
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
    EXPECT_EQ(Conns(), taken += c.taken);
    EXPECT_EQ(Sent(2).size(), refusals + !c.taken);
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
  ASSERT_EQ(Times(refusals), Ticks{t0 + 2000});
  EXPECT_EQ(refusals[0].to, kA);
  EXPECT_EQ(Plain(refusals[0], kSeed), (Bytes{2, 0, 0}));
  loop.Advance(5000);
  EXPECT_EQ(Sent(2).size(), 1u);
  RequestFrom(*b, kBLink, kBKey, "wrong");
  loop.Advance(2000);
  ASSERT_EQ(Sent(2).size(), 2u) << "the next refusal may follow once the first went out";
  EXPECT_EQ(Sent(2)[1].to, kB);
}

// Every address of this machine counts as ours, whatever its interface: a point-to-point link,
// one without broadcast, one down or not running, all of loopback. Our port at another address,
// and another port at an address of ours, are other peers; unanswered, each is taken up as new.
TEST_F(PeerListening, RequestFromOurOwnPortAtAnyOwnAddressGetsBusy) {
  owner.onConn = [] {};
  CFakeInterfaces fake(CFakeInterfaces::Typical());
  std::vector<std::uint64_t> own = CFakeInterfaces::TypicalInet();
  own.insert(own.end(), {0x7FFFFFFE, 0x7F010203});
  for (std::uint64_t host : own) {
    SCOPED_TRACE(host);
    const CUDPAddr self{host, kPeer.port};
    const std::size_t mark = net.mLog.size();
    RequestFrom(*Party(self), kBLink, kBKey);
    auto busy = Sent(-1, mark);
    ASSERT_EQ(busy.size(), 1u);
    EXPECT_EQ(busy[0].to, self);
    EXPECT_EQ(Plain(busy[0], kBKey), (Bytes{7, 0, kBLink}));
  }
  EXPECT_EQ(Conns(), 0);
  for (CUDPAddr other : std::initializer_list<CUDPAddr>{
           {0x0A080002, kPeer.port}, {0x0A080001, kPeer.port + 1}, {0x7F000001, 6001}})
    RequestFrom(*Party(other), kBLink, kBKey);
  EXPECT_EQ(Conns(), 3);
  EXPECT_TRUE(Sent(7).size() == own.size()) << "no more busy answers";
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
  void SetUp() override {
    RequestFrom(*a, kALink, kAKey);
    ASSERT_EQ(peer->state(), P::stConnected);
    mLink = Unseal(Sent(6).at(0).bytes, kAKey)[3];
  }
  // A turn message to A held in flight: what falls due meanwhile waits for Release.
  void InFlight() {
    mMark = net.mLog.size();
    net.mHoldSends = true;
    peer->SendTurnA(CTestTurn(4, 1));
  }
  Bytes Release() {  // the types of all that went out since, the held one first
    net.ReleaseSends();
    loop.RunUntilIdle();
    return Types(Sent(-1, mMark));
  }
  std::uint8_t mLink = 0;  // the peer's own link id, from its accept to A
  std::size_t mMark = 0;
};

// The partner repeats its request when our accept was lost: the same accept goes again, the link
// timer restarts, the owner is not asked again.
TEST_F(PeerConnected, RepeatedRequestFromThePartnerIsAcceptedAgain) {
  loop.Advance(3000);
  RequestFrom(*a, kALink, kAKey);
  auto accepts = Sent(6);
  ASSERT_EQ(accepts.size(), 2u);
  EXPECT_EQ(Unseal(accepts[1].bytes, kAKey), Unseal(accepts[0].bytes, kAKey));
  EXPECT_EQ(Conns(), 1);
  ExpectStateChange(loop.now() + 5000, P::stConnected, P::stIdle);
}

// Busy goes to other requests in each sender's key. Turns (an empty one too), "same" and
// keep-alives from the partner restart the 5000 ms link timer; stale or foreign ones do not.
TEST_F(PeerConnected, OtherRequestsGetBusyAndOnlyThePartnersMessagesKeepTheLinkUp) {
  const CTestTurn turn(513, 77);
  loop.Advance(1000);
  RequestFrom(*a, 0x22, kAKey);  // the partner under a new link id
  RequestFrom(*b, kBLink, kBKey);
  RequestFrom(*b, kALink, kBKey);  // the partner's link id from another address
  EXPECT_EQ(peer->peerAddr(), kA);
  From(*a, {12, 5, kALink});  // the old link id still counts
  From(*a, TurnMessage(kALink, turn));
  loop.Advance(3000);
  From(*a, {13, 5, kALink});
  EXPECT_EQ(owner.turns, (std::vector<Bytes>{Bytes{}, turn.bytes(), turn.bytes()}));
  loop.Advance(4900);
  From(*a, {14, 5, kALink});
  const LTicks last = loop.now();
  loop.Advance(1000);
  for (Bytes const& m :
       {TurnMessage(0x22, turn), Bytes{13, 1, 0x22}, Bytes{14, 1, 0x22}, Bytes{5, 1, 0x22}})
    From(*a, m);
  for (Bytes const& m :
       {TurnMessage(kALink, turn), Bytes{13, 1, kALink}, Bytes{14, 1, kALink}, Bytes{5, 1, kALink}})
    From(*b, m);
  ExpectStateChange(last + 5000, P::stConnected, P::stIdle);
  EXPECT_EQ(owner.turns.size(), 3u);
  EXPECT_TRUE(Sent(2).empty());
  EXPECT_EQ(Plain(Sent(14).at(0), kAKey), (Bytes{14, 0, mLink}));
  auto busy = Sent(7);
  ASSERT_EQ(busy.size(), 3u);
  EXPECT_EQ(busy[0].to, kA);
  EXPECT_EQ(busy[1].to, kB);
  EXPECT_EQ(Plain(busy[0], kAKey), (Bytes{7, 0, 0x22}));
  EXPECT_EQ(Plain(busy[1], kBKey), (Bytes{7, 0, kBLink}));
  EXPECT_EQ(Plain(busy[2], kBKey), (Bytes{7, 0, kALink}));
}

// Beacons go in the handshake key with link 0 and the second value's low half; one already
// waiting is not queued twice. Only whole ones with link 0 from the partner count, the second
// value sign-extended, unless its top byte is 0x7F.
TEST_F(PeerConnected, BeaconsBothWaysOnlyInAConnection) {
  ASSERT_TRUE(peer->Beacon(0xDEADBEEFu, 0x1234567880000000ull));
  InFlight();
  EXPECT_TRUE(peer->Beacon(6, 7));
  EXPECT_TRUE(peer->Beacon(6, 7)) << "already waiting counts as queued";
  EXPECT_TRUE(peer->Beacon(6, 7 | 1ull << 32)) << "differs above what travels";
  Release();
  EXPECT_TRUE(peer->Beacon(6, 7)) << "once it went out, the same pair goes again";
  loop.RunUntilIdle();
  auto sent = Sent(1);
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0].to, kA);
  EXPECT_EQ(Plain(sent[0], kSeed), (Bytes{1, 0, 0, 0xDE, 0xAD, 0xBE, 0xEF, 0x80, 0, 0, 0}));
  EXPECT_EQ(Plain(sent[3], kSeed), (Bytes{1, 0, 0, 0, 0, 0, 6, 0, 0, 0, 7}));

  auto beacon = [](std::uint8_t link, std::uint8_t first, std::uint8_t top, std::uint8_t low) {
    return Bytes{1, 0x3C, link, 0, 0, 0, first, top, 0, 0, low};
  };
  From(*b, beacon(0, 1, 0, 2));
  From(*a, beacon(1, 3, 0, 4));
  From(*a, {1, 0x3C, 0, 0, 0, 0, 5, 0, 0, 0});  // one byte short
  From(*a, beacon(0, 6, 0x7F, 1));
  From(*a, beacon(0, 7, 0, 8));
  From(*a, beacon(0, 9, 0x80, 0));
  From(*a, {5, 1, kALink});  // the partner closes
  ASSERT_EQ(peer->state(), P::stIdle);
  From(*a, beacon(0, 10, 0, 11));
  EXPECT_FALSE(peer->Beacon(1, 2));
  EXPECT_EQ(owner.bcons, (Bcons{{7, 8}, {9, 0xFFFFFFFF80000000ull}}));
}

// A full turn goes at least every 1000 ms, "same" otherwise, a keep-alive after 2000 ms of
// nothing; turns handed over during one send go as one message built from the last.
TEST_F(PeerConnected, FullTurnEverySecondOtherwiseSameOneMessagePerSent) {
  std::size_t mark = net.mLog.size();
  const LTicks t0 = loop.now();
  for (LTicks t = 0; t <= 3000; t += 250) {
    peer->SendTurnA(CTestTurn(40, 5));
    if (t == 2000) From(*a, {14, 1, kALink});
    loop.Advance(250);
  }
  EXPECT_EQ(Times(Sent(12, mark)), (Ticks{t0, t0 + 1000, t0 + 2000, t0 + 3000}));
  EXPECT_EQ(Sent(13, mark).size(), 9u);
  EXPECT_TRUE(Sent(14, mark).empty()) << "turn messages make keep-alives moot";

  mark = net.mLog.size();
  CTestTurn turn(39, 5);  // shorter, equal in the bytes both hold
  peer->SendTurnA(turn);
  peer->SendTurnA(turn);
  turn.data()[4] ^= 0xFF;
  peer->SendTurnA(turn);
  const LTicks last = loop.now();
  loop.Advance(2000);
  auto sent = Sent(-1, mark);
  ASSERT_EQ(Types(sent), (Bytes{12, 13, 12, 14}));
  EXPECT_EQ(Plain(sent[0], kAKey), TurnMessage(mLink, CTestTurn(39, 5)));
  EXPECT_EQ(sent[3].at, last + 2000);

  mark = net.mLog.size();
  net.mHoldSends = true;
  for (std::uint8_t i = 0; i <= 3; ++i) peer->SendTurnA(CTestTurn(16, i));  // 0 is in flight
  net.ReleaseSends();
  loop.RunUntilIdle();
  sent = Sent(-1, mark);
  ASSERT_EQ(Types(sent), (Bytes{12, 12}));
  EXPECT_EQ(Plain(sent[0], kAKey), TurnMessage(mLink, CTestTurn(16, 0))) << "in flight untouched";
  EXPECT_EQ(Plain(sent[1], kAKey), TurnMessage(mLink, CTestTurn(16, 3)));
}

// A close goes before the link's next request and any answer; a beacon queued in the connection
// is dropped once it is over.
TEST_F(PeerConnected, CloseGoesFirstAndBeaconsOutsideAConnectionAreDropped) {
  InFlight();
  ASSERT_TRUE(peer->Beacon(1, 2));
  RequestFrom(*b, kBLink, kBKey);  // a third party: busy
  peer->Connect(kB, Str("bpw"));   // closes the link to A, then requests B
  EXPECT_EQ(Release(), (Bytes{12, 5, 4, 7}));
}

// A turn goes before a keep-alive, which goes before an accept; a turn message takes a
// keep-alive that fell due along.
TEST_F(PeerConnected, TurnGoesBeforeKeepAliveWhichGoesBeforeAccept) {
  InFlight();
  loop.Advance(2000);              // a keep-alive falls due
  RequestFrom(*a, kALink, kAKey);  // the partner repeats its request: an accept too
  EXPECT_EQ(Release(), (Bytes{12, 14, 6}));
  InFlight();
  loop.Advance(2000);  // a keep-alive again, with a turn and an accept
  RequestFrom(*a, kALink, kAKey);
  peer->SendTurnA(CTestTurn(4, 1));
  EXPECT_EQ(Release(), (Bytes{12, 12, 6}));
}

// Deny, busy and refusal, in that order, after the link's own messages and before a beacon.
TEST_F(PeerConnected, AnswersToThirdPartiesGoAfterTheLinksOwnMessagesAndBeforeABeacon) {
  owner.onConn = [] {};
  InFlight();
  ASSERT_TRUE(peer->Beacon(1, 2));
  RequestFrom(*b, kBLink, kBKey, "wrong");
  loop.Advance(2000);  // the refusal and a keep-alive fall due
  RequestFrom(*b, kBLink, kBKey);
  RequestFrom(*a, kALink, kAKey);
  EXPECT_EQ(Release(), (Bytes{12, 14, 6, 7, 2, 1}));
  InFlight();
  From(*a, {5, 1, kALink});        // A closes
  RequestFrom(*b, kBLink, kBKey);  // taken up and denied
  peer->Accept(false);
  peer->Connect(kA, Str("apw"));   // the link's own request
  RequestFrom(*b, kBLink, kBKey);  // now a third party: busy
  EXPECT_EQ(Release(), (Bytes{12, 4, 8, 7}));
}

TEST_F(PeerConnected, NewConnectionDropsWhatTheLastOneQueued) {
  InFlight();
  ASSERT_TRUE(peer->Beacon(1, 2));
  peer->SendTurnA(CTestTurn(4, 2));
  From(*a, {5, 1, kALink});        // A closes
  RequestFrom(*b, kBLink, kBKey);  // B is accepted at once
  EXPECT_EQ(Release(), (Bytes{12, 6}));
}

}  // namespace
