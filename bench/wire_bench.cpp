// Speed of turn compression and packet scrambling, each against a 513-byte memcpy.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "CBenchTurns.h"
#include "CKelmarNet.h"
#include "CRatioReporter.h"

namespace {

using namespace bench;

void BM_Memcpy(benchmark::State& state) {
  const Turn src = RandomTurn();
  unsigned char dst[CKelmarNet::kMaxTurnSize];
  for (auto _ : state) {
    benchmark::DoNotOptimize(src.data());
    std::memcpy(dst, src.data(), src.size());
    benchmark::DoNotOptimize(dst);
    benchmark::ClobberMemory();
  }
}

void BM_EncodeData(benchmark::State& state, Turn (*make)()) {
  const Turn turn = make();
  unsigned char payload[sizeof(SKelmarNetPak::payload)];
  for (auto _ : state) {
    benchmark::DoNotOptimize(turn.data());
    uint32_t n = CKelmarNet::EncodeData(payload, turn.data(), static_cast<uint16_t>(turn.size()));
    benchmark::DoNotOptimize(n);
    benchmark::ClobberMemory();
  }
}

void BM_DecodeData(benchmark::State& state, Turn (*make)()) {
  const Turn turn = make();
  unsigned char payload[sizeof(SKelmarNetPak::payload)];
  const uint32_t len =
      CKelmarNet::EncodeData(payload, turn.data(), static_cast<uint16_t>(turn.size()));
  unsigned char dst[CKelmarNet::kTurnBufSize];
  for (auto _ : state) {
    benchmark::DoNotOptimize(payload);
    uint32_t n = CKelmarNet::DecodeData(payload, len, dst);
    benchmark::DoNotOptimize(n);
    benchmark::ClobberMemory();
  }
  if (std::memcmp(dst + 1, turn.data(), turn.size()) != 0) state.SkipWithError("bad round trip");
}

void BM_Scramble(benchmark::State& state) {
  SKelmarNetPak pak;
  const Turn fill = RandomTurn();
  std::memcpy(&pak, fill.data(), fill.size());
  std::memcpy(reinterpret_cast<unsigned char*>(&pak) + fill.size(), fill.data(),
              sizeof pak - fill.size());
  CLongCRC crc(0);
  for (auto _ : state) {
    crc.Set(CKelmarNet::kDefaultSeed);
    CKelmarNet::Encode(&pak, sizeof pak, crc);
    benchmark::DoNotOptimize(crc);
    benchmark::ClobberMemory();
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::pair<const char*, Turn (*)()> kinds[] = {
      {"zeros", ZeroTurn}, {"show", ShowTurn}, {"random", RandomTurn}};
  benchmark::RegisterBenchmark("memcpy/513", BM_Memcpy)->Unit(benchmark::kNanosecond);
  for (const auto& [name, make] : kinds) {
    benchmark::RegisterBenchmark((std::string("EncodeData/") + name).c_str(), BM_EncodeData, make)
        ->Unit(benchmark::kNanosecond);
    benchmark::RegisterBenchmark((std::string("DecodeData/") + name).c_str(), BM_DecodeData, make)
        ->Unit(benchmark::kNanosecond);
  }
  benchmark::RegisterBenchmark("Scramble/768", BM_Scramble)->Unit(benchmark::kNanosecond);

  return CRatioReporter("memcpy/513").Main(argc, argv);
}
