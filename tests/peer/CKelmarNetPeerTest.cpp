// Peer behaviour end to end and in the requesting role: turns, keep-alives, beacons, retries.
#include "CKelmarNetPeer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "CMemNet.h"
#include "CTestLoop.h"
#include "PeerTestKit.h"

namespace {

using namespace peerkit;
using State = CKelmarNetPeer::State;

// ---- two real peers ----------------------------------------------------------------

class PeerPair : public ::testing::Test {
 protected:
  PeerPair() {
    net.SetNextHost(CMemNet::Host(10));
    requester = std::make_unique<CKelmarNetPeer>(&rOwner, loop.world());
    net.SetNextHost(CMemNet::Host(20));
    listener = std::make_unique<CKelmarNetPeer>(&lOwner, loop.world());
    rOwner.peer = requester.get();
    lOwner.peer = listener.get();
    listener->SetListen(true);
    EXPECT_TRUE(requester->Open(0));
    EXPECT_TRUE(listener->Open(51209));
  }

  CUDPAddr listenerAddr() const { return {CMemNet::Host(20), 51209}; }
  CUDPAddr requesterAddr() const {
    return {CMemNet::Host(10), static_cast<std::int32_t>(requester->port())};
  }

  // Datagrams of `type` that crossed the net so far.
  int Sent(std::uint8_t type) const {
    int n = 0;
    for (auto const& w : net.mLog)
      if (!w.bytes.empty() && w.bytes[0] == type) ++n;
    return n;
  }

  // Connects with empty passwords; mConnectedAt is when the request went out.
  void ConnectAndSettle() {
    mConnectedAt = loop.now();
    requester->Connect(listenerAddr(), LString());
    loop.Advance(10);
    ASSERT_EQ(requester->state(), CKelmarNetPeer::stConnected);
    ASSERT_EQ(listener->state(), CKelmarNetPeer::stConnected);
  }

  CTestLoop loop;
  CMemNet net{loop.world()};
  COwner rOwner, lOwner;
  std::unique_ptr<CKelmarNetPeer> requester, listener;
  LTicks mConnectedAt = 0;
};

TEST_F(PeerPair, RequestAcceptedConnectsBothSides) {
  requester->Connect(listenerAddr(), LString());
  EXPECT_EQ(requester->state(), CKelmarNetPeer::stConnecting);
  loop.Advance(1);
  EXPECT_EQ(lOwner.count(CKelmarNetPeer::rConn, listener.get()), 1);
  EXPECT_EQ(requester->state(), CKelmarNetPeer::stConnected);
  EXPECT_EQ(listener->state(), CKelmarNetPeer::stConnected);
  EXPECT_EQ(Sent(4), 1);  // one request
  EXPECT_EQ(Sent(6), 1);  // one accept
  EXPECT_GE(rOwner.count(CKelmarNetPeer::rStat, requester.get()), 1);
}

TEST_F(PeerPair, TurnsArriveAndUnchangedTurnsGoAsSame) {
  ConnectAndSettle();
  CDmxTurn turn;
  turn.SetSize(513);
  turn.data()[1] = 255;
  turn.data()[7] = 12;
  requester->SendTurnA(turn);
  loop.Advance(1);
  ASSERT_EQ(lOwner.turns.size(), 1u);
  EXPECT_EQ(lOwner.turns[0].size(), 513u);
  EXPECT_EQ(lOwner.turns[0][1], 255);
  EXPECT_EQ(lOwner.turns[0][7], 12);
  requester->SendTurnA(turn);
  loop.Advance(1);
  EXPECT_EQ(Sent(13), 1) << "the unchanged turn goes as pakSame";
  ASSERT_EQ(lOwner.turns.size(), 2u);
  EXPECT_EQ(lOwner.turns[1], lOwner.turns[0]);
}

TEST_F(PeerPair, SilentPartnerTimesOutAndTheRequesterRetries) {
  ConnectAndSettle();
  LTicks lastHeard = 0;
  for (auto const& w : net.mLog)
    if (w.from == listenerAddr()) lastHeard = w.at;
  listener.reset();  // gone without a word
  loop.Advance(lastHeard + 4999 - loop.now());
  EXPECT_EQ(requester->state(), CKelmarNetPeer::stConnected) << "its own keep-alives do not count";
  loop.Advance(1);
  EXPECT_EQ(requester->state(), CKelmarNetPeer::stTimedOut);
  const int requests = Sent(4);
  loop.Advance(9000);
  EXPECT_EQ(Sent(4), requests + 3) << "one request every 3000 ms";
}

TEST_F(PeerPair, EachDirectionIsScrambledWithTheReceiversDigest) {
  requester->SetPassword(Str("alpha"));
  listener->SetPassword(Str("bravo"));
  requester->Connect(listenerAddr(), Str("bravo"));
  loop.Advance(1);
  ASSERT_EQ(requester->state(), CKelmarNetPeer::stConnected);
  ASSERT_EQ(listener->state(), CKelmarNetPeer::stConnected);

  auto requests = Datagrams(net, requesterAddr(), 4);
  ASSERT_EQ(requests.size(), 1u);
  const Bytes req = Unseal(requests[0].bytes, Digest("bravo"));
  EXPECT_EQ(BE32(req, 3), Digest("alpha")) << "the request names the key for the answers";
  EXPECT_EQ(std::string(req.begin() + 7, req.begin() + 13), std::string("bravo\0", 6));

  auto accepts = Datagrams(net, listenerAddr(), 6);
  ASSERT_EQ(accepts.size(), 1u);
  const Bytes acc = Unseal(accepts[0].bytes, Digest("alpha"));
  EXPECT_EQ(acc[2], req[2]) << "the accept names the requester's link";

  requester->SendTurnA(CTestTurn(20, 1));
  loop.Advance(2000);
  auto turns = Datagrams(net, requesterAddr(), 12);
  ASSERT_EQ(turns.size(), 1u);
  EXPECT_EQ(Unseal(turns[0].bytes, Digest("bravo"))[2], req[2]);
  ASSERT_EQ(lOwner.turns.size(), 1u);
  EXPECT_EQ(lOwner.turns[0], Content(CTestTurn(20, 1)));
  auto alives = Datagrams(net, listenerAddr(), 14);
  ASSERT_FALSE(alives.empty());
  EXPECT_EQ(Unseal(alives[0].bytes, Digest("alpha"))[2], acc[3]) << "the listener's own link";
}

TEST_F(PeerPair, IdleLinkIsKeptUpByKeepAlivesEvery2s) {
  ConnectAndSettle();
  loop.Advance(20000 - 10);
  EXPECT_EQ(requester->state(), CKelmarNetPeer::stConnected);
  EXPECT_EQ(listener->state(), CKelmarNetPeer::stConnected);
  EXPECT_EQ(Sent(4), 1) << "no request after the first";
  std::vector<LTicks> expected;
  for (LTicks t = 2000; t <= 20000; t += 2000) expected.push_back(mConnectedAt + t);
  EXPECT_EQ(Times(Datagrams(net, requesterAddr(), 14)), expected);
  EXPECT_EQ(Times(Datagrams(net, listenerAddr(), 14)), expected);
}

TEST_F(PeerPair, LostAcceptIsMadeGoodByTheRepeatedRequest) {
  int accepts = 0;
  net.mCopies = [&](CMemNet::SWire const& w) {
    return (w.bytes[0] == 6 && accepts++ == 0) ? 0 : 1;
  };
  const LTicks t0 = loop.now();
  requester->Connect(listenerAddr(), LString());
  loop.Advance(2999);
  EXPECT_EQ(requester->state(), CKelmarNetPeer::stConnecting);
  EXPECT_EQ(listener->state(), CKelmarNetPeer::stConnected);
  loop.Advance(1);
  EXPECT_EQ(requester->state(), CKelmarNetPeer::stConnected);
  auto requests = Datagrams(net, requesterAddr(), 4);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].at, t0 + 3000);
  const Bytes first = Unseal(requests[0].bytes, Digest(""));
  const Bytes again = Unseal(requests[1].bytes, Digest(""));
  EXPECT_EQ(again[1], first[1]) << "same nonce";
  EXPECT_EQ(again[2], first[2]) << "same link";
  EXPECT_EQ(lOwner.count(CKelmarNetPeer::rConn, listener.get()), 1) << "not taken up as new";
  EXPECT_EQ(Datagrams(net, listenerAddr(), 6).size(), 2u);
}

TEST_F(PeerPair, TurnHandedOverBeforeTheAcceptStillReachesTheRequester) {
  const CTestTurn turn(24, 40);
  lOwner.onConn = [&] {
    listener->SendTurnA(turn);  // goes out ahead of the accept
    listener->Accept(true);
  };
  requester->Connect(listenerAddr(), LString());
  loop.Advance(1);
  ASSERT_EQ(requester->state(), CKelmarNetPeer::stConnected);
  EXPECT_TRUE(rOwner.turns.empty()) << "it reached a requester still connecting";
  listener->SendTurnA(turn);
  loop.Advance(1);
  EXPECT_EQ(Types(Datagrams(net, listenerAddr())), (Bytes{12, 6, 12}));
  ASSERT_EQ(rOwner.turns.size(), 1u);
  EXPECT_EQ(rOwner.turns[0], Content(turn));
}

// ---- beacons between two connected peers --------------------------------------------

class PeerPairBeacons : public PeerPair {
 protected:
  void SetUp() override { ConnectAndSettle(); }
};

TEST_F(PeerPairBeacons, BeaconArrivesWithTheFirstWholeAndTheSecondSignExtended) {
  std::uint32_t first = 1;
  std::uint64_t second = 1;
  listener->GetBconRcv(first, second);
  EXPECT_EQ(first, 0u);
  EXPECT_EQ(second, 0u);

  ASSERT_TRUE(requester->Beacon(0xDEADBEEFu, 0x1234567880000000ull));
  loop.Advance(1);
  auto sent = Datagrams(net, requesterAddr(), 1);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].to, listenerAddr());
  const Bytes b = Unseal(sent[0].bytes, kSeed);
  ASSERT_EQ(b.size(), 11u);
  EXPECT_EQ(b[2], 0);
  EXPECT_EQ(BE32(b, 3), 0xDEADBEEFu);
  EXPECT_EQ(BE32(b, 7), 0x80000000u) << "the low half of the second value";

  EXPECT_EQ(lOwner.count(CKelmarNetPeer::rBcon, listener.get()), 1);
  listener->GetBconRcv(first, second);
  EXPECT_EQ(first, 0xDEADBEEFu);
  EXPECT_EQ(second, 0xFFFFFFFF80000000ull);
}

TEST_F(PeerPairBeacons, SecondValueWithTopByte7FIsSentButIgnored) {
  ASSERT_TRUE(requester->Beacon(5, 0x7F000001u));
  loop.Advance(1);
  EXPECT_EQ(Sent(1), 1);
  EXPECT_EQ(lOwner.count(CKelmarNetPeer::rBcon), 0);
  ASSERT_TRUE(requester->Beacon(6, 0x7E000001u));
  loop.Advance(1);
  std::uint32_t first = 0;
  std::uint64_t second = 0;
  listener->GetBconRcv(first, second);
  EXPECT_EQ(first, 6u);
  EXPECT_EQ(second, 0x7E000001u);
}

TEST_F(PeerPairBeacons, SamePairQueuedTwiceWhileWaitingGoesOnce) {
  net.mHoldSends = true;
  requester->SendTurnA(CTestTurn(4, 0));  // keeps the port busy
  EXPECT_TRUE(requester->Beacon(1, 2));
  EXPECT_TRUE(requester->Beacon(1, 2)) << "already waiting counts as queued";
  EXPECT_TRUE(requester->Beacon(1, 2 | 1ull << 32)) << "differs above the bits that travel";
  net.ReleaseSends();
  loop.Advance(1);
  EXPECT_EQ(Sent(1), 2);
  std::uint32_t first = 0;
  std::uint64_t second = 0;
  listener->GetBconRcv(first, second);
  EXPECT_EQ(first, 1u);
  EXPECT_EQ(second, 2u);
  EXPECT_TRUE(requester->Beacon(1, 2));
  loop.Advance(1);
  EXPECT_EQ(Sent(1), 3) << "once it went out, the same pair goes again";
}

TEST_F(PeerPairBeacons, NoBeaconGoesOutsideAConnection) {
  net.mHoldSends = true;
  requester->SendTurnA(CTestTurn(4, 0));  // keeps the port busy
  ASSERT_TRUE(requester->Beacon(7, 8));   // queued in the connection that ends now
  requester->Disconnect(CKelmarNetPeer::stIdle);
  EXPECT_FALSE(requester->Beacon(1, 2)) << "refused outside a connection";
  net.ReleaseSends();
  loop.Advance(1);
  ASSERT_EQ(listener->state(), CKelmarNetPeer::stIdle);
  EXPECT_FALSE(listener->Beacon(3, 4));
  requester->Connect(listenerAddr(), LString());
  loop.Advance(1000);
  ASSERT_EQ(requester->state(), CKelmarNetPeer::stConnected);
  EXPECT_EQ(Sent(1), 0);
  std::uint32_t first = 0;
  std::uint64_t second = 0;
  listener->GetBconRcv(first, second);
  EXPECT_EQ(first, 0u);
}

// ---- the requesting role against a hand-driven listener ------------------------------

class PeerRequesting : public ::testing::Test {
 protected:
  static inline const CUDPAddr kPeer{CMemNet::Host(20), 51209};
  static inline const CUDPAddr kRemote{CMemNet::Host(30), 6000};
  static inline const CUDPAddr kOther{CMemNet::Host(40), 7000};
  static constexpr std::uint8_t kRemoteLink = 0x5A;

  PeerRequesting() {
    net.SetNextHost(kPeer.host);
    peer = std::make_unique<CKelmarNetPeer>(&owner, loop.world());
    owner.peer = peer.get();
    EXPECT_TRUE(peer->Open(kPeer.port));
    remote = std::make_unique<CFakeEnd>(net, loop.world(), kRemote);
    other = std::make_unique<CFakeEnd>(net, loop.world(), kOther);
  }

  void Connect() {
    peer->Connect(kRemote, Str("rpw"));
    loop.RunUntilIdle();
  }
  // The peer's own link id, from its last request.
  std::uint8_t Link() const {
    auto requests = Datagrams(net, kPeer, 4);
    return requests.empty() ? 0 : Unseal(requests.back().bytes, kRemoteKey)[2];
  }
  // The remote's answer, scrambled as the peer expects.
  void Answer(Bytes const& plain) {
    remote->Send(kPeer, plain, plain[0] <= 2 ? kSeed : kOwnKey);
    loop.RunUntilIdle();
  }
  void ConnectAndAccept() {
    Connect();
    Answer({6, 0x11, Link(), kRemoteLink});
    ASSERT_EQ(peer->state(), CKelmarNetPeer::stConnected);
    mAcceptedAt = loop.now();
  }
  void TurnFromRemote(std::uint8_t link, CDmxTurn const& turn) {
    remote->Send(kPeer, TurnMessage(link, turn), kOwnKey);
    loop.RunUntilIdle();
  }

  const std::uint32_t kRemoteKey = Digest("rpw");  // what the peer scrambles with
  const std::uint32_t kOwnKey = Digest("");        // what it descrambles with
  CTestLoop loop;
  CMemNet net{loop.world()};
  COwner owner;
  std::unique_ptr<CKelmarNetPeer> peer;
  std::unique_ptr<CFakeEnd> remote, other;
  LTicks mAcceptedAt = 0;
};

TEST_F(PeerRequesting, RequestCarriesNonceLinkOwnDigestAndPassword) {
  peer->SetPassword(Str("mine"));
  peer->Connect(kRemote, Str("secret"));
  loop.Advance(9000);  // the first request and three repeats
  auto requests = Datagrams(net, kPeer, 4);
  ASSERT_EQ(requests.size(), 4u);
  const Bytes first = Unseal(requests[0].bytes, Digest("secret"));
  for (auto const& w : requests) {
    EXPECT_EQ(w.to, kRemote);
    const Bytes p = Unseal(w.bytes, Digest("secret"));
    ASSERT_GE(p.size(), 7u + 6 + 1);
    EXPECT_LE(p.size(), 7u + 6 + 16);
    EXPECT_EQ(p[1], first[1]) << "the nonce is kept for the repeats";
    EXPECT_EQ(p[2], first[2]);
    EXPECT_EQ(BE32(p, 3), Digest("mine"));
    EXPECT_EQ(std::string(p.begin() + 7, p.begin() + 13), "secret");
    EXPECT_EQ(Bytes(p.begin() + 13, p.end()), Bytes(p.size() - 13, 0));
  }
}

TEST_F(PeerRequesting, LongPasswordIsCutTo760BytesAndEndsInOneZero) {
  for (std::size_t length : {760u, 800u}) {
    std::string password;
    for (std::size_t i = 0; i < length; ++i) password += static_cast<char>('a' + i % 26);
    const std::size_t mark = net.mLog.size();
    peer->Connect(kRemote, Str(password));
    auto requests = Datagrams(net, kPeer, 4, mark);
    ASSERT_EQ(requests.size(), 1u);
    const Bytes p = Unseal(requests[0].bytes, Digest(password));
    ASSERT_EQ(p.size(), 768u) << length;
    EXPECT_EQ(std::string(p.begin() + 7, p.begin() + 767), password.substr(0, 760));
    EXPECT_EQ(p[767], 0);
  }
}

TEST_F(PeerRequesting, UnansweredRequestRepeatsEvery3s) {
  const LTicks t0 = loop.now();
  Connect();
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stConnecting);
  loop.Advance(2999);
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stConnecting);
  loop.Advance(1);
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stTimedOut);
  loop.Advance(6000);
  EXPECT_EQ(Times(Datagrams(net, kPeer, 4)),
            (std::vector<LTicks>{t0, t0 + 3000, t0 + 6000, t0 + 9000}));
  EXPECT_EQ(owner.states,
            (std::vector<State>{CKelmarNetPeer::stConnecting, CKelmarNetPeer::stTimedOut}));
}

TEST_F(PeerRequesting, ShortOrMismatchedAcceptIsIgnored) {
  Connect();
  const std::uint8_t link = Link();
  Answer({6, 0x11, link});  // 3 bytes: no room for the partner's link
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stConnecting);
  Answer({6, 0x11, static_cast<std::uint8_t>(link + 1), kRemoteLink});
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stConnecting);
  other->Send(kPeer, {6, 0x11, link, kRemoteLink}, kOwnKey);
  loop.RunUntilIdle();
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stConnecting);
  Answer({6, 0x11, link, kRemoteLink});
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stConnected);
}

TEST_F(PeerRequesting, AcceptNamesThePartnersLinkAndLaterAnswersAreIgnored) {
  ASSERT_NO_FATAL_FAILURE(ConnectAndAccept());
  EXPECT_EQ(owner.states.back(), CKelmarNetPeer::stConnected);
  const std::uint8_t link = Link();
  Answer({2, 0x11, 0});
  Answer({7, 0x11, link});
  Answer({8, 0x11, link});
  Answer({6, 0x11, link, 0x77});
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stConnected);
  TurnFromRemote(0x77, CTestTurn(5, 1));
  TurnFromRemote(kRemoteLink + 1, CTestTurn(5, 3));
  TurnFromRemote(kRemoteLink, CTestTurn(5, 2));
  ASSERT_EQ(owner.turns.size(), 1u) << "only the link named by the first accept counts";
  EXPECT_EQ(owner.turns[0], Content(CTestTurn(5, 2)));
}

TEST_F(PeerRequesting, BusyOrDenialShowsItsReasonAndTheRequestsGoOn) {
  for (auto [type, shown] : {std::pair{std::uint8_t{7}, CKelmarNetPeer::stBusy},
                             std::pair{std::uint8_t{8}, CKelmarNetPeer::stDenied}}) {
    Connect();
    const std::uint8_t link = Link();
    Answer({type, 0x11, static_cast<std::uint8_t>(link - 1)});
    EXPECT_EQ(peer->state(), CKelmarNetPeer::stConnecting) << "another link id";
    loop.Advance(500);
    const std::size_t mark = net.mLog.size();
    const LTicks at = loop.now();
    Answer({type, 0x11, link});
    EXPECT_EQ(peer->state(), shown);
    loop.Advance(6500);
    EXPECT_EQ(Times(Datagrams(net, kPeer, 4, mark)), (std::vector<LTicks>{at + 3000, at + 6000}));
    EXPECT_EQ(peer->state(), shown) << "the reason stays visible while retrying";
    peer->Disconnect(CKelmarNetPeer::stIdle);
  }
}

TEST_F(PeerRequesting, RefusalCountsOnlyWithLinkZeroFromThePeerAddress) {
  Connect();
  Answer({2, 0x11, 1});
  other->Send(kPeer, {2, 0x11, 0}, kSeed);
  loop.RunUntilIdle();
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stConnecting);
  const LTicks at = loop.now();
  Answer({2, 0x11, 0});
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stRefused);
  loop.Advance(3000);
  EXPECT_EQ(Datagrams(net, kPeer, 4).back().at, at + 3000);
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stRefused);
}

TEST_F(PeerRequesting, SilenceAfterConnectingRequestsAgainAtOnce) {
  ASSERT_NO_FATAL_FAILURE(ConnectAndAccept());
  loop.Advance(4999);
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stConnected);
  EXPECT_EQ(Times(Datagrams(net, kPeer, 14)),
            (std::vector<LTicks>{mAcceptedAt + 2000, mAcceptedAt + 4000}));
  loop.Advance(1);
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stTimedOut);
  auto requests = Datagrams(net, kPeer, 4);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].at, mAcceptedAt + 5000);
}

TEST_F(PeerRequesting, CloseFromThePartnerShowsClosedAndRequestsAgainAfter3s) {
  ASSERT_NO_FATAL_FAILURE(ConnectAndAccept());
  Answer({5, 0x11, kRemoteLink + 1});
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stConnected);
  other->Send(kPeer, {5, 0x11, kRemoteLink}, kOwnKey);
  loop.RunUntilIdle();
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stConnected);
  const LTicks at = loop.now();
  Answer({5, 0x11, kRemoteLink});
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stClosed);
  loop.Advance(6000);
  auto requests = Datagrams(net, kPeer, 4);
  EXPECT_EQ(Times(requests), (std::vector<LTicks>{requests[0].at, at + 3000, at + 6000}));
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stClosed);
}

TEST_F(PeerRequesting, DisconnectSendsCloseAndStopsRequesting) {
  ASSERT_NO_FATAL_FAILURE(ConnectAndAccept());
  const std::uint8_t link = Link();
  peer->Disconnect(CKelmarNetPeer::stIdle);
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stIdle);
  auto closes = Datagrams(net, kPeer, 5);
  ASSERT_EQ(closes.size(), 1u);
  EXPECT_EQ(closes[0].to, kRemote);
  const Bytes c = Unseal(closes[0].bytes, kRemoteKey);
  EXPECT_EQ(c.size(), 3u);
  EXPECT_EQ(c[2], link);
  loop.Advance(10000);
  EXPECT_EQ(Datagrams(net, kPeer, 4).size(), 1u);
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stIdle);
}

TEST_F(PeerRequesting, ClosedPeerSendsNothingUntilConnectIsCalledAgain) {
  net.mHoldSends = true;
  Connect();           // the request stays in flight
  loop.Advance(3000);  // no answer: the next request waits for the port
  peer->Close();
  net.ReleaseSends();
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stIdle);
  EXPECT_EQ(peer->port(), CKelmarNetPeer::kNoPort);
  peer->Connect(kRemote, Str("rpw"));
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stIdle) << "no port, no effect";
  ASSERT_TRUE(peer->Open(kPeer.port));
  peer->SendTurnA(CTestTurn(3, 0));  // gives the send path a chance
  loop.Advance(10000);
  EXPECT_TRUE(Datagrams(net, kPeer).empty()) << "the pending request is gone";
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stIdle);
  Connect();
  EXPECT_EQ(Datagrams(net, kPeer, 4).size(), 1u);
}

TEST_F(PeerRequesting, TurnsHandedOverWhileConnectingAreDroppedOnAccept) {
  Connect();
  peer->SendTurnA(CTestTurn(6, 2));  // waits: not connected yet
  const std::size_t mark = net.mLog.size();
  Answer({6, 0x11, Link(), kRemoteLink});
  loop.Advance(2000);
  EXPECT_EQ(Types(Datagrams(net, kPeer, -1, mark)), (Bytes{14}));
}

TEST_F(PeerRequesting, ConnectElsewhereClosesTheOldPartnerFirst) {
  ASSERT_NO_FATAL_FAILURE(ConnectAndAccept());
  const std::uint8_t link = Link();
  const std::size_t mark = net.mLog.size();
  peer->Connect(kOther, Str("opw"));
  loop.RunUntilIdle();
  auto sent = Datagrams(net, kPeer, -1, mark);
  ASSERT_EQ(Types(sent), (Bytes{5, 4}));
  EXPECT_EQ(sent[0].to, kRemote);
  EXPECT_EQ(Unseal(sent[0].bytes, kRemoteKey)[2], link);
  EXPECT_EQ(sent[1].to, kOther);
  EXPECT_EQ(Unseal(sent[1].bytes, Digest("opw"))[2], static_cast<std::uint8_t>(link + 1));
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stConnecting);
}

TEST_F(PeerRequesting, OwnerClosingWhileHandlingATurnLeavesThePeerClosed) {
  for (bool full : {true, false}) {
    ASSERT_NO_FATAL_FAILURE(ConnectAndAccept());
    owner.onRecv = [&] { peer->Close(); };
    if (full)
      TurnFromRemote(kRemoteLink, CTestTurn(3, 1));
    else
      Answer({13, 0x11, kRemoteLink});
    owner.onRecv = nullptr;
    EXPECT_EQ(peer->state(), CKelmarNetPeer::stIdle);
    EXPECT_EQ(peer->recvSize(), 0);
    const std::size_t mark = net.mLog.size();
    loop.Advance(6000);
    ASSERT_TRUE(peer->Open(kPeer.port));
    peer->SendTurnA(CTestTurn(3, 1));  // gives the send path a chance
    loop.Advance(10);
    EXPECT_TRUE(Datagrams(net, kPeer, -1, mark).empty()) << (full ? "turn" : "same");
    EXPECT_EQ(peer->state(), CKelmarNetPeer::stIdle);
  }
}

TEST_F(PeerRequesting, StatEventsMergeAndAreNotRaisedForTheSameState) {
  peer->Connect(kRemote, Str("rpw"));
  peer->Disconnect(CKelmarNetPeer::stDenied);
  loop.RunUntilIdle();
  EXPECT_EQ(owner.count(CKelmarNetPeer::rStat, peer.get()), 1);
  EXPECT_EQ(owner.states, (std::vector<State>{CKelmarNetPeer::stDenied}));
  peer->Disconnect(CKelmarNetPeer::stDenied);
  loop.RunUntilIdle();
  EXPECT_EQ(owner.count(CKelmarNetPeer::rStat, peer.get()), 1);
  peer->Close();
  loop.RunUntilIdle();
  peer->Close();
  loop.RunUntilIdle();
  EXPECT_EQ(owner.states, (std::vector<State>{CKelmarNetPeer::stDenied, CKelmarNetPeer::stIdle}));
}

}  // namespace
