// The turns the benchmarks send: three kinds of 513-byte turn (dark, a typical show,
// noise), the sequence number and hand-over time they carry, and the datagram a peer
// makes of one, for the raw-UDP baselines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "CDmxTurn.h"
#include "CKelmarNet.h"
#include "UKelmarWire.h"

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

// Loads a peer's turn with one of the above.
inline void Fill(CDmxTurn& turn, Turn const& from) {
  turn.SetSize(static_cast<std::uint32_t>(from.size()));
  std::memcpy(turn.data(), from.data(), from.size());
}

// Big-endian fields.
inline void PutBE(unsigned char* p, std::uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i, v >>= 8) p[i] = static_cast<unsigned char>(v);
}
inline std::uint64_t GetBE(unsigned char const* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | p[i];
  return v;
}

// What a measured turn carries so that its receiver can time it and spot gaps: a
// sequence number (4 bytes) then the CLOCK_MONOTONIC hand-over time (8 bytes), both
// big-endian. In a turn they sit in slots 1-12; in a raw datagram, at the same place
// as the compressed turn of a real one.
struct SStamp {
  static constexpr std::size_t kSize = 12;
  std::uint32_t seq = 0;
  std::int64_t ns = 0;

  // Writes the stamp at byte `at` of `buf`.
  void Put(unsigned char* buf, std::size_t at) const {
    PutBE(buf + at, seq, 4);
    PutBE(buf + at + 4, static_cast<std::uint64_t>(ns), 8);
  }
  // Reads the stamp at byte `at` of the `size` bytes of `buf`; false when they end
  // before it does.
  bool Get(unsigned char const* buf, std::size_t size, std::size_t at) {
    if (size < at + kSize) return false;
    seq = static_cast<std::uint32_t>(GetBE(buf + at, 4));
    ns = static_cast<std::int64_t>(GetBE(buf + at + 4, 8));
    return true;
  }
};
constexpr std::size_t kStampSlot = 1;  // where a turn carries its stamp

// The full turn message a peer sends for `turn`, its header left in clear (a peer
// scrambles only the header; the size is the same): what the raw baselines send.
inline std::vector<unsigned char> PakTurnImage(CDmxTurn const& turn) {
  SKelmarNetPak pak;
  const std::uint32_t n =
      UKelmarWire::BuildTurn(pak, {}, turn.data(), static_cast<std::uint16_t>(turn.size()));
  auto const* bytes = reinterpret_cast<unsigned char const*>(&pak);
  return {bytes, bytes + n};
}

// Where a raw baseline's datagram carries its stamp: at the start of the payload.
constexpr std::size_t kPakStampAt = UKelmarWire::kHeaderSize;

}  // namespace bench
