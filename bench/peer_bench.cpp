// What a peer adds to the codec: receiving a full turn message (descramble, decode,
// dispatch to the owner) and building and sending one, each beside the codec alone.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "CBenchTurns.h"
#include "CKelmarNetPeer.h"
#include "CMemNet.h"
#include "CRatioReporter.h"
#include "CRecorder.h"
#include "CTestLoop.h"

namespace {

using namespace bench;

constexpr std::uint16_t kPeerPort = 51209;  // any port: the network is in memory

// An owner that accepts at once and copies each received turn, as an endpoint does.
class COwner : public LHandler {
 public:
  COwner() : LHandler(nullptr) {}
  CKelmarNetPeer* peer = nullptr;
  unsigned char copy[CKelmarNet::kMaxTurnSize];
  std::size_t received = 0;
  LEvent HandleEvent(LEvent const& e) override {
    if (e.is(CKelmarNetPeer::rConn)) peer->Accept(true);
    if (e.is(CKelmarNetPeer::rRecv)) {
      std::memcpy(copy, peer->recvTurn(), peer->recvSize());
      ++received;
    }
    return LEvent();
  }
};

// Two connected peers on the in-memory network; the log of datagrams is kept short.
struct SPair {
  CTestLoop loop;
  CMemNet net{loop.world()};
  COwner aOwner, bOwner;
  CKelmarNetPeer* a;
  CKelmarNetPeer* b;

  SPair() {
    net.SetNextHost(CMemNet::Host(1));
    a = new CKelmarNetPeer(&aOwner, loop.world());
    net.SetNextHost(CMemNet::Host(2));
    b = new CKelmarNetPeer(&bOwner, loop.world());
    aOwner.peer = a;
    bOwner.peer = b;
    b->SetListen(true);
    a->Open(40000);
    b->Open(kPeerPort);
    a->Connect({CMemNet::Host(2), kPeerPort}, LString());
    loop.Advance(1);
  }
  ~SPair() {
    delete a;
    delete b;
  }
};

void BM_DecodeData(benchmark::State& state) {
  const Turn turn = ShowTurn();
  unsigned char payload[sizeof(SKelmarNetPak::payload)];
  const uint32_t len = CKelmarNet::EncodeData(payload, turn.data(), uint16_t(turn.size()));
  unsigned char dst[CKelmarNet::kTurnBufSize];
  for (auto _ : state) {
    benchmark::DoNotOptimize(payload);
    benchmark::DoNotOptimize(CKelmarNet::DecodeData(payload, len, dst));
    benchmark::ClobberMemory();
  }
}

void BM_EncodeData(benchmark::State& state) {
  const Turn turn = ShowTurn();
  unsigned char payload[sizeof(SKelmarNetPak::payload)];
  for (auto _ : state) {
    benchmark::DoNotOptimize(turn.data());
    benchmark::DoNotOptimize(CKelmarNet::EncodeData(payload, turn.data(), uint16_t(turn.size())));
    benchmark::ClobberMemory();
  }
}

// A full turn message from the partner reaches b: the port copies it into b's pending
// read and b descrambles, decodes and hands the turn to its owner, which copies it.
void BM_ReceiveTurn(benchmark::State& state) {
  SPair p;
  if (p.b->state() != CKelmarNetPeer::stConnected) return state.SkipWithError("not connected");
  CDmxTurn turn;
  Fill(turn, ShowTurn());
  p.a->SendTurnA(turn);  // capture one real pakTurn as it went on the wire
  const std::vector<std::uint8_t> wire = p.net.mLog.back().bytes;
  if (wire[0] != UKelmarWire::pakTurn) return state.SkipWithError("no pakTurn captured");
  CMemPort* bPort = p.net.Find({CMemNet::Host(2), kPeerPort});
  p.loop.RunUntilIdle();
  const std::size_t before = p.bOwner.received;
  for (auto _ : state) {
    // As from the socket: the datagram is copied into b's buffer and "Read" reaches b.
    bPort->Inject({CMemNet::Host(1), 40000}, wire.data(), std::uint32_t(wire.size()));
  }
  if (p.bOwner.received - before != std::size_t(state.iterations()))
    state.SkipWithError("turns lost");
}

// a builds and sends a changed turn: compare, copy, compress, scramble the header, send.
void BM_SendTurn(benchmark::State& state) {
  SPair p;
  CDmxTurn turn;
  Fill(turn, ShowTurn());
  p.net.mDeliver = false;  // measure the sender alone
  std::uint8_t level = 0;
  for (auto _ : state) {
    turn.data()[1] = ++level;  // changed, so the whole turn goes out
    p.a->SendTurnA(turn);
    p.loop.world().DriveTimers();  // "Sent" frees the port for the next one
    if (p.net.mLog.size() > 4096) p.net.mLog.clear();
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::RegisterBenchmark("DecodeData/show", BM_DecodeData);
  benchmark::RegisterBenchmark("ReceiveTurn/show", BM_ReceiveTurn);
  benchmark::RegisterBenchmark("EncodeData/show", BM_EncodeData);
  benchmark::RegisterBenchmark("SendTurn/show", BM_SendTurn);
  return CRatioReporter("DecodeData/show").Main(argc, argv);
}
