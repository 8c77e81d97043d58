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

Bytes Repeat(unsigned char v, size_t n) {
  return Bytes(n, v);
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes EncodeAll(const Bytes& turn) {
  CKelmarTurnComp comp;
  comp.SetTurn(turn.data(), static_cast<uint32_t>(turn.size()));
  Bytes stream;
  unsigned char b;
  while (comp.Encode(b)) {
    stream.push_back(b);
    if (stream.size() > 4 * turn.size() + 8) break;  // a runaway encoder fails, not hangs
  }
  return stream;
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

struct Example {
  const char* name;
  Bytes input;
  Bytes stream;
};

class TurnCodecExample : public testing::TestWithParam<Example> {};

TEST_P(TurnCodecExample, EncodesToKnownStream) {
  EXPECT_EQ(EncodeAll(GetParam().input), GetParam().stream);
}

TEST_P(TurnCodecExample, KnownStreamDecodesToInput) {
  EXPECT_EQ(DecodeAll(GetParam().stream), GetParam().input);
}

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, TurnCodecExample,
    testing::Values(Example{"SingleZero", {0x00}, {0x01, 0x00}},
                    Example{"ZeroPair", {0x00, 0x00}, {0x00}},
                    Example{"ThreeZeros", {0x00, 0x00, 0x00}, {0x00, 0x80}},
                    Example{"DistinctBytes", {0x01, 0x02, 0x03}, {0x03, 0x01, 0x02, 0x03}},
                    Example{"TrailingEqualPair", {0x07, 0x07}, {0x01, 0x07, 0x80}},
                    Example{"ThreeEqual", {0x07, 0x07, 0x07}, {0x01, 0x07, 0x81}},
                    Example{"EqualPairThenOther", {0x07, 0x07, 0x09}, {0x03, 0x07, 0x07, 0x09}},
                    Example{"MixedRuns",
                            {0x00, 0x05, 0x05, 0x05, 0x00, 0x00, 0x09},
                            {0x02, 0x00, 0x05, 0x81, 0x00, 0x01, 0x09}},
                    Example{"FourZerosInside",
                            {0x05, 0x00, 0x00, 0x00, 0x00, 0x09},
                            {0x01, 0x05, 0x00, 0x81, 0x01, 0x09}},
                    Example{"FullTurnOfZeros", Repeat(0x00, 513), {0x00, 0xFF, 0xFF, 0xFF, 0xFE}},
                    Example{"StartCodeThenFullSlots",
                            Concat({{0x00}, Repeat(0xFF, 512)}),
                            {0x02, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}},
                    // Rules for long runs: 128 repeats per token, 127 bytes per literal header.
                    Example{"Equal129", Repeat(0x42, 129), {0x01, 0x42, 0xFF}},
                    Example{"Equal130", Repeat(0x42, 130), {0x01, 0x42, 0xFF, 0x80}},
                    Example{"Zeros131", Repeat(0x00, 131), {0x00, 0xFF, 0x80}},
                    Example{"SingleZerosStayLiteral",
                            {0x01, 0x00, 0x02, 0x00},
                            {0x04, 0x01, 0x00, 0x02, 0x00}}),
    [](const testing::TestParamInfo<Example>& info) { return std::string(info.param.name); });

class TurnEncodeTest : public testing::Test {};

TEST_F(TurnEncodeTest, EmptyInputEndsAtOnce) {
  CKelmarTurnComp comp;
  unsigned char b = 0x5A;
  comp.SetTurn(nullptr, 0);
  EXPECT_FALSE(comp.Encode(b));
  EXPECT_EQ(b, 0x5A);
}

TEST_F(TurnEncodeTest, LiteralLongerThan127IsCut) {
  Bytes input;
  for (int i = 1; i <= 200; ++i) input.push_back(static_cast<unsigned char>(i));
  Bytes expected = {127};
  expected.insert(expected.end(), input.begin(), input.begin() + 127);
  expected.push_back(73);
  expected.insert(expected.end(), input.begin() + 127, input.end());
  EXPECT_EQ(EncodeAll(input), expected);
}

TEST_F(TurnEncodeTest, SetTurnRestartsAfterPartialEncode) {
  const Bytes first = {1, 2, 3, 4, 5};
  const Bytes second = {7, 7, 7};
  CKelmarTurnComp comp;
  unsigned char b;
  comp.SetTurn(first.data(), 5);
  ASSERT_TRUE(comp.Encode(b));
  ASSERT_TRUE(comp.Encode(b));
  comp.SetTurn(second.data(), 3);
  Bytes stream;
  while (comp.Encode(b)) stream.push_back(b);
  EXPECT_EQ(stream, (Bytes{0x01, 0x07, 0x81}));
  EXPECT_FALSE(comp.Encode(b));
}

// Turn contents of every size from 1 to 513 must round-trip within the length bound.
class TurnRoundTrip : public testing::TestWithParam<const char*> {
 protected:
  static Bytes Make(const std::string& kind, size_t n) {
    std::mt19937 rng(static_cast<unsigned>(n) * 7919u + 17u);
    Bytes t(n);
    for (size_t i = 0; i < n; ++i) {
      if (kind == "zeros") t[i] = 0;
      if (kind == "constant") t[i] = 0xC8;
      if (kind == "random") t[i] = static_cast<unsigned char>(rng());
      if (kind == "alternating") t[i] = (i % 2) ? 0xFF : 0x00;
      if (kind == "pairs") t[i] = static_cast<unsigned char>(1 + (i / 2) % 250);
      if (kind == "show") {
        // Mostly dark channels, blocks of equal levels, one fade and stray single zeros.
        const size_t k = i % 64;
        t[i] = k < 20 ? 0 : k < 36 ? 0x80 : k < 52 ? static_cast<unsigned char>(k * 5) : 0;
        if (i % 37 == 0) t[i] = static_cast<unsigned char>(rng() % 3);
      }
    }
    return t;
  }
};

TEST_P(TurnRoundTrip, EverySizeRestoresWithinBound) {
  for (size_t n = 1; n <= 513; ++n) {
    const Bytes turn = Make(GetParam(), n);
    const Bytes stream = EncodeAll(turn);
    ASSERT_LE(stream.size(), n + (n + 126) / 127) << "size " << n;
    ASSERT_EQ(DecodeAll(stream), turn) << "size " << n;
  }
}

INSTANTIATE_TEST_SUITE_P(Contents, TurnRoundTrip,
                         testing::Values("zeros", "constant", "random", "alternating", "pairs",
                                         "show"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param);
                         });

// The decoder's buffer is placed inside a larger one so stray writes show up.
class TurnDecodeTest : public testing::Test {
 protected:
  static constexpr unsigned char kCanary = 0xA5;
  void SetUp() override { std::fill(std::begin(mArea), std::end(mArea), kCanary); }
  bool CanariesIntact(uint32_t capacity) const {
    for (size_t i = capacity; i < sizeof mArea; ++i) {
      if (mArea[i] != kCanary) return false;
    }
    return true;
  }
  // Feeds stream until Decode reports full; returns the number of bytes taken.
  size_t Feed(CKelmarTurnDecomp& d, const Bytes& stream) {
    for (size_t i = 0; i < stream.size(); ++i) {
      if (!d.Decode(stream[i])) return i + 1;
    }
    return stream.size();
  }
  unsigned char mArea[600];
};

TEST_F(TurnDecodeTest, RepeatRunsStopWhenFull) {
  CKelmarTurnDecomp d;
  d.Reset(mArea, 514);
  EXPECT_EQ(Feed(d, Repeat(0xFF, 10)), 5u);
  EXPECT_EQ(d.pos() - 1, 513u);
  for (int i = 0; i < 514; ++i) ASSERT_EQ(mArea[i], 0) << i;
  EXPECT_TRUE(CanariesIntact(514));
}

TEST_F(TurnDecodeTest, TruncatedLiteralKeepsWhatArrived) {
  EXPECT_EQ(DecodeAll({0x05, 0x01, 0x02}), (Bytes{0x01, 0x02}));
}

TEST_F(TurnDecodeTest, LeadingRepeatRepeatsSeed) {
  EXPECT_EQ(DecodeAll({0x85}), Repeat(0x00, 6));
}

TEST_F(TurnDecodeTest, ResetWritesSeedAndEmptyStreamRestoresNothing) {
  CKelmarTurnDecomp d;
  d.Reset(mArea, 514);
  EXPECT_EQ(mArea[0], 0);
  EXPECT_EQ(d.pos(), 1u);
  EXPECT_EQ(mArea[1], kCanary);
}

TEST_F(TurnDecodeTest, OverlongTokensAreShortenedToCapacity) {
  CKelmarTurnDecomp d;
  d.Reset(mArea, 3);
  EXPECT_EQ(Feed(d, {0x01, 0x09, 0x00, 0x00, 0x85}), 3u);  // full after the zero pair
  EXPECT_EQ((Bytes(mArea, mArea + 3)), (Bytes{0x00, 0x09, 0x00}));
  EXPECT_TRUE(CanariesIntact(3));
  EXPECT_FALSE(d.Decode(0x85));
  EXPECT_FALSE(d.Decode(0x00));
  EXPECT_TRUE(CanariesIntact(3));
}

TEST_F(TurnDecodeTest, LiteralBytesPastCapacityAreDropped) {
  CKelmarTurnDecomp d;
  d.Reset(mArea, 4);
  for (unsigned char b : Bytes{0x06, 1, 2, 3, 4, 5, 6, 0x83}) d.Decode(b);
  EXPECT_EQ(d.pos(), 4u);
  EXPECT_EQ((Bytes(mArea, mArea + 4)), (Bytes{0, 1, 2, 3}));
  EXPECT_TRUE(CanariesIntact(4));
}

TEST_F(TurnDecodeTest, ZeroCapacityWritesNothing) {
  CKelmarTurnDecomp d;
  d.Reset(mArea, 0);
  EXPECT_FALSE(d.Decode(0xFF));
  EXPECT_FALSE(d.Decode(0x00));
  EXPECT_TRUE(CanariesIntact(0));
}

}  // namespace
