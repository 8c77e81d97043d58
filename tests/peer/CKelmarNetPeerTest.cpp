// The peer in the requesting role against a hand-driven listener: answers, retries, close.
#include "CKelmarNetPeer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PeerTestKit.h"

namespace {

using namespace peerkit;

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
  LTicks mAcceptedAt = 0;
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
    SCOPED_TRACE(i);
    EXPECT_EQ(requests[i].at, t0 + 3000 * static_cast<LTicks>(i));
    EXPECT_EQ(requests[i].to, kA);
    const Bytes p = Plain(requests[i], Digest("secret"));
    ASSERT_GE(p.size(), 7u + 6 + 1);
    EXPECT_EQ(p, Request(first[2], Digest("mine"), "secret", p.size() - 13));
    EXPECT_EQ(Unseal(requests[i].bytes, Digest("secret"))[1], first[1]) << "the nonce is kept";
  }
  EXPECT_EQ(owner.states, (std::vector<State>{P::stConnecting, P::stTimedOut}));
  peer->Connect(kA, Str(std::string(800, 'p')));  // cut to 760 bytes and one zero
  const Bytes p = Unseal(Sent(4).back().bytes, Digest(std::string(800, 'p')));
  EXPECT_EQ(std::string(p.begin() + 7, p.end()), std::string(760, 'p') + '\0');
}

// Only a whole accept for its link from A connects; later answers to the request do nothing,
// and a turn handed over while connecting is dropped with the request.
TEST_F(PeerRequesting, OnlyAWholeAcceptForItsLinkFromThePeerConnectsAndTheFirstCounts) {
  Connect();
  const std::uint8_t link = Link();
  peer->SendTurnA(CTestTurn(6, 2));
  From(*a, {6, 0x11, link});  // no room for the partner's link
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
    SCOPED_TRACE(+c.type);
    c.connected ? ConnectAndAccept() : Connect();
    const std::uint8_t link = c.type == 2 ? 0 : c.connected ? kALink : Link();
    From(*a, {c.type, 0x11, static_cast<std::uint8_t>(link + 1)});
    From(*b, {c.type, 0x11, link});
    EXPECT_EQ(peer->state(), c.connected ? P::stConnected : P::stConnecting);
    const std::size_t mark = net.mLog.size();
    const LTicks at = loop.now();
    From(*a, {c.type, 0x11, link});
    loop.Advance(6500);
    EXPECT_EQ(Times(Sent(4, mark)), (Ticks{at + 3000, at + 6000}));
    EXPECT_EQ(peer->state(), c.shown);
    peer->Disconnect(P::stIdle);
  }
  const std::size_t mark = net.mLog.size();
  loop.Advance(10000);
  EXPECT_TRUE(Sent(-1, mark).empty()) << "Disconnect stops the requests";
}

// A silent partner times out after 5000 ms and is requested again at once; a Connect elsewhere
// closes the old partner first.
TEST_F(PeerRequesting, SilentPartnerTimesOutAndConnectElsewhereClosesTheOldPartnerFirst) {
  ASSERT_NO_FATAL_FAILURE(ConnectAndAccept());
  ExpectStateChange(mAcceptedAt + 5000, P::stConnected, P::stTimedOut);
  EXPECT_EQ(Times(Sent(14)), (Ticks{mAcceptedAt + 2000, mAcceptedAt + 4000}));
  EXPECT_EQ(Times(Sent(4)).back(), mAcceptedAt + 5000);
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
    SCOPED_TRACE(full);
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
    EXPECT_TRUE(Sent(-1, mark).empty());
    EXPECT_EQ(peer->state(), P::stIdle);
  }
  const std::size_t mark = net.mLog.size();
  Connect();
  EXPECT_EQ(Types(Sent(-1, mark)), (Bytes{4}));
}

// The turn handed over to the first partner is handed over again, unchanged, to the second one;
// the second must get it whole at once, not as "same" as a turn it never had. All within no
// simulated time, so no refresh of the full turn can make up for it.
TEST_F(PeerRequesting, FirstTurnToANewPartnerIsWhole) {
  const CTestTurn turn(40, 3);
  ASSERT_NO_FATAL_FAILURE(ConnectAndAccept());
  peer->SendTurnA(turn);
  loop.RunUntilIdle();
  const LTicks at = loop.now();
  peer->Connect(kB, Str("bpw"));
  loop.RunUntilIdle();
  const std::uint8_t link = Unseal(Sent(4).back().bytes, kBKey)[2];
  From(*b, {6, 0x11, link, 0x66});
  ASSERT_EQ(peer->state(), P::stConnected);
  const std::size_t mark = net.mLog.size();
  peer->SendTurnA(turn);  // as a host does on every frame
  loop.RunUntilIdle();
  auto const sent = Sent(-1, mark);
  ASSERT_EQ(Types(sent), (Bytes{12}));
  EXPECT_EQ(sent[0].to, kB);
  EXPECT_EQ(Plain(sent[0], kBKey), TurnMessage(link, turn));
  EXPECT_EQ(loop.now(), at);
}

}  // namespace
