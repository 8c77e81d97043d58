// The network endpoint: how it answers a request and what it keeps of received turns.
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

// A turn whose slots are never 0, so that a slot left alone differs from one zeroed.
struct STestTurn : CDmxTurn {
  STestTurn(std::uint32_t size, std::uint8_t seed, std::uint8_t start = 0) {
    SetSize(size);
    data()[0] = start;
    for (std::uint32_t i = 1; i < size; ++i)
      data()[i] = static_cast<std::uint8_t>(1 + (seed + i * 7) % 255);
  }
  Bytes bytes() const { return Bytes(data(), data() + size()); }
};

TEST(Endpoint, AcceptsAtOnceAndKeepsOnlyTheLevelsOfItsPeersStartCodeZeroTurns) {
  CTestLoop loop;
  CMemNet net{loop.world()};
  net.SetNextHost(CMemNet::Host(20));
  CKelmarNetIO io;
  net.SetNextHost(CMemNet::Host(10));
  CRecorder owner;
  auto requester = std::make_unique<CKelmarNetPeer>(&owner, loop.world());
  auto rx = [&] { return Bytes(io.rxTurn(), io.rxTurn() + CKelmarNetIO::kTurnSize); };
  auto deliver = [&](CDmxTurn const& t) {
    requester->SendTurnA(t);
    loop.Advance(1);
  };
  EXPECT_EQ(Bytes(io.txTurn().data(), io.txTurn().data() + io.txTurn().size()), Bytes(513, 0));
  EXPECT_EQ(rx(), Bytes(513, 0));
  ASSERT_TRUE(io.OpenSocket(51209));
  ASSERT_TRUE(requester->Open(0));
  requester->Connect({CMemNet::Host(20), 51209}, LString());
  loop.RunUntilIdle();  // no time passes
  ASSERT_EQ(io.peer().state(), CKelmarNetPeer::stConnected);
  EXPECT_EQ(requester->state(), CKelmarNetPeer::stConnected);

  deliver(STestTurn(513, 50, 0xCC));
  ASSERT_EQ(io.peer().recvTurn()[0], 0xCC) << "the alternate turn did reach the peer";
  EXPECT_EQ(rx(), Bytes(513, 0)) << "a turn with another start code changes nothing";
  const STestTurn full(513, 3);
  deliver(full);
  deliver(full);  // goes as a notice that nothing changed
  EXPECT_EQ(rx(), full.bytes());
  // Leaves the peer's own buffer beyond byte 99 unlike what the endpoint holds.
  deliver(STestTurn(513, 200, 0xCC));
  const STestTurn part(100, 90);
  deliver(part);
  ASSERT_EQ(io.peer().recvSize(), 100u) << "the short turn arrived as such";
  Bytes want = full.bytes();
  std::copy(part.data(), part.data() + 100, want.begin());
  EXPECT_EQ(rx(), want);

  // An event of another source is forwarded (and so comes back once), never taken as a turn.
  CRecorder stranger(nullptr, /*consume=*/false);
  LHandler::Dispatch(LEvent(CKelmarNetPeer::rConn, &stranger, &io));
  EXPECT_EQ(stranger.count(CKelmarNetPeer::rConn, &stranger), 1);

  requester.reset();  // gone without a word
  loop.Advance(6000);
  ASSERT_EQ(io.peer().state(), CKelmarNetPeer::stIdle)
      << "a listener rests when its partner is lost";
  io.peer().Close();
  EXPECT_EQ(rx(), want) << "received levels outlive the partner and the port";
}

}  // namespace
