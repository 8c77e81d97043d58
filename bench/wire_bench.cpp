// Speed of turn compression and packet scrambling, each against a 513-byte memcpy.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "CKelmarNet.h"

namespace {

using Turn = std::vector<unsigned char>;

Turn ZeroTurn() {
  return Turn(CKelmarNet::kMaxTurnSize, 0);
}

// A lit stage: most fixtures dark, some holding equal levels across their channels,
// some in the middle of a fade, and the odd channel left at a low level.
Turn ShowTurn() {
  Turn t(CKelmarNet::kMaxTurnSize, 0);
  for (size_t ch = 1; ch < t.size(); ++ch) {
    const size_t fixture = (ch - 1) / 8;
    const size_t k = (ch - 1) % 8;
    switch (fixture % 6) {
      case 3:
        t[ch] = k < 6 ? 0xC0 : 0x40;
        break;
      case 5:
        t[ch] = static_cast<unsigned char>(20 * k + fixture);
        break;
      default:
        break;
    }
    if (ch % 97 == 0) t[ch] = 3;
  }
  return t;
}

Turn RandomTurn() {
  std::mt19937 rng(2024);
  Turn t(CKelmarNet::kMaxTurnSize);
  for (unsigned char& b : t) b = static_cast<unsigned char>(rng());
  return t;
}

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

// Shows every run as usual and keeps the time per iteration of each for the summary.
class CapturingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        mNs.emplace_back(run.benchmark_name(), run.GetAdjustedRealTime());
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  const std::vector<std::pair<std::string, double>>& ns() const { return mNs; }

 private:
  std::vector<std::pair<std::string, double>> mNs;  // in run order
};

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

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  CapturingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const auto& ns = reporter.ns();
  double base = 0;
  for (const auto& [name, t] : ns) {
    if (name == "memcpy/513") base = t;
  }
  std::printf("\n%-20s %12s %12s\n", "operation", "ns/op", "x memcpy");
  for (const auto& [name, t] : ns) {
    if (base > 0) {
      std::printf("%-20s %12.1f %12.1f\n", name.c_str(), t, t / base);
    } else {
      std::printf("%-20s %12.1f %12s\n", name.c_str(), t, "-");
    }
  }
  return 0;
}
