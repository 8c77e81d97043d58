// Tests for the turn compression encoder and decoder.
#include "CKelmarTurnComp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes EncodeAll(const Bytes& turn) {
  CKelmarTurnComp comp;
  comp.SetTurn(turn.data(), static_cast<uint32_t>(turn.size()));
  Bytes stream;  // a runaway encoder fails, not hangs
  for (unsigned char b; comp.Encode(b) && stream.size() <= 4 * turn.size() + 8;)
    stream.push_back(b);
  return stream;
}

// Decodes into a guarded buffer of the given capacity; returns the restored turn bytes and
// counts the stream bytes taken until Decode first reports full (0: never).
Bytes DecodeAll(const Bytes& stream, uint32_t capacity = 514, size_t* taken = nullptr) {
  Bytes area(600, 0xA5);
  CKelmarTurnDecomp decomp;
  decomp.Reset(area.data(), capacity);
  for (size_t i = 0; i < stream.size(); ++i)
    if (!decomp.Decode(stream[i]) && taken && !*taken) *taken = i + 1;
  EXPECT_EQ(std::count(area.begin() + capacity, area.end(), 0xA5), 600 - capacity);
  EXPECT_EQ(area[0], capacity ? 0 : 0xA5);
  return Bytes(area.begin() + 1, area.begin() + std::max<uint32_t>(decomp.pos(), 1));
}

// Worked examples both ways, then every size from 1 to 513 of a few kinds of turn content
// must round-trip within the length bound.
TEST(TurnCodec, WorkedExamplesAndEverySizeRoundTripWithinBound) {
  Bytes zeroThenFF(513, 0xFF);
  zeroThenFF[0] = 0x00;
  const std::pair<Bytes, Bytes> examples[] = {
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
      {zeroThenFF, {0x02, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}},
      {Bytes(129, 0x42), {0x01, 0x42, 0xFF}},
      {Bytes(130, 0x42), {0x01, 0x42, 0xFF, 0x80}},  // 128 repeats per token
      {{0x01, 0x00, 0x02, 0x00}, {0x04, 0x01, 0x00, 0x02, 0x00}}};
  for (const auto& [input, stream] : examples) {
    EXPECT_EQ(EncodeAll(input), stream);
    EXPECT_EQ(DecodeAll(stream), input);
  }
  EXPECT_EQ(DecodeAll({0x85}), Bytes(6, 0x00));  // a leading repeat run repeats the seed
  EXPECT_EQ(DecodeAll({0x05, 0x01, 0x02}), (Bytes{0x01, 0x02}));  // a literal cut short
  // Contents: zeros; scattered bytes; runs of 0, 0x40 and 0x80 with stray zeros.
  for (int kind = 0; kind < 3; ++kind) {
    for (size_t n = 1; n <= 513; ++n) {
      Bytes turn(n);
      for (size_t i = 0; i < n; ++i)
        turn[i] = static_cast<unsigned char>(
            kind == 1 ? i * 2654435761u >> 11 : kind * (i / 20 % 3) * 0x20 * (i % 37 != 0));
      const Bytes stream = EncodeAll(turn);
      ASSERT_LE(stream.size(), n + (n + 126) / 127) << kind << " size " << n;
      ASSERT_EQ(DecodeAll(stream), turn) << kind << " size " << n;
    }
  }
}

TEST(TurnDecode, StopsWhenFullAndNeverWritesPastCapacity) {
  // capacity, stream, turn bytes kept, stream bytes taken until Decode reports full
  const std::tuple<uint32_t, Bytes, Bytes, size_t> cases[] = {
      {514, Bytes(10, 0xFF), Bytes(513, 0x00), 5},
      {3, {0x01, 0x09, 0x00, 0x00, 0x85, 0x85, 0x00}, {0x09, 0x00}, 3},
      {4, {0x06, 1, 2, 3, 4, 5, 6, 0x83}, {1, 2, 3}, 4},
      {0, {0xFF, 0x00, 0x02, 7, 7}, {}, 1}};
  for (const auto& [capacity, stream, kept, expectedTaken] : cases) {
    size_t taken = 0;
    EXPECT_EQ(DecodeAll(stream, capacity, &taken), kept) << capacity;
    EXPECT_EQ(taken, expectedTaken) << capacity;
  }
}

}  // namespace
