// The network endpoint: its turns, what it keeps of received turns, and how it answers requests.
#include "CKelmarNetIO.h"

#include <gtest/gtest.h>

#include <algorithm>
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

  Bytes Rx() const { return Bytes(io->rxTurn(), io->rxTurn() + CKelmarNetIO::kTurnSize); }

  // Opens both ends and has the requester ask; `settle` lets time pass for the answer.
  void Connect(bool settle = true) {
    ASSERT_TRUE(io->OpenSocket(kListenPort));
    ASSERT_TRUE(requester->Open(0));
    requester->Connect({CMemNet::Host(20), kListenPort}, LString());
    if (settle) loop.Advance(10);
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

TEST_F(EndpointTest, NewEndpointHoldsZerosAndAcceptsARequestAtOnce) {
  EXPECT_EQ(Content(io->txTurn()), Bytes(513, 0));
  EXPECT_EQ(Rx(), Bytes(513, 0));
  EXPECT_TRUE(io->peer().listen());
  EXPECT_EQ(io->peer().next(), io.get()) << "the peer's events travel to the endpoint";
  Connect(/*settle=*/false);
  loop.RunUntilIdle();  // no time passes
  EXPECT_EQ(requester->state(), CKelmarNetPeer::stConnected);
  EXPECT_EQ(io->peer().state(), CKelmarNetPeer::stConnected);
}

TEST_F(EndpointTest, OnlyTurnsOfItsOwnPeerOverwriteAndOnlyTheLevelsTheyCarry) {
  Connect();
  Deliver(STestTurn(513, 50, 0xCC));
  ASSERT_EQ(io->peer().recvTurn()[0], 0xCC) << "the alternate turn did reach the peer";
  EXPECT_EQ(Rx(), Bytes(513, 0)) << "a turn with another start code changes nothing";

  const STestTurn full(513, 3);
  Deliver(full);
  EXPECT_EQ(Rx(), Content(full));
  Deliver(full);  // goes as a notice that nothing changed
  EXPECT_EQ(Rx(), Content(full));
  // Leaves the peer's own buffer beyond byte 99 different from what the endpoint holds.
  Deliver(STestTurn(513, 200, 0xCC));
  EXPECT_EQ(Rx(), Content(full));

  const STestTurn part(100, 90);
  Deliver(part);
  ASSERT_EQ(io->peer().recvSize(), 100u) << "the short turn arrived as such";
  Bytes want = Content(full);
  std::copy(part.data(), part.data() + 100, want.begin());
  EXPECT_EQ(Rx(), want);

  // Forwarded, an event comes back once to its source; taken or answered, it would be consumed.
  CRecorder stranger(nullptr, /*consume=*/false);
  LHandler::Dispatch(LEvent(CKelmarNetPeer::rRecv, &stranger, io.get()));
  LHandler::Dispatch(LEvent(CKelmarNetPeer::rConn, &stranger, io.get()));
  EXPECT_EQ(stranger.count(CKelmarNetPeer::rRecv, &stranger), 1);
  EXPECT_EQ(stranger.count(CKelmarNetPeer::rConn, &stranger), 1);
  EXPECT_EQ(Rx(), want) << "a Recv-named event of another source is not a turn";
  // A status change of its peer goes back to the peer; a turn of its own peer is consumed.
  EXPECT_EQ(io->HandleEvent(LEvent(CKelmarNetPeer::rStat, &io->peer(), io.get())).mTarget,
            &io->peer());
  EXPECT_EQ(io->HandleEvent(LEvent(CKelmarNetPeer::rRecv, &io->peer(), io.get())).mName, nullptr);
}

TEST_F(EndpointTest, ReceivedLevelsSurviveASilentPartnerAndAClosedPort) {
  Connect();
  const STestTurn t(513, 3);
  Deliver(t);
  requester.reset();  // gone without a word
  loop.Advance(6000);
  ASSERT_EQ(io->peer().state(), CKelmarNetPeer::stIdle)
      << "a listener rests when its partner is lost";
  EXPECT_EQ(Rx(), Content(t));
  io->peer().Close();
  EXPECT_EQ(Rx(), Content(t));
}

}  // namespace
