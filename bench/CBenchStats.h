// Samples and the figures the benchmarks print from them: quantiles, ratios to a
// baseline, and whether a target was met.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace bench {

// A bag of measurements (microseconds, as a rule) in arrival order.
class CBenchStats {
 public:
  void Add(double v) { mValues.push_back(v); }
  void Add(CBenchStats const& more) {
    mValues.insert(mValues.end(), more.mValues.begin(), more.mValues.end());
  }
  void Clear() { mValues.clear(); }
  void Reserve(std::size_t n) { mValues.reserve(n); }
  std::size_t count() const { return mValues.size(); }

  // The p-quantile (0..1) by nearest rank; 0 for none.
  double Quantile(double p) const {
    if (mValues.empty()) return 0;
    std::vector<double> v = mValues;
    const auto k = static_cast<std::size_t>(
        std::min<double>(static_cast<double>(v.size()) - 1, p * static_cast<double>(v.size())));
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return v[k];
  }
  double median() const { return Quantile(0.5); }
  double p99() const { return Quantile(0.99); }
  double min() const {
    return mValues.empty() ? 0 : *std::min_element(mValues.begin(), mValues.end());
  }
  double max() const {
    return mValues.empty() ? 0 : *std::max_element(mValues.begin(), mValues.end());
  }

 private:
  std::vector<double> mValues;
};

// a over its baseline b; 0 when there is no baseline.
inline double Ratio(double a, double b) {
  return b > 0 ? a / b : 0;
}

inline char const* Verdict(bool met) {
  return met ? "met" : "MISSED";
}

}  // namespace bench
