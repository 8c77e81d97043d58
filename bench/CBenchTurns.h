// The three kinds of 513-byte turn the benchmarks measure: dark, a typical show, noise.
#pragma once

#include <cstddef>
#include <random>
#include <vector>

#include "CKelmarNet.h"

namespace bench {

using Turn = std::vector<unsigned char>;

inline Turn ZeroTurn() {
  return Turn(CKelmarNet::kMaxTurnSize, 0);
}

// A lit stage: most fixtures dark, some holding equal levels across their channels,
// some in the middle of a fade, and the odd channel left at a low level.
inline Turn ShowTurn() {
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

inline Turn RandomTurn() {
  std::mt19937 rng(2024);
  Turn t(CKelmarNet::kMaxTurnSize);
  for (unsigned char& b : t) b = static_cast<unsigned char>(rng());
  return t;
}

}  // namespace bench
