// Peer behaviour against hand-built datagrams: answers to requests, receive checks, send order.
#include "CKelmarNetPeer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "CArray.h"
#include "CInternetHostU.h"
#include "CMemNet.h"
#include "CTestLoop.h"
#include "PeerTestKit.h"

namespace {

using namespace peerkit;

// ---- a listening peer and the parties that write to it --------------------------------

class PeerListening : public ::testing::Test {
 protected:
  static inline const CUDPAddr kPeer{CMemNet::Host(20), 51209};
  static inline const CUDPAddr kA{CMemNet::Host(30), 6000};
  static inline const CUDPAddr kB{CMemNet::Host(40), 7000};
  static constexpr std::uint8_t kALink = 0x21;
  static constexpr std::uint8_t kBLink = 0x44;

  PeerListening() {
    net.SetNextHost(kPeer.host);
    peer = std::make_unique<CKelmarNetPeer>(&owner, loop.world());
    owner.peer = peer.get();
    peer->SetListen(true);
    peer->SetPassword(Str("lpw"));
    EXPECT_TRUE(peer->Open(kPeer.port));
    a = std::make_unique<CFakeEnd>(net, loop.world(), kA);
    b = std::make_unique<CFakeEnd>(net, loop.world(), kB);
  }

  // A well-formed request from `end`, scrambled in the peer's key.
  void RequestFrom(CFakeEnd& end, std::uint8_t link, std::uint32_t theirKey) {
    end.Send(kPeer, Request(link, theirKey, "lpw"), kOwnKey);
    loop.RunUntilIdle();
  }
  // A message from A, scrambled as the peer expects it.
  void FromA(Bytes const& plain) {
    a->Send(kPeer, plain, plain[0] <= 2 ? kSeed : kOwnKey);
    loop.RunUntilIdle();
  }
  std::vector<CMemNet::SWire> From(int type = -1) const { return Datagrams(net, kPeer, type); }
  int Conns() const { return owner.count(CKelmarNetPeer::rConn, peer.get()); }

  // A requests and the owner accepts; mLink is the peer's own link id, read from the accept.
  void AcceptA() {
    RequestFrom(*a, kALink, kAKey);
    ASSERT_EQ(peer->state(), CKelmarNetPeer::stConnected);
    auto accepts = From(6);
    ASSERT_EQ(accepts.size(), 1u);
    mLink = Unseal(accepts[0].bytes, kAKey)[3];
    mAcceptedAt = loop.now();
  }

  const std::uint32_t kOwnKey = Digest("lpw");
  const std::uint32_t kAKey = Digest("apw");
  const std::uint32_t kBKey = Digest("bpw");
  CTestLoop loop;
  CMemNet net{loop.world()};
  COwner owner;
  std::unique_ptr<CKelmarNetPeer> peer;
  std::unique_ptr<CFakeEnd> a, b;
  std::uint8_t mLink = 0;
  LTicks mAcceptedAt = 0;
};

TEST_F(PeerListening, ValidRequestRaisesConnAndWaitsInIdleForTheOwner) {
  owner.answer = COwner::kNoAnswer;
  RequestFrom(*a, kALink, kAKey);
  EXPECT_EQ(Conns(), 1);
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stIdle);
  EXPECT_EQ(peer->peerAddr(), kA);
  loop.Advance(10000);
  EXPECT_TRUE(From().empty()) << "nothing goes out before the owner answers";
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stIdle);

  const LTicks at = loop.now();
  peer->Accept(true);
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stConnected);
  auto accepts = From(6);
  ASSERT_EQ(accepts.size(), 1u);
  EXPECT_EQ(accepts[0].to, kA);
  const Bytes acc = Unseal(accepts[0].bytes, kAKey);
  ASSERT_EQ(acc.size(), 4u);
  EXPECT_EQ(acc[2], kALink);
  loop.Advance(2000);
  auto alives = From(14);
  ASSERT_EQ(alives.size(), 1u);
  EXPECT_EQ(alives[0].at, at + 2000);
  EXPECT_EQ(alives[0].to, kA);
  EXPECT_EQ(Unseal(alives[0].bytes, kAKey)[2], acc[3]) << "the link the accept named";
}

// Requests cut short inside their password field are refused, however the receive buffer
// continues past them; 04 00 00 ff 00 is such a request for an empty password.
TEST_F(PeerListening, PasswordFieldMustEndInsideTheDatagram) {
  owner.answer = COwner::kNoAnswer;
  int taken = 0;
  for (std::string const& own : {std::string(), std::string("abc")}) {
    peer->SetPassword(Str(own));
    // A type nobody handles leaves behind what a whole request would hold past the short
    // ones: the password and its terminating zero.
    Bytes stale(40, 0);
    stale[0] = 3;
    std::copy(own.begin(), own.end(), stale.begin() + 7);
    a->SendRaw(kPeer, stale);
    loop.RunUntilIdle();
    for (std::size_t n = own.size() + 5; n <= own.size() + 7; ++n) {
      Bytes cut = Request(kALink, kAKey, own);
      cut.resize(n);
      const std::size_t refusals = From(2).size();
      a->Send(kPeer, cut, Digest(own));
      loop.Advance(2000);
      EXPECT_EQ(Conns(), taken) << "'" << own << "' in " << n << " bytes";
      EXPECT_EQ(From(2).size(), refusals + 1) << "'" << own << "' in " << n << " bytes";
    }
    a->Send(kPeer, Request(kALink, kAKey, own), Digest(own));  // the shortest whole request
    loop.RunUntilIdle();
    EXPECT_EQ(Conns(), ++taken) << "'" << own << "'";
  }
}

TEST_F(PeerListening, PasswordsUpTo760BytesFitAndLongerOnesNeverMatch) {
  owner.answer = COwner::kNoAnswer;
  const std::string pw760(760, 'x');
  peer->SetPassword(Str(pw760));
  const Bytes whole = Request(kALink, kAKey, pw760);
  ASSERT_EQ(whole.size(), 768u);
  a->Send(kPeer, whole, Digest(pw760));
  loop.RunUntilIdle();
  EXPECT_EQ(Conns(), 1);
  for (std::size_t length = 761; length <= 763; ++length) {
    const std::string pw(length, 'x');
    peer->SetPassword(Str(pw));
    // As much of the password as a datagram holds, with no room left for its terminator.
    const Bytes full = Request(kALink, kAKey, std::string(761, 'x'), 0);
    ASSERT_EQ(full.size(), 768u);
    const std::size_t refusals = From(2).size();
    a->Send(kPeer, full, Digest(pw));
    loop.Advance(2000);
    EXPECT_EQ(Conns(), 1) << length;
    EXPECT_EQ(From(2).size(), refusals + 1) << length;
  }
}

TEST_F(PeerListening, WrongPasswordsWithin2sGiveOneRefusalToTheFirstSource) {
  const LTicks t0 = loop.now();
  for (int i = 0; i < 10; ++i) {
    CFakeEnd& end = (i % 2) ? *b : *a;
    end.Send(kPeer, Request(kALink, kAKey, "wrong"), kOwnKey);
    loop.Advance(150);
  }
  loop.Advance(t0 + 1999 - loop.now());
  EXPECT_TRUE(From(2).empty());
  loop.Advance(1);
  auto refusals = From(2);
  ASSERT_EQ(refusals.size(), 1u);
  EXPECT_EQ(refusals[0].at, t0 + 2000);
  EXPECT_EQ(refusals[0].to, kA);
  const Bytes r = Unseal(refusals[0].bytes, kSeed);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[2], 0);
  loop.Advance(5000);
  EXPECT_EQ(From(2).size(), 1u);
  EXPECT_EQ(Conns(), 0);

  b->Send(kPeer, Request(kBLink, kBKey, "wrong"), kOwnKey);
  loop.Advance(2000);
  ASSERT_EQ(From(2).size(), 2u) << "the next refusal may follow once the first went out";
  EXPECT_EQ(From(2)[1].to, kB);
}

TEST_F(PeerListening, RequestWithAWrongPasswordOrKeyOrWhileNotListeningIsRefused) {
  struct SCase {
    std::string password;
    std::uint32_t key;
    bool listen;
  };
  for (SCase const& c : {SCase{"lpw", Digest("other"), true}, SCase{"lpwx", Digest("lpw"), true},
                         SCase{"lp", Digest("lpw"), true}, SCase{"lpw", Digest("lpw"), false}}) {
    peer->SetListen(c.listen);
    const std::size_t refusals = From(2).size();
    a->Send(kPeer, Request(kALink, kAKey, c.password), c.key);
    loop.Advance(2000);
    ASSERT_EQ(From(2).size(), refusals + 1) << c.password << " " << c.listen;
    EXPECT_EQ(From(2).back().to, kA);
  }
  EXPECT_EQ(Conns(), 0);
  peer->SetListen(true);
  RequestFrom(*a, kALink, kAKey);
  EXPECT_EQ(Conns(), 1);
}

TEST_F(PeerListening, OurOwnPortOnALoopbackAddressGetsBusy) {
  for (std::uint64_t host : {0x7F000001u, 0x7F010203u}) {
    CFakeEnd self(net, loop.world(), {host, kPeer.port});
    ASSERT_TRUE(self.open());
    const std::size_t mark = net.mLog.size();
    self.Send(kPeer, Request(kBLink, kBKey, "lpw"), kOwnKey);
    loop.RunUntilIdle();
    auto busy = Datagrams(net, kPeer, 7, mark);
    ASSERT_EQ(busy.size(), 1u) << std::hex << host;
    EXPECT_EQ(busy[0].to, self.addr());
    const Bytes p = Unseal(busy[0].bytes, kBKey);
    ASSERT_EQ(p.size(), 3u);
    EXPECT_EQ(p[2], kBLink);
  }
  EXPECT_EQ(Conns(), 0);
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stIdle);

  CFakeEnd elsewhere(net, loop.world(), {0x7F000001u, 6001});
  RequestFrom(elsewhere, kBLink, kBKey);
  EXPECT_EQ(Conns(), 1) << "another port on loopback is another peer";
}

TEST_F(PeerListening, OurOwnPortOnAnInterfaceAddressGetsBusy) {
  CArray<std::uint64_t> hosts;
  CInternetHostU::GetAddress(hosts);
  if (hosts.count() == 0) GTEST_SKIP() << "this machine has no counted interface address";
  CFakeEnd self(net, loop.world(), {hosts[0], kPeer.port});
  ASSERT_TRUE(self.open());
  RequestFrom(self, kBLink, kBKey);
  auto busy = From(7);
  ASSERT_EQ(busy.size(), 1u);
  EXPECT_EQ(busy[0].to, self.addr());
  EXPECT_EQ(Unseal(busy[0].bytes, kBKey)[2], kBLink);
  EXPECT_EQ(Conns(), 0);
}

TEST_F(PeerListening, ThirdPartyGetsBusyInItsOwnKey) {
  ASSERT_NO_FATAL_FAILURE(AcceptA());
  RequestFrom(*b, kBLink, kBKey);
  RequestFrom(*b, kALink, kBKey);  // the partner's link id from another address
  auto busy = From(7);
  ASSERT_EQ(busy.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(busy[i].to, kB);
    const Bytes p = Unseal(busy[i].bytes, kBKey);
    ASSERT_EQ(p.size(), 3u);
    EXPECT_EQ(p[2], i == 0 ? kBLink : kALink);
  }
  EXPECT_EQ(From(6).size(), 1u);
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stConnected);
  EXPECT_EQ(peer->peerAddr(), kA);
  EXPECT_EQ(Conns(), 1);
  loop.Advance(2000);
  auto alives = From(14);
  ASSERT_EQ(alives.size(), 1u);
  EXPECT_EQ(alives[0].to, kA) << "the connection goes on undisturbed";
}

TEST_F(PeerListening, CrossedRequestFromThePeerWeAreRequestingIsTakenUp) {
  peer->Connect(kA, Str("apw"));
  loop.RunUntilIdle();
  ASSERT_EQ(peer->state(), CKelmarNetPeer::stConnecting);
  const std::uint8_t requestLink = Unseal(From(4).at(0).bytes, kAKey)[2];
  RequestFrom(*a, kALink, kAKey);
  EXPECT_EQ(Conns(), 1);
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stConnected);
  auto accepts = From(6);
  ASSERT_EQ(accepts.size(), 1u);
  const Bytes acc = Unseal(accepts[0].bytes, kAKey);
  EXPECT_EQ(acc[2], kALink);
  EXPECT_EQ(acc[3], static_cast<std::uint8_t>(requestLink + 1)) << "a new link for a new request";
}

TEST_F(PeerListening, RepeatedRequestFromThePartnerGetsAFreshAcceptAndRestartsItsTimers) {
  ASSERT_NO_FATAL_FAILURE(AcceptA());
  const LTicks t0 = mAcceptedAt;
  loop.Advance(1500);
  RequestFrom(*a, kALink, kAKey);
  auto accepts = From(6);
  ASSERT_EQ(accepts.size(), 2u);
  EXPECT_EQ(accepts[1].at, t0 + 1500);
  const Bytes acc = Unseal(accepts[1].bytes, kAKey);
  EXPECT_EQ(acc[2], kALink);
  EXPECT_EQ(acc[3], mLink);
  EXPECT_EQ(Conns(), 1) << "not taken up as new";

  loop.Advance(1999);
  EXPECT_TRUE(From(14).empty()) << "keep-alive timer restarted by the request";
  loop.Advance(1);
  EXPECT_EQ(From(14).size(), 1u);
  loop.Advance(2999);
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stConnected) << "link timer restarted by the request";
  loop.Advance(1);
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stIdle);
}

TEST_F(PeerListening, PartnerRequestUnderANewLinkIdGetsBusy) {
  ASSERT_NO_FATAL_FAILURE(AcceptA());
  RequestFrom(*a, 0x22, kAKey);
  auto busy = From(7);
  ASSERT_EQ(busy.size(), 1u);
  EXPECT_EQ(busy[0].to, kA);
  EXPECT_EQ(Unseal(busy[0].bytes, kAKey)[2], 0x22);
  EXPECT_EQ(From(6).size(), 1u);
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stConnected);
  a->Send(kPeer, TurnMessage(kALink, CTestTurn(6, 1)), kOwnKey);
  loop.RunUntilIdle();
  EXPECT_EQ(owner.turns.size(), 1u) << "the old link id still counts";
}

TEST_F(PeerListening, DenialGoesToTheRequesterInItsKey) {
  owner.answer = COwner::kDeny;
  RequestFrom(*a, kALink, kAKey);
  auto denials = From(8);
  ASSERT_EQ(denials.size(), 1u);
  EXPECT_EQ(denials[0].to, kA);
  const Bytes p = Unseal(denials[0].bytes, kAKey);
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[2], kALink);
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stIdle);
  loop.Advance(10000);
  EXPECT_EQ(From().size(), 1u);
}

TEST_F(PeerListening, SecondDenialBeforeTheFirstWentOutKeepsTheFirst) {
  owner.answer = COwner::kDeny;
  CFakeEnd self(net, loop.world(), {0x7F000001u, kPeer.port});
  net.mHoldSends = true;
  RequestFrom(self, 0x31, kBKey);  // its busy reply now holds the port
  RequestFrom(*a, kALink, kAKey);  // denied; the denial waits for the port
  RequestFrom(*b, kBLink, kBKey);  // denied again before the first denial went out
  EXPECT_EQ(Conns(), 2);
  net.ReleaseSends();
  loop.RunUntilIdle();
  auto sent = From();
  ASSERT_EQ(Types(sent), (Bytes{7, 8}));
  EXPECT_EQ(sent[1].to, kA);
  EXPECT_EQ(Unseal(sent[1].bytes, kAKey)[2], kALink);
}

TEST_F(PeerListening, NewRequestBeforeTheAnswerRedirectsTheAccept) {
  owner.answer = COwner::kNoAnswer;
  RequestFrom(*a, kALink, kAKey);
  RequestFrom(*b, kBLink, kBKey);
  EXPECT_EQ(Conns(), 2);
  EXPECT_EQ(peer->peerAddr(), kB);
  peer->Accept(true);
  auto sent = From();
  ASSERT_EQ(Types(sent), (Bytes{6}));
  EXPECT_EQ(sent[0].to, kB);
  EXPECT_EQ(Unseal(sent[0].bytes, kBKey)[2], kBLink);
}

TEST_F(PeerListening, TurnHandedOverBeforeTheAcceptGoesFirstAndTheNextTurnIsFull) {
  owner.answer = COwner::kNoAnswer;
  RequestFrom(*a, kALink, kAKey);
  const CTestTurn turn(30, 9);
  peer->SendTurnA(turn);
  EXPECT_TRUE(From().empty()) << "no turn goes out before the accept";
  peer->Accept(true);
  loop.RunUntilIdle();
  peer->SendTurnA(turn);
  loop.RunUntilIdle();
  peer->SendTurnA(turn);
  loop.RunUntilIdle();
  auto sent = From();
  ASSERT_EQ(Types(sent), (Bytes{12, 6, 12, 13}));
  EXPECT_EQ(TurnPayload(sent[2].bytes), Content(turn));
}

TEST_F(PeerListening, TakingUpARequestDropsPendingTurnsAndForcesAFullOne) {
  ASSERT_NO_FATAL_FAILURE(AcceptA());
  const CTestTurn turn(20, 4);
  peer->SendTurnA(turn);
  peer->SendTurnA(turn);  // the last turn sent is now marked as known
  FromA({5, 1, kALink});
  ASSERT_EQ(peer->state(), CKelmarNetPeer::stIdle);

  owner.onConn = [&] {
    peer->SendTurnA(turn);
    peer->Accept(true);
  };
  RequestFrom(*b, kBLink, kBKey);
  auto toB = Datagrams(net, kPeer, -1);
  std::erase_if(toB, [](CMemNet::SWire const& w) { return !(w.to == kB); });
  EXPECT_EQ(Types(toB), (Bytes{12, 6})) << "a new partner gets the whole turn";

  owner.onConn = nullptr;
  b->Send(kPeer, {5, 1, kBLink}, kOwnKey);
  loop.RunUntilIdle();
  ASSERT_EQ(peer->state(), CKelmarNetPeer::stIdle);
  peer->SendTurnA(turn);  // waits: nobody to send it to
  const std::size_t mark = net.mLog.size();
  RequestFrom(*a, kALink, kAKey);
  EXPECT_EQ(Types(Datagrams(net, kPeer, -1, mark)), (Bytes{6})) << "the waiting turn is dropped";
}

// ---- a listening peer connected to A -------------------------------------------------

class PeerConnected : public PeerListening {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(AcceptA()); }
  void IdleAt(LTicks due) {
    loop.Advance(due - 1 - loop.now());
    EXPECT_EQ(peer->state(), CKelmarNetPeer::stConnected);
    loop.Advance(1);
    EXPECT_EQ(peer->state(), CKelmarNetPeer::stIdle);
  }
};

TEST_F(PeerConnected, ShortDatagramsAndUnknownTypesDoNotKeepTheLinkUp) {
  loop.Advance(500);
  FromA({14, 1, kALink});  // the last valid word from A
  for (std::uint8_t type : {14, 13, 12, 4}) {
    loop.Advance(250);
    FromA({type, 2});
  }
  for (std::uint8_t type : {0, 3, 9, 10, 11, 15, 200}) {
    loop.Advance(250);
    FromA({type, 2, kALink});
  }
  IdleAt(mAcceptedAt + 500 + 5000);
  EXPECT_TRUE(owner.turns.empty());
  EXPECT_EQ(owner.count(CKelmarNetPeer::rBcon), 0);
  EXPECT_TRUE(From(2).empty());
}

TEST_F(PeerConnected, TurnIsDecodedFromItsClearPayload) {
  const CTestTurn turn(513, 77);
  a->Send(kPeer, TurnMessage(kALink, turn), kOwnKey);
  loop.RunUntilIdle();
  ASSERT_EQ(owner.turns.size(), 1u);
  EXPECT_EQ(owner.turns[0], Content(turn));
  FromA({12, 5, kALink});  // an empty payload
  ASSERT_EQ(owner.turns.size(), 2u);
  EXPECT_TRUE(owner.turns[1].empty());
  EXPECT_EQ(peer->recvSize(), 0);
}

TEST_F(PeerConnected, SameReportsThePreviousTurnAgainAndKeepsTheLinkUp) {
  const CTestTurn turn(24, 3);
  a->Send(kPeer, TurnMessage(kALink, turn), kOwnKey);
  loop.Advance(3000);
  FromA({13, 5, kALink});
  ASSERT_EQ(owner.turns.size(), 2u);
  EXPECT_EQ(owner.turns[1], Content(turn));
  IdleAt(mAcceptedAt + 3000 + 5000);
}

TEST_F(PeerConnected, MessagesWithAStaleLinkOrFromAnotherAddressAreIgnored) {
  loop.Advance(1000);
  const CTestTurn turn(8, 1);
  a->Send(kPeer, TurnMessage(0x22, turn), kOwnKey);
  FromA({13, 1, 0x22});
  FromA({14, 1, 0x22});
  b->Send(kPeer, TurnMessage(kALink, turn), kOwnKey);
  b->Send(kPeer, {13, 1, kALink}, kOwnKey);
  b->Send(kPeer, {14, 1, kALink}, kOwnKey);
  loop.RunUntilIdle();
  EXPECT_TRUE(owner.turns.empty());
  IdleAt(mAcceptedAt + 5000);
}

TEST_F(PeerConnected, KeepAlivesKeepTheLinkUpAndSilenceEndsItAfter5s) {
  for (int i = 0; i < 4; ++i) {
    loop.Advance(4900);
    FromA({14, 1, kALink});
  }
  IdleAt(loop.now() + 5000);
  EXPECT_EQ(owner.states.back(), CKelmarNetPeer::stIdle);
}

TEST_F(PeerConnected, CloseFromThePartnerEndsTheLinkOnlyWithItsLinkId) {
  FromA({5, 1, 0x22});
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stConnected);
  b->Send(kPeer, {5, 1, kALink}, kOwnKey);
  loop.RunUntilIdle();
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stConnected);
  FromA({5, 1, kALink});
  EXPECT_EQ(peer->state(), CKelmarNetPeer::stIdle);
  const std::size_t mark = net.mLog.size();
  FromA({14, 1, kALink});
  loop.Advance(10000);
  EXPECT_TRUE(Datagrams(net, kPeer, -1, mark).empty()) << "no keep-alives after the close";
}

TEST_F(PeerConnected, BeaconsFromAnotherAddressWithALinkIdOrShortAreIgnored) {
  b->Send(kPeer, Beacon(0, 1, 2), kSeed);
  FromA(Beacon(1, 3, 4));
  Bytes cut = Beacon(0, 5, 6);
  cut.pop_back();
  FromA(cut);
  EXPECT_EQ(owner.count(CKelmarNetPeer::rBcon), 0);
  std::uint32_t first = 9;
  std::uint64_t second = 9;
  peer->GetBconRcv(first, second);
  EXPECT_EQ(first, 0u);
  EXPECT_EQ(second, 0u);
  FromA(Beacon(0, 7, 8));
  EXPECT_EQ(owner.count(CKelmarNetPeer::rBcon, peer.get()), 1);
  peer->GetBconRcv(first, second);
  EXPECT_EQ(first, 7u);
  EXPECT_EQ(second, 8u);
  FromA({5, 1, kALink});
  ASSERT_EQ(peer->state(), CKelmarNetPeer::stIdle);
  FromA(Beacon(0, 9, 10));
  peer->GetBconRcv(first, second);
  EXPECT_EQ(first, 7u) << "no beacons outside a connection";
}

TEST_F(PeerConnected, AcceptWhileConnectedChangesNothing) {
  loop.Advance(1000);
  peer->Accept(true);
  loop.Advance(1000);
  EXPECT_EQ(From(6).size(), 1u) << "no second accept";
  EXPECT_EQ(Times(From(14)), (std::vector<LTicks>{mAcceptedAt + 2000}));
  IdleAt(mAcceptedAt + 5000);
}

TEST_F(PeerConnected, SecondBusyCaseWhileOneIsPendingIsNotRecorded) {
  CFakeEnd self(net, loop.world(), {0x7F000001u, kPeer.port});
  const std::size_t mark = net.mLog.size();
  net.mHoldSends = true;
  peer->SendTurnA(CTestTurn(4, 0));  // in flight until released
  RequestFrom(*b, kBLink, kBKey);
  RequestFrom(self, 0x31, kAKey);
  net.ReleaseSends();
  loop.RunUntilIdle();
  auto sent = Datagrams(net, kPeer, -1, mark);
  ASSERT_EQ(Types(sent), (Bytes{12, 7}));
  EXPECT_EQ(sent[1].to, kB);
  EXPECT_EQ(Unseal(sent[1].bytes, kBKey)[2], kBLink);
  RequestFrom(self, 0x31, kAKey);
  auto busy = Datagrams(net, kPeer, 7, mark);
  ASSERT_EQ(busy.size(), 2u) << "once it went out, the next case is answered";
  EXPECT_EQ(busy[1].to, self.addr());
}

TEST_F(PeerConnected, BeaconsQueuedBeforeTheLinkWasLostNeverReachTheNextPartner) {
  const std::size_t mark = net.mLog.size();
  net.mHoldSends = true;
  peer->SendTurnA(CTestTurn(4, 0));  // in flight until released
  ASSERT_TRUE(peer->Beacon(1, 2));
  FromA({5, 1, kALink});
  ASSERT_EQ(peer->state(), CKelmarNetPeer::stIdle);
  RequestFrom(*b, kBLink, kBKey);
  ASSERT_EQ(peer->state(), CKelmarNetPeer::stConnected);
  net.ReleaseSends();
  loop.RunUntilIdle();
  EXPECT_EQ(Types(Datagrams(net, kPeer, -1, mark)), (Bytes{12, 6}));
}

TEST_F(PeerConnected, TurnsHandedOverWhileBusyGoAsOneBuiltFromTheLast) {
  const std::size_t mark = net.mLog.size();
  net.mHoldSends = true;
  peer->SendTurnA(CTestTurn(16, 0));  // in flight until released
  peer->SendTurnA(CTestTurn(16, 1));
  peer->SendTurnA(CTestTurn(16, 2));
  peer->SendTurnA(CTestTurn(16, 3));
  net.ReleaseSends();
  loop.RunUntilIdle();
  auto sent = Datagrams(net, kPeer, -1, mark);
  ASSERT_EQ(Types(sent), (Bytes{12, 12}));
  for (auto const& w : sent) {
    EXPECT_EQ(w.to, kA);
    EXPECT_EQ(Unseal(w.bytes, kAKey)[2], mLink);
  }
  EXPECT_EQ(TurnPayload(sent[0].bytes), Content(CTestTurn(16, 0))) << "bytes in flight untouched";
  EXPECT_EQ(TurnPayload(sent[1].bytes), Content(CTestTurn(16, 3)));
  ASSERT_EQ(owner.turns.size(), 0u);
}

TEST_F(PeerConnected, FullTurnIsRepeatedOncePerSecondWhileTurnsKeepComing) {
  const CTestTurn turn(40, 5);
  const std::size_t mark = net.mLog.size();
  const LTicks t0 = loop.now();
  for (LTicks t = 0; t <= 3000; t += 250) {
    peer->SendTurnA(turn);
    loop.Advance(250);
  }
  EXPECT_EQ(Times(Datagrams(net, kPeer, 12, mark)),
            (std::vector<LTicks>{t0, t0 + 1000, t0 + 2000, t0 + 3000}));
  EXPECT_EQ(Datagrams(net, kPeer, 13, mark).size(), 9u);
  EXPECT_TRUE(Datagrams(net, kPeer, 14, mark).empty()) << "turn messages make keep-alives moot";
}

TEST_F(PeerConnected, ShorterTurnWithEqualCommonBytesGoesInFull) {
  const std::size_t mark = net.mLog.size();
  CTestTurn turn(10, 1);
  peer->SendTurnA(turn);
  loop.RunUntilIdle();
  turn.SetSize(9);
  peer->SendTurnA(turn);
  loop.RunUntilIdle();
  peer->SendTurnA(turn);
  loop.RunUntilIdle();
  turn.data()[4] ^= 0xFF;
  peer->SendTurnA(turn);
  loop.RunUntilIdle();
  auto sent = Datagrams(net, kPeer, -1, mark);
  ASSERT_EQ(Types(sent), (Bytes{12, 12, 13, 12}));
  EXPECT_EQ(TurnPayload(sent[1].bytes), Content(CTestTurn(9, 1)));
  EXPECT_EQ(TurnPayload(sent[3].bytes), Content(turn));
}

TEST_F(PeerConnected, PendingTurnTakesTheKeepAliveAlongAndGoesBeforeTheAccept) {
  const std::size_t mark = net.mLog.size();
  const CTestTurn turn(12, 2);
  net.mHoldSends = true;
  peer->SendTurnA(turn);           // in flight until released
  loop.Advance(2000);              // a keep-alive falls due meanwhile
  RequestFrom(*a, kALink, kAKey);  // A repeats its request: an accept is due too
  peer->SendTurnA(turn);
  net.ReleaseSends();
  loop.RunUntilIdle();
  EXPECT_EQ(Types(Datagrams(net, kPeer, -1, mark)), (Bytes{12, 12, 6}));
}

TEST_F(PeerConnected, PendingRefusalGoesBeforeQueuedBeacons) {
  const std::size_t mark = net.mLog.size();
  b->Send(kPeer, Request(kBLink, kBKey, "wrong"), kOwnKey);
  loop.Advance(1999);
  net.mHoldSends = true;
  peer->SendTurnA(CTestTurn(4, 0));  // in flight until released
  ASSERT_TRUE(peer->Beacon(1, 2));
  loop.Advance(1);  // the refusal falls due
  net.ReleaseSends();
  loop.RunUntilIdle();
  auto sent = Datagrams(net, kPeer, -1, mark);
  ASSERT_EQ(Types(sent), (Bytes{12, 2, 1}));
  EXPECT_EQ(sent[1].to, kB);
  EXPECT_EQ(sent[2].to, kA);
}

}  // namespace
