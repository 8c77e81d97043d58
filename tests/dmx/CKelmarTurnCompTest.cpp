// Tests for the turn compression encoder and decoder.
#include "CKelmarTurnComp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes EncodeAll(const Bytes& turn) {
  CKelmarTurnComp comp;
  comp.SetTurn(turn.data(), static_cast<uint32_t>(turn.size()));
  Bytes stream;
  unsigned char b;
  while (comp.Encode(b) && stream.size() <= 4 * turn.size() + 8) stream.push_back(b);
  return stream;  // a runaway encoder fails, not hangs
}

// Decodes into a full-size turn buffer and returns the restored turn bytes.
Bytes DecodeAll(const Bytes& stream) {
  unsigned char buf[514];
  CKelmarTurnDecomp decomp;
  decomp.Reset(buf, sizeof buf);
  for (unsigned char b : stream) {
    if (!decomp.Decode(b)) break;
  }
  EXPECT_EQ(buf[0], 0);
  return Bytes(buf + 1, buf + decomp.pos());
}

TEST(TurnCodec, WorkedExamplesEncodeAndDecodeBothWays) {
  Bytes startCodeThenFullSlots(513, 0xFF);
  startCodeThenFullSlots[0] = 0x00;
  const struct {
    Bytes input, stream;
  } examples[] = {
      {{}, {}},
      {{0x00}, {0x01, 0x00}},
      {{0x00, 0x00}, {0x00}},
      {{0x00, 0x00, 0x00}, {0x00, 0x80}},
      {{0x01, 0x02, 0x03}, {0x03, 0x01, 0x02, 0x03}},
      {{0x07, 0x07}, {0x01, 0x07, 0x80}},
      {{0x07, 0x07, 0x07}, {0x01, 0x07, 0x81}},
      {{0x07, 0x07, 0x09}, {0x03, 0x07, 0x07, 0x09}},
      {{0x00, 0x05, 0x05, 0x05, 0x00, 0x00, 0x09}, {0x02, 0x00, 0x05, 0x81, 0x00, 0x01, 0x09}},
      {{0x05, 0x00, 0x00, 0x00, 0x00, 0x09}, {0x01, 0x05, 0x00, 0x81, 0x01, 0x09}},
      {Bytes(513, 0x00), {0x00, 0xFF, 0xFF, 0xFF, 0xFE}},
      {startCodeThenFullSlots, {0x02, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}},
      // Long runs: 128 repeats per token.
      {Bytes(129, 0x42), {0x01, 0x42, 0xFF}},
      {Bytes(130, 0x42), {0x01, 0x42, 0xFF, 0x80}},
      {Bytes(131, 0x00), {0x00, 0xFF, 0x80}},
      {{0x01, 0x00, 0x02, 0x00}, {0x04, 0x01, 0x00, 0x02, 0x00}},
  };
  for (size_t i = 0; i < std::size(examples); ++i) {
    EXPECT_EQ(EncodeAll(examples[i].input), examples[i].stream) << "example " << i;
    EXPECT_EQ(DecodeAll(examples[i].stream), examples[i].input) << "example " << i;
  }
  // Decoding only: a literal run cut short, and a leading repeat run repeats the seed.
  EXPECT_EQ(DecodeAll({0x05, 0x01, 0x02}), (Bytes{0x01, 0x02}));
  EXPECT_EQ(DecodeAll({0x85}), Bytes(6, 0x00));
}

// Turn contents of every size from 1 to 513 must round-trip within the length bound.
TEST(TurnCodec, EverySizeOfEveryKindRestoresWithinBound) {
  for (const std::string kind : {"zeros", "constant", "random", "pairs", "show"}) {
    for (size_t n = 1; n <= 513; ++n) {
      std::mt19937 rng(static_cast<unsigned>(n) * 7919u + 17u);
      Bytes turn(n);
      for (size_t i = 0; i < n; ++i) {
        const size_t k = i % 64;  // "show": dark channels, equal levels, a fade, stray zeros
        turn[i] = static_cast<unsigned char>(kind == "constant"  ? 0xC8
                                             : kind == "random"  ? rng()
                                             : kind == "pairs"   ? 1 + (i / 2) % 250
                                             : kind == "zeros"   ? 0
                                             : i % 37 == 0       ? rng() % 3
                                             : k < 20 || k >= 52 ? 0
                                             : k < 36            ? 0x80
                                                                 : k * 5);
      }
      const Bytes stream = EncodeAll(turn);
      ASSERT_LE(stream.size(), n + (n + 126) / 127) << kind << " size " << n;
      ASSERT_EQ(DecodeAll(stream), turn) << kind << " size " << n;
    }
  }
}

// The decoder's buffer is placed inside a larger one so stray writes show up.
TEST(TurnDecode, StopsWhenFullAndNeverWritesPastCapacity) {
  const struct {
    uint32_t capacity;
    Bytes stream, kept;
    size_t taken;  // stream bytes until Decode reports full
  } cases[] = {
      {514, Bytes(10, 0xFF), Bytes(514, 0x00), 5},
      {3, {0x01, 0x09, 0x00, 0x00, 0x85, 0x85, 0x00}, {0x00, 0x09, 0x00}, 3},
      {4, {0x06, 1, 2, 3, 4, 5, 6, 0x83}, {0x00, 1, 2, 3}, 4},
      {0, {0xFF, 0x00, 0x02, 7, 7}, {}, 1},
  };
  for (const auto& c : cases) {
    unsigned char area[600];
    std::fill(std::begin(area), std::end(area), 0xA5);
    CKelmarTurnDecomp d;
    d.Reset(area, c.capacity);
    size_t taken = 0;
    for (size_t i = 0; i < c.stream.size(); ++i) {
      if (!d.Decode(c.stream[i]) && taken == 0) taken = i + 1;
    }
    EXPECT_EQ(taken, c.taken) << "capacity " << c.capacity;
    EXPECT_EQ(d.pos(), std::max<uint32_t>(c.capacity, 1)) << "capacity " << c.capacity;
    EXPECT_EQ(Bytes(area, area + c.capacity), c.kept) << "capacity " << c.capacity;
    EXPECT_TRUE(std::all_of(area + c.capacity, std::end(area), [](int v) { return v == 0xA5; }));
  }
}

}  // namespace
