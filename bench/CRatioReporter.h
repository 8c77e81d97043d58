// A benchmark reporter that also prints every result as a ratio to a baseline run in
// the same invocation: absolute times on shared machines are noise, ratios are figures.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

class CRatioReporter : public benchmark::ConsoleReporter {
 public:
  explicit CRatioReporter(std::string baseline) : mBaseline(std::move(baseline)) {}

  void ReportRuns(std::vector<Run> const& runs) override {
    for (Run const& run : runs)
      if (run.run_type == Run::RT_Iteration && !run.error_occurred)
        mNs.emplace_back(run.benchmark_name(), run.GetAdjustedRealTime());
    ConsoleReporter::ReportRuns(runs);
  }

  // Prints ns per operation and the ratio to the baseline, in run order.
  void PrintRatios() const {
    double base = 0;
    for (auto const& [name, t] : mNs)
      if (name == mBaseline) base = t;
    std::printf("\n%-32s %12s %12s\n", "operation", "ns/op", ("x " + mBaseline).c_str());
    for (auto const& [name, t] : mNs) {
      if (base > 0)
        std::printf("%-32s %12.1f %12.2f\n", name.c_str(), t, t / base);
      else
        std::printf("%-32s %12.1f %12s\n", name.c_str(), t, "-");
    }
  }

  // Runs the registered benchmarks with this reporter and prints the ratios.
  int Main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks(this);
    benchmark::Shutdown();
    PrintRatios();
    return 0;
  }

 private:
  std::string mBaseline;
  std::vector<std::pair<std::string, double>> mNs;  // in run order
};
