// The event clock: CLOCK_MONOTONIC, or a manual time set by tests.
#include "UEventClock.h"

#include <atomic>
#include <ctime>

namespace {
std::atomic<bool> gManual{false};
std::atomic<double> gManualNow{0.0};
}  // namespace

double UEventClock::Now() {
  if (gManual.load(std::memory_order_acquire)) return gManualNow.load(std::memory_order_acquire);
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void UEventClock::UseManual(double seconds) {
  gManualNow.store(seconds, std::memory_order_release);
  gManual.store(true, std::memory_order_release);
}

void UEventClock::UseSystem() {
  gManual.store(false, std::memory_order_release);
}

bool UEventClock::manual() {
  return gManual.load(std::memory_order_acquire);
}

void UEventClock::Set(double seconds) {
  gManualNow.store(seconds, std::memory_order_release);
}
