// The pseudo-random generator behind link ids, nonces, salt bytes and padding lengths.
#pragma once

#include <cstdint>

// A lagged generator: each output is the XOR of the outputs 55 and 24 places back,
// over a table first filled by a linear congruential sequence from the seed. Not
// suitable for anything secret.
class LRandom {
 public:
  explicit LRandom(uint64_t seed);

  uint64_t random();

  // Position in the table of the word the next call replaces, 0 to 54.
  uint32_t index() const { return mIndex; }

 private:
  static constexpr uint32_t kWords = 55;
  static constexpr uint32_t kLag = 24;

  uint32_t mIndex;
  uint64_t mWords[kWords];
};
