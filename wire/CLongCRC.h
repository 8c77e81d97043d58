// The running CRC-32 register that scrambles packets and digests passwords.
#pragma once

#include <array>
#include <cstdint>

namespace kn_crc_detail {

// Entry n is the CRC-32 (reflected polynomial 0xEDB88320) of the single byte n,
// worked out bit by bit.
constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> tbl{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    tbl[n] = c;
  }
  return tbl;
}

}  // namespace kn_crc_detail

// A 32-bit register advanced over bytes by the standard table-driven CRC-32 step,
// with no complement at either end. The table is a compile-time constant, so unlike
// a table filled on first use it needs no "built" flag and no first construction.
class CLongCRC {
 public:
  static constexpr std::array<uint32_t, 256> ourTbl = kn_crc_detail::MakeTable();

  explicit CLongCRC(uint32_t init = 0xFFFFFFFFu) : mValue(init) {}

  // The register advanced over one byte.
  static constexpr uint32_t next(uint32_t reg, unsigned char byte) {
    return (reg >> 8) ^ ourTbl[(reg ^ byte) & 0xFFu];
  }

  // Runs the register over len bytes at data; len 0 leaves it unchanged.
  void Count(const void* data, uint32_t len);

  uint32_t value() const { return mValue; }
  void Set(uint32_t value) { mValue = value; }

 private:
  uint32_t mValue;
};
