// Peer behaviour end to end and in the requesting role: turns, keep-alives, beacons, retries.
#include "CKelmarNetPeer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "PeerTestKit.h"

namespace {

using namespace peerkit;
using P = CKelmarNetPeer;

// ---- two real peers: the rig's peer listens, a second one requests ------------------

class PeerPair : public PeerRig {
 protected:
  PeerPair() : PeerRig("") {
    net.SetNextHost(CMemNet::Host(10));
    requester = std::make_unique<CKelmarNetPeer>(&rOwner, loop.world());
    rOwner.peer = requester.get();
    peer->SetListen(true);
    EXPECT_TRUE(requester->Open(0));
  }
  Wires FromRequester(int type) const {
    return Sent(type, 0, {CMemNet::Host(10), static_cast<std::int32_t>(requester->port())});
  }

  COwner rOwner;
  std::unique_ptr<CKelmarNetPeer> requester;
};

TEST_F(PeerPair, RequestAcceptedConnectsBothSidesEachDirectionInTheReceiversKey) {
  requester->SetPassword(Str("alpha"));
  peer->SetPassword(Str("bravo"));
  requester->Connect(kPeer, Str("bravo"));
  loop.Advance(1);
  ASSERT_EQ(requester->state(), P::stConnected);
  const std::uint8_t link = Unseal(FromRequester(4).at(0).bytes, Digest("bravo"))[2];
  const Bytes acc = Plain(Sent(6).at(0), Digest("alpha"));
  EXPECT_EQ(acc, (Bytes{6, 0, link, acc.back()})) << "the accept names the requester's link";

  // A turn one way; keep-alives every 2000 ms hold the link up both ways.
  requester->SendTurnA(CTestTurn(20, 1));
  loop.Advance(20000 - 1);
  EXPECT_EQ(owner.turns, std::vector<Bytes>{CTestTurn(20, 1).bytes()});
  EXPECT_EQ(Sent(14).size(), 10u);
  EXPECT_EQ(Plain(Sent(14).at(0), Digest("alpha")), (Bytes{14, 0, acc[3]})) << "its own link";
  EXPECT_EQ(FromRequester(14).size(), 9u);
  EXPECT_EQ(FromRequester(4).size(), 1u);
}

// The first accept is lost, and so are the requester's keep-alives: the listener hears the
// requester last when it repeats its request.
TEST_F(PeerPair, LostAcceptIsMadeGoodByTheRepeatedRequestUnderTheSameLinkIds) {
  int accepts = 0;
  net.mCopies = [&](CMemNet::SWire const& w) {
    return (w.bytes[0] == 6 && accepts++ == 0) || (w.bytes[0] == 14 && !(w.from == kPeer)) ? 0 : 1;
  };
  const LTicks t0 = loop.now();
  requester->Connect(kPeer, LString());
  loop.Advance(2999);
  EXPECT_EQ(requester->state(), P::stConnecting);
  loop.Advance(1);
  EXPECT_EQ(requester->state(), P::stConnected);
  auto requests = FromRequester(4);
  ASSERT_EQ(Times(requests), (std::vector<LTicks>{t0, t0 + 3000}));
  const Bytes first = Unseal(requests[0].bytes, Digest(""));
  const Bytes again = Unseal(requests[1].bytes, Digest(""));
  EXPECT_EQ(Bytes(again.begin(), again.begin() + 7), Bytes(first.begin(), first.begin() + 7));
  EXPECT_EQ(owner.count(P::rConn, peer.get()), 1) << "not taken up as new";
  ASSERT_EQ(Sent(6).size(), 2u);
  EXPECT_EQ(Plain(Sent(6)[1], Digest("")), Plain(Sent(6)[0], Digest("")));
  ExpectStateChange(t0 + 3000 + 5000, P::stConnected, P::stIdle);  // the repeat restarted it
}

TEST_F(PeerPair, BeaconsCarryTheLowHalfSignExtendedGoOnceWhileWaitingAndOnlyInAConnection) {
  EXPECT_FALSE(requester->Beacon(1, 2));
  requester->Connect(kPeer, LString());
  loop.Advance(1);
  ASSERT_TRUE(requester->Beacon(0xDEADBEEFu, 0x1234567880000000ull));
  loop.Advance(1);
  EXPECT_EQ(Plain(FromRequester(1).at(0), kSeed),
            (Bytes{1, 0, 0, 0xDE, 0xAD, 0xBE, 0xEF, 0x80, 0, 0, 0}));
  EXPECT_EQ(BconRcv(*peer), (BconPair{0xDEADBEEFu, 0xFFFFFFFF80000000ull}));
  ASSERT_TRUE(requester->Beacon(5, 0x7F000001u));
  loop.Advance(1);
  EXPECT_EQ(FromRequester(1).size(), 2u) << "sent, but ignored on arrival";
  EXPECT_EQ(owner.count(P::rBcon, peer.get()), 1);

  net.mHoldSends = true;
  requester->SendTurnA(CTestTurn(4, 0));  // keeps the port busy
  EXPECT_TRUE(requester->Beacon(6, 0x7E000001u));
  EXPECT_TRUE(requester->Beacon(6, 0x7E000001u)) << "already waiting counts as queued";
  EXPECT_TRUE(requester->Beacon(6, 0x7E000001u | 1ull << 32)) << "differs above what travels";
  net.ReleaseSends();
  loop.Advance(1);
  EXPECT_EQ(FromRequester(1).size(), 4u);
  EXPECT_EQ(BconRcv(*peer), (BconPair{6, 0x7E000001u}));
  EXPECT_TRUE(requester->Beacon(6, 0x7E000001u));
  loop.Advance(1);
  EXPECT_EQ(FromRequester(1).size(), 5u) << "once it went out, the same pair goes again";
}

// ---- the requesting role against a hand-driven listener A ----------------------------

class PeerRequesting : public PeerRig {
 protected:
  static constexpr std::uint8_t kALink = 0x5A;

  PeerRequesting() : PeerRig("") {}
  void Connect() {
    peer->Connect(kA, Str("apw"));
    loop.RunUntilIdle();
  }
  // The peer's own link id, from its last request.
  std::uint8_t Link() const { return Unseal(Sent(4).back().bytes, kAKey)[2]; }
  void ConnectAndAccept() {
    Connect();
    From(*a, {6, 0x11, Link(), kALink});
    ASSERT_EQ(peer->state(), P::stConnected);
    mAcceptedAt = loop.now();
  }
};

TEST_F(PeerRequesting, UnansweredRequestRepeatsEvery3000msForEverShowingTimedOut) {
  peer->SetPassword(Str("mine"));
  const LTicks t0 = loop.now();
  peer->Connect(kA, Str("secret"));
  ExpectStateChange(t0 + 3000, P::stConnecting, P::stTimedOut);
  loop.Advance(27000);
  auto requests = Sent(4);
  ASSERT_EQ(requests.size(), 11u);
  const Bytes first = Unseal(requests[0].bytes, Digest("secret"));
  for (std::size_t i = 0; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].at, t0 + 3000 * static_cast<LTicks>(i));
    EXPECT_EQ(requests[i].to, kA);
    const Bytes p = Plain(requests[i], Digest("secret"));
    ASSERT_GE(p.size(), 7u + 6 + 1);
    EXPECT_EQ(p, Request(first[2], Digest("mine"), "secret", p.size() - 13)) << i;
    EXPECT_EQ(Unseal(requests[i].bytes, Digest("secret"))[1], first[1]) << "the nonce is kept";
  }
  EXPECT_EQ(owner.states, (std::vector<State>{P::stConnecting, P::stTimedOut}));
  peer->Connect(kA, Str(std::string(800, 'p')));  // cut to 760 bytes and one zero
  const Bytes p = Unseal(Sent(4).back().bytes, Digest(std::string(800, 'p')));
  EXPECT_EQ(std::string(p.begin() + 7, p.end()), std::string(760, 'p') + '\0');
}

TEST_F(PeerRequesting, OnlyAWholeAcceptForItsLinkFromThePeerConnectsAndTheFirstCounts) {
  Connect();
  const std::uint8_t link = Link();
  peer->SendTurnA(CTestTurn(6, 2));  // waits while connecting; the accept drops it
  From(*a, {6, 0x11, link});         // no room for the partner's link
  From(*a, {6, 0x11, static_cast<std::uint8_t>(link + 1), kALink});
  From(*b, {6, 0x11, link, kALink});
  EXPECT_EQ(peer->state(), P::stConnecting);
  const std::size_t mark = net.mLog.size();
  From(*a, {6, 0x11, link, kALink});
  for (Bytes const& later :
       {Bytes{2, 0x11, 0}, Bytes{7, 0x11, link}, Bytes{8, 0x11, link}, Bytes{6, 0x11, link, 0x77}})
    From(*a, later);
  EXPECT_EQ(peer->state(), P::stConnected);
  From(*a, TurnMessage(0x77, CTestTurn(5, 1)));
  From(*a, TurnMessage(kALink, CTestTurn(5, 2)));
  EXPECT_EQ(owner.turns, std::vector<Bytes>{CTestTurn(5, 2).bytes()});
  loop.Advance(2000);
  EXPECT_EQ(Types(Sent(-1, mark)), (Bytes{14}));
}

// Each answer shows its reason, which stays while the request repeats every 3000 ms; the
// same answer under another link id or from another address changes nothing.
TEST_F(PeerRequesting, BusyDenialRefusalAndCloseShowTheirReasonAndTheRequestsGoOn) {
  struct SCase {
    std::uint8_t type;
    bool connected;
    State shown;
  };
  for (SCase c : {SCase{7, false, P::stBusy}, SCase{8, false, P::stDenied},
                  SCase{2, false, P::stRefused}, SCase{5, true, P::stClosed}}) {
    c.connected ? ConnectAndAccept() : Connect();
    const std::uint8_t link = c.type == 2 ? 0 : c.connected ? kALink : Link();
    From(*a, {c.type, 0x11, static_cast<std::uint8_t>(link + 1)});
    From(*b, {c.type, 0x11, link});
    EXPECT_EQ(peer->state(), c.connected ? P::stConnected : P::stConnecting) << +c.type;
    const std::size_t mark = net.mLog.size();
    const LTicks at = loop.now();
    From(*a, {c.type, 0x11, link});
    loop.Advance(6500);
    EXPECT_EQ(Times(Sent(4, mark)), (std::vector<LTicks>{at + 3000, at + 6000})) << +c.type;
    EXPECT_EQ(peer->state(), c.shown);
    peer->Disconnect(P::stIdle);
  }
  const std::size_t mark = net.mLog.size();
  loop.Advance(10000);
  EXPECT_TRUE(Sent(-1, mark).empty()) << "Disconnect stops the requests";
}

TEST_F(PeerRequesting, SilentPartnerTimesOutAfter5000msAndIsRequestedAgainAtOnce) {
  ASSERT_NO_FATAL_FAILURE(ConnectAndAccept());
  ExpectStateChange(mAcceptedAt + 5000, P::stConnected, P::stTimedOut);
  EXPECT_EQ(Times(Sent(14)), (std::vector<LTicks>{mAcceptedAt + 2000, mAcceptedAt + 4000}));
  EXPECT_EQ(Times(Sent(4)).back(), mAcceptedAt + 5000);
}

TEST_F(PeerRequesting, ConnectElsewhereClosesTheOldPartnerFirst) {
  ASSERT_NO_FATAL_FAILURE(ConnectAndAccept());
  const std::uint8_t link = Link();
  const std::size_t mark = net.mLog.size();
  peer->Connect(kB, Str("bpw"));
  auto sent = Sent(-1, mark);
  ASSERT_EQ(Types(sent), (Bytes{5, 4}));
  EXPECT_EQ(sent[0].to, kA);
  EXPECT_EQ(Plain(sent[0], kAKey), (Bytes{5, 0, link}));
}

// Nothing goes out after the owner closed the peer while handling a turn (full or same), not
// even once it reopens, until Connect is called again.
TEST_F(PeerRequesting, CloseFromInsideATurnLeavesThePeerClosed) {
  for (bool full : {true, false}) {
    ASSERT_NO_FATAL_FAILURE(ConnectAndAccept());
    owner.onRecv = [&] { peer->Close(); };
    From(*a, full ? TurnMessage(kALink, CTestTurn(3, 1)) : Bytes{13, 0x11, kALink});
    owner.onRecv = nullptr;
    EXPECT_EQ(peer->state(), P::stIdle);
    EXPECT_EQ(peer->recvSize(), 0);
    const std::size_t mark = net.mLog.size();
    peer->Connect(kA, Str("apw"));  // no port, no effect
    loop.Advance(6000);
    ASSERT_TRUE(peer->Open(kPeer.port));
    peer->SendTurnA(CTestTurn(3, 1));  // gives the send path a chance
    loop.Advance(10000);
    EXPECT_TRUE(Sent(-1, mark).empty()) << full;
    EXPECT_EQ(peer->state(), P::stIdle);
  }
  const std::size_t mark = net.mLog.size();
  Connect();
  EXPECT_EQ(Types(Sent(-1, mark)), (Bytes{4}));
}

}  // namespace
