// The network endpoint: its turns, what it keeps of received turns, and how it answers requests.
#include "CKelmarNetIO.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "CMemNet.h"
#include "CRecorder.h"
#include "CTestLoop.h"
#include "LString.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::int32_t kListenPort = 51209;

// A turn of `size` bytes with start code `start` and slots that follow from `seed`,
// never 0, so that a slot left alone is told apart from a slot overwritten with zeros.
struct STestTurn : CDmxTurn {
  STestTurn(std::uint32_t size, std::uint8_t seed, std::uint8_t start = 0) {
    SetSize(size);
    data()[0] = start;
    for (std::uint32_t i = 1; i < size; ++i)
      data()[i] = static_cast<std::uint8_t>(1 + (seed + i * 7) % 255);
  }
};

Bytes Rx(CKelmarNetIO const& io) {
  return Bytes(io.rxTurn(), io.rxTurn() + CKelmarNetIO::kTurnSize);
}

Bytes Content(CDmxTurn const& t) {
  return Bytes(t.data(), t.data() + t.size());
}

// An endpoint listening on the in-memory net and a requesting peer that talks to it.
class EndpointTest : public ::testing::Test {
 protected:
  EndpointTest() {
    net.SetNextHost(CMemNet::Host(20));
    io = std::make_unique<CKelmarNetIO>();
    net.SetNextHost(CMemNet::Host(10));
    requester = std::make_unique<CKelmarNetPeer>(&owner, loop.world());
  }

  CUDPAddr endpointAddr() const { return {CMemNet::Host(20), kListenPort}; }

  void OpenBoth() {
    ASSERT_TRUE(io->OpenSocket(kListenPort));
    ASSERT_TRUE(requester->Open(0));
  }

  void ConnectAndSettle() {
    OpenBoth();
    requester->Connect(endpointAddr(), LString());
    loop.Advance(10);
    ASSERT_EQ(requester->state(), CKelmarNetPeer::stConnected);
    ASSERT_EQ(io->peer().state(), CKelmarNetPeer::stConnected);
  }

  // Sends a turn from the requester and lets it arrive.
  void Deliver(CDmxTurn const& t) {
    requester->SendTurnA(t);
    loop.Advance(1);
  }

  CTestLoop loop;
  CMemNet net{loop.world()};
  std::unique_ptr<CKelmarNetIO> io;
  CRecorder owner;
  std::unique_ptr<CKelmarNetPeer> requester;
};

TEST_F(EndpointTest, NewEndpointHoldsTwoTurnsOfZeros) {
  EXPECT_EQ(io->txTurn().size(), 513u);
  EXPECT_EQ(Content(io->txTurn()), Bytes(513, 0));
  EXPECT_EQ(Rx(*io), Bytes(513, 0));
}

TEST_F(EndpointTest, NewEndpointListensAndOwnsItsPeer) {
  EXPECT_TRUE(io->peer().listen());
  EXPECT_EQ(io->peer().next(), io.get()) << "the peer's events travel to the endpoint";
  EXPECT_EQ(io->next(), nullptr) << "the endpoint is the top of its chain";
}

TEST_F(EndpointTest, ConnectionRequestIsAcceptedWithoutFurtherAction) {
  OpenBoth();
  requester->Connect(endpointAddr(), LString());
  loop.RunUntilIdle();  // no time passes
  EXPECT_EQ(requester->state(), CKelmarNetPeer::stConnected);
  EXPECT_EQ(io->peer().state(), CKelmarNetPeer::stConnected);
}

TEST_F(EndpointTest, FullTurnWithStartCodeZeroIsCopiedWhole) {
  ConnectAndSettle();
  const STestTurn t(513, 3);
  Deliver(t);
  EXPECT_EQ(Rx(*io), Content(t));
}

TEST_F(EndpointTest, ShortTurnOverwritesOnlyItsOwnLength) {
  ConnectAndSettle();
  const STestTurn full(513, 3);
  Deliver(full);
  // Leaves the peer's own buffer beyond byte 99 different from what the endpoint holds.
  Deliver(STestTurn(513, 200, 0xCC));
  const STestTurn part(100, 90);
  Deliver(part);
  ASSERT_EQ(io->peer().recvSize(), 100u) << "the short turn arrived as such";

  Bytes want = Content(full);
  std::copy(part.data(), part.data() + 100, want.begin());
  EXPECT_EQ(Rx(*io), want);
  EXPECT_NE(io->rxTurn()[99], full.data()[99]) << "byte 99 comes from the short turn";
  EXPECT_EQ(io->rxTurn()[100], full.data()[100]) << "byte 100 keeps the older value";
}

TEST_F(EndpointTest, UnchangedTurnKeepsTheLevels) {
  ConnectAndSettle();
  const STestTurn t(513, 3);
  Deliver(t);
  const std::size_t logged = net.mLog.size();
  Deliver(t);  // goes as a notice that nothing changed
  ASSERT_GT(net.mLog.size(), logged);
  EXPECT_EQ(Rx(*io), Content(t));
}

TEST_F(EndpointTest, AlternateStartCodeChangesNothing) {
  ConnectAndSettle();
  const STestTurn lit(513, 3);
  Deliver(lit);
  const STestTurn alternate(513, 50, 0xCC);
  Deliver(alternate);
  ASSERT_EQ(io->peer().recvSize(), 513u);
  ASSERT_EQ(io->peer().recvTurn()[0], 0xCC) << "the alternate turn did reach the peer";
  EXPECT_EQ(Rx(*io), Content(lit));
}

TEST_F(EndpointTest, AlternateStartCodeOnANewEndpointLeavesZeros) {
  ConnectAndSettle();
  Deliver(STestTurn(513, 50, 0xCC));
  ASSERT_EQ(io->peer().recvTurn()[0], 0xCC);
  EXPECT_EQ(Rx(*io), Bytes(513, 0));
}

TEST_F(EndpointTest, ReceivedLevelsSurviveThePartnerClosing) {
  ConnectAndSettle();
  const STestTurn t(513, 3);
  Deliver(t);
  requester->Disconnect(CKelmarNetPeer::stIdle);
  loop.Advance(10);
  ASSERT_EQ(io->peer().state(), CKelmarNetPeer::stIdle)
      << "a listener rests when its partner leaves";
  EXPECT_EQ(Rx(*io), Content(t));
}

TEST_F(EndpointTest, ReceivedLevelsSurviveASilentPartner) {
  ConnectAndSettle();
  const STestTurn t(513, 3);
  Deliver(t);
  requester.reset();  // gone without a word
  loop.Advance(6000);
  ASSERT_EQ(io->peer().state(), CKelmarNetPeer::stIdle);
  EXPECT_EQ(Rx(*io), Content(t));
}

TEST_F(EndpointTest, ReceivedLevelsSurviveClosingThePort) {
  ConnectAndSettle();
  const STestTurn t(513, 3);
  Deliver(t);
  io->peer().Close();
  EXPECT_EQ(Rx(*io), Content(t));
}

TEST_F(EndpointTest, OutgoingTurnReachesThePartner) {
  ConnectAndSettle();
  std::vector<Bytes> got;
  owner.mOnEvent = [&](LEvent const& e) {
    if (e.is(CKelmarNetPeer::rRecv, requester.get()))
      got.emplace_back(requester->recvTurn(), requester->recvTurn() + requester->recvSize());
  };
  io->txTurn().data()[1] = 255;
  io->txTurn().data()[512] = 7;
  io->SendTurn();
  loop.Advance(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], Content(io->txTurn()));
}

TEST_F(EndpointTest, OpenSocketFailsWhenThePortIsTaken) {
  net.SetNextHost(CMemNet::Host(20));  // the endpoint's own host
  CRecorder holderOwner;
  std::unique_ptr<CUDPPort> holder(CUDPPortIF::NewPort(&holderOwner, loop.world()));
  ASSERT_EQ(holder->Open(kListenPort, 0, 1024), 0);
  EXPECT_FALSE(io->OpenSocket(kListenPort));
  EXPECT_EQ(io->peer().port(), CKelmarNetPeer::kNoPort);
  holder.reset();
  EXPECT_TRUE(io->OpenSocket(kListenPort)) << "a later attempt tries again";
}

// Events that do not come from the endpoint's own peer.

TEST_F(EndpointTest, RecvNamedEventFromAnotherSourceIsNotTakenAsATurn) {
  ConnectAndSettle();
  const STestTurn t(513, 3);
  Deliver(t);
  CRecorder stranger(nullptr, /*consume=*/false);
  LHandler::Dispatch(LEvent(CKelmarNetPeer::rRecv, &stranger, io.get()));
  // Forwarded, it comes back once to its source; taken as a turn, it would be consumed.
  EXPECT_EQ(stranger.count(CKelmarNetPeer::rRecv, &stranger), 1);
  EXPECT_EQ(Rx(*io), Content(t));
}

TEST_F(EndpointTest, ConnNamedEventFromAnotherSourceIsNotAnswered) {
  CRecorder stranger(nullptr, /*consume=*/false);
  LHandler::Dispatch(LEvent(CKelmarNetPeer::rConn, &stranger, io.get()));
  EXPECT_EQ(stranger.count(CKelmarNetPeer::rConn, &stranger), 1);
}

TEST_F(EndpointTest, PeerEventsItDoesNotAnswerGoBackToThePeer) {
  // A status change of the peer, as the peer would raise it.
  const LEvent e(CKelmarNetPeer::rStat, &io->peer(), io.get());
  EXPECT_EQ(io->HandleEvent(e).mTarget, &io->peer());
  EXPECT_EQ(io->HandleEvent(LEvent(CKelmarNetPeer::rRecv, &io->peer(), io.get())).mName, nullptr)
      << "a turn of its own peer is consumed";
}

}  // namespace
