// Cost of one frame of a fully populated patch against the bare level conversion it performs.
//
// execute/512+512: one execute of a patch with 512 input and 512 output ports (inBase 1,
//                  inChannels 512, outBase 1, outChannels 512), on the in-memory network with
//                  no partner, so the turn is handed to the peer but not sent;
// convert/512+512: the same level arithmetic on plain arrays: 512 input values to 8-bit
//                  levels and 512 received levels to output values.
// ports/512+512:   only the port traffic of a frame on the same patch: 512 input reads and
//                  512 output writes by key, keys formatted at each access.
// The summary gives the time per operation and how many bare conversions each one costs.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "CMemNet.h"
#include "CRatioReporter.h"
#include "CTestLoop.h"
#include "QcKelmarPlugIn.h"

namespace {

constexpr int kChannels = 512;
constexpr char kExecute[] = "execute/512+512";
constexpr char kConvert[] = "convert/512+512";
constexpr char kPorts[] = "ports/512+512";

// Input values spread over and beyond 0..1, so both limits and the middle are taken.
double InputValue(int k) {
  return (k % 67) / 60.0 - 0.05;
}

// Widens a new patch to 512 ports each way and feeds its inputs; false if it did not widen.
bool Populate(QcKelmarPlugIn& plugIn) {
  plugIn.setValueForKey(double(kChannels), "inChannels");
  plugIn.setValueForKey(double(kChannels), "outChannels");
  if (plugIn.inputPorts().size() != kChannels || plugIn.outputPorts().size() != kChannels)
    return false;
  for (int k = 1; k <= kChannels; ++k)
    plugIn.setValueForInputKey(InputValue(k), "In" + std::to_string(k));
  return true;
}

void BM_Execute(benchmark::State& state) {
  CTestLoop loop;
  CMemNet net(loop.world());
  QcKelmarPlugIn plugIn;
  if (!Populate(plugIn)) return state.SkipWithError("the patch does not have 512 ports each way");

  QCPlugInContext context;
  const QCAttributes arguments;
  double time = 0;
  for (auto _ : state) {
    bool ok = plugIn.execute(&context, time, arguments);
    benchmark::DoNotOptimize(ok);
    time += 1.0 / 60;
  }
}

void BM_Ports(benchmark::State& state) {
  CTestLoop loop;
  CMemNet net(loop.world());
  QcKelmarPlugIn plugIn;
  if (!Populate(plugIn)) return state.SkipWithError("the patch does not have 512 ports each way");
  for (auto _ : state) {
    for (int k = 1; k <= kChannels; ++k)
      plugIn.setValueForOutputKey(0.5, QcKelmarPlugIn::synthOutputName(k));
    for (int k = 1; k <= kChannels; ++k) {
      QCValue v = plugIn.valueForInputKey(QcKelmarPlugIn::synthInputName(k));
      benchmark::DoNotOptimize(v);
    }
  }
}

void BM_Convert(benchmark::State& state) {
  std::vector<float> in(kChannels);
  std::vector<std::uint8_t> levels(kChannels + 1, 0);
  std::vector<std::uint8_t> rx(kChannels + 1);
  std::vector<double> out(kChannels + 1);
  for (int k = 1; k <= kChannels; ++k) {
    in[k - 1] = static_cast<float>(InputValue(k));
    rx[k] = static_cast<std::uint8_t>(k * 37);
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(in.data());
    benchmark::DoNotOptimize(rx.data());
    for (int k = 1; k <= kChannels; ++k) out[k] = double(float(rx[k] / 255.0));
    for (int k = 1; k <= kChannels; ++k) {
      const float v = std::min(in[k - 1], 1.0f);
      levels[k] = v > 0 ? static_cast<std::uint8_t>(double(v) * 255.0) : 0;
    }
    benchmark::DoNotOptimize(levels.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::RegisterBenchmark(kExecute, BM_Execute)->Unit(benchmark::kNanosecond);
  benchmark::RegisterBenchmark(kPorts, BM_Ports)->Unit(benchmark::kNanosecond);
  benchmark::RegisterBenchmark(kConvert, BM_Convert)->Unit(benchmark::kNanosecond);

  return CRatioReporter(kConvert).Main(argc, argv);
}
