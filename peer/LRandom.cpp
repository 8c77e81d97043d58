// The lagged pseudo-random generator.
#include "LRandom.h"

LRandom::LRandom(uint64_t seed) : mIndex(0) {
  mWords[0] = seed;
  for (uint32_t k = 1; k < kWords; ++k) mWords[k] = mWords[k - 1] * 31415821u + 1;
}

uint64_t LRandom::random() {
  const uint32_t j = mIndex;
  const uint32_t i = j >= kLag ? j - kLag : j + (kWords - kLag);
  mWords[j] ^= mWords[i];
  mIndex = j + 1 == kWords ? 0 : j + 1;
  return mWords[j];
}
