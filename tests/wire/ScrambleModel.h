// An independent model of the scrambling, bit by bit, that the wire tests check the real one
// against.
#pragma once

#include <cstdint>
#include <vector>

namespace model {

// One CRC-32 step.
inline std::uint32_t CrcStep(std::uint32_t r, std::uint8_t b) {
  r ^= b;
  for (int bit = 0; bit < 8; ++bit) r = (r & 1) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
  return r;
}

// Bytes 1 to n-1 each XORed with the register's two low bytes, the register then run over
// the plain byte.
inline std::vector<std::uint8_t> Seal(std::vector<std::uint8_t> p, std::uint32_t key,
                                      std::size_t n) {
  std::uint32_t r = key;
  for (std::size_t i = 1; i < n; ++i) {
    const std::uint8_t plain = p[i];
    p[i] ^= static_cast<std::uint8_t>(r ^ (r >> 8));
    r = CrcStep(r, plain);
  }
  return p;
}

}  // namespace model
