// Tests for packet scrambling, turn framing and the password digest.
#include "CKelmarNet.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

// CRC-32 step worked bit by bit, independent of the table.
uint32_t RefStep(uint32_t r, unsigned char b) {
  r ^= b;
  for (int bit = 0; bit < 8; ++bit) r = (r & 1) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
  return r;
}

class ScrambleTest : public testing::Test {
 protected:
  void SetUp() override {
    std::mt19937 rng(4711);
    for (size_t i = 0; i < sizeof mPak; ++i) Bytes(mPak)[i] = static_cast<unsigned char>(rng());
  }
  static unsigned char* Bytes(SKelmarNetPak& p) { return reinterpret_cast<unsigned char*>(&p); }
  // Scrambles a copy of p with the bit-by-bit reference; returns the final register.
  static uint32_t RefEncode(SKelmarNetPak& p, uint32_t len, uint32_t r) {
    for (uint32_t i = 1; i < len; ++i) {
      const unsigned char plain = Bytes(p)[i];
      Bytes(p)[i] = plain ^ static_cast<unsigned char>(r ^ (r >> 8));
      r = RefStep(r, plain);
    }
    return r;
  }
  SKelmarNetPak mPak;
};

TEST_F(ScrambleTest, HandWorkedPacket) {
  // Each plaintext byte cancels the register's low byte, so the register just shifts.
  const unsigned char plain[6] = {9, 0x78, 0x56, 0x34, 0x12, 0x00};
  const unsigned char image[6] = {9, 0x56, 0x34, 0x12, 0x00, 0x00};
  std::memcpy(&mPak, plain, 6);
  CLongCRC crc(0x12345678u);
  CKelmarNet::Encode(&mPak, 6, crc);
  EXPECT_EQ(std::memcmp(&mPak, image, 6), 0);
  EXPECT_EQ(crc.value(), 0u);
}

TEST_F(ScrambleTest, MatchesBitwiseReference) {
  for (uint32_t key : {0u, 0xFFFFFFFFu, CKelmarNet::kDefaultSeed, 0xA1B2C3D4u}) {
    for (uint32_t len : {2u, 3u, 17u, 768u}) {
      SKelmarNetPak expected = mPak;
      const uint32_t expectedReg = RefEncode(expected, len, key);
      SKelmarNetPak actual = mPak;
      CLongCRC crc(key);
      CKelmarNet::Encode(&actual, len, crc);
      EXPECT_EQ(std::memcmp(&actual, &expected, sizeof actual), 0) << key << "/" << len;
      EXPECT_EQ(crc.value(), expectedReg) << key << "/" << len;
    }
  }
}

TEST_F(ScrambleTest, DecodeRestoresAndRegistersAgree) {
  for (uint32_t len : {2u, 3u, 100u, 768u}) {
    SKelmarNetPak p = mPak;
    CLongCRC tx(0xDEADBEEFu), rx(0xDEADBEEFu);
    CKelmarNet::Encode(&p, len, tx);
    EXPECT_EQ(p.type, mPak.type);
    EXPECT_NE(std::memcmp(&p, &mPak, len), 0);
    CKelmarNet::Decode(&p, len, rx);
    EXPECT_EQ(p.type, mPak.type);
    EXPECT_EQ(std::memcmp(&p, &mPak, sizeof p), 0) << len;
    EXPECT_EQ(tx.value(), rx.value()) << len;
  }
}

TEST_F(ScrambleTest, ShortLengthsChangeNothing) {
  for (uint32_t len : {0u, 1u}) {
    SKelmarNetPak p = mPak;
    CLongCRC crc(0x01020304u);
    CKelmarNet::Encode(&p, len, crc);
    CKelmarNet::Decode(&p, len, crc);
    EXPECT_EQ(std::memcmp(&p, &mPak, sizeof p), 0);
    EXPECT_EQ(crc.value(), 0x01020304u);
  }
}

TEST_F(ScrambleTest, LengthIsCappedAtPacketSize) {
  SKelmarNetPak capped = mPak, full = mPak;
  CLongCRC a(7), b(7);
  CKelmarNet::Encode(&capped, 5000, a);
  CKelmarNet::Encode(&full, sizeof full, b);
  EXPECT_EQ(std::memcmp(&capped, &full, sizeof full), 0);
  EXPECT_EQ(a.value(), b.value());
}

TEST_F(ScrambleTest, ChangingSaltChangesItsImageAndFinalRegister) {
  SKelmarNetPak base = mPak;
  CLongCRC baseCrc(0x55AA55AAu);
  CKelmarNet::Encode(&base, 40, baseCrc);
  for (int delta = 1; delta < 256; ++delta) {
    SKelmarNetPak p = mPak;
    p.salt ^= static_cast<unsigned char>(delta);
    CLongCRC crc(0x55AA55AAu);
    CKelmarNet::Encode(&p, 40, crc);
    ASSERT_NE(p.salt, base.salt) << delta;
    ASSERT_NE(crc.value(), baseCrc.value()) << delta;
  }
}

class TurnFramingTest : public testing::Test {};

TEST_F(TurnFramingTest, EmptyTurnWritesNothing) {
  unsigned char dst[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  const unsigned char turn[1] = {0};
  EXPECT_EQ(CKelmarNet::EncodeData(dst, turn, 0), 0u);
  EXPECT_EQ(dst[0], 0xEE);
}

TEST_F(TurnFramingTest, EmptyPayloadRestoresNothing) {
  std::vector<unsigned char> dst(CKelmarNet::kTurnBufSize, 0xEE);
  EXPECT_EQ(CKelmarNet::DecodeData(nullptr, 0, dst.data()), 0u);
  EXPECT_EQ(dst[0], 0);
}

TEST_F(TurnFramingTest, WorkedExampleFramesExactly) {
  const unsigned char turn[7] = {0x00, 0x05, 0x05, 0x05, 0x00, 0x00, 0x09};
  const unsigned char stream[7] = {0x02, 0x00, 0x05, 0x81, 0x00, 0x01, 0x09};
  unsigned char dst[9];
  std::memset(dst, 0xEE, sizeof dst);
  ASSERT_EQ(CKelmarNet::EncodeData(dst, turn, 7), 7u);
  EXPECT_EQ(std::memcmp(dst, stream, 7), 0);
  EXPECT_EQ(dst[7], 0xEE);  // nothing after the stream

  unsigned char out[CKelmarNet::kTurnBufSize];
  ASSERT_EQ(CKelmarNet::DecodeData(stream, 7, out), 7u);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(std::memcmp(out + 1, turn, 7), 0);
}

TEST_F(TurnFramingTest, FullRandomTurnFitsAndRestores) {
  std::mt19937 rng(99);
  unsigned char turn[CKelmarNet::kMaxTurnSize];
  for (unsigned char& b : turn) b = static_cast<unsigned char>(rng());
  unsigned char payload[765];
  const uint32_t n = CKelmarNet::EncodeData(payload, turn, sizeof turn);
  EXPECT_LE(n, 518u);
  unsigned char out[CKelmarNet::kTurnBufSize];
  ASSERT_EQ(CKelmarNet::DecodeData(payload, n, out), 513u);
  EXPECT_EQ(std::memcmp(out + 1, turn, sizeof turn), 0);
}

class PwDigestTest : public testing::Test {
 protected:
  static uint32_t RefDigest(const char* pw, uint32_t seed) {
    uint32_t r = seed;
    for (const char* p = pw; *p; ++p) r = RefStep(r, static_cast<unsigned char>(*p));
    return ~r;
  }
  static uint32_t Digest(const char* pw) {
    CLongCRC crc(0);
    return CKelmarNet::PwDigest(reinterpret_cast<const unsigned char*>(pw), crc);
  }
};

TEST_F(PwDigestTest, DefaultSeedIsQBFWLittleEndian) {
  const uint32_t qbfw = 'Q' | ('B' << 8) | ('F' << 16) | (uint32_t{'W'} << 24);
  EXPECT_EQ(CKelmarNet::kDefaultSeed, qbfw);
}

TEST_F(PwDigestTest, NullAndEmptyGiveComplementOfSeed) {
  CLongCRC crc(0);
  EXPECT_EQ(CKelmarNet::PwDigest(nullptr, crc), ~0x57464251u);
  EXPECT_EQ(crc.value(), 0x57464251u);
  EXPECT_EQ(Digest(""), ~0x57464251u);
}

TEST_F(PwDigestTest, IsCrc32StartedFromSeed) {
  ASSERT_EQ(RefDigest("123456789", 0xFFFFFFFFu), 0xCBF43926u);  // the reference itself
  for (const char* pw : {"a", "123456789", "secret", "p\xE4ssw\xF6rd \x01\x7F\xFF"}) {
    EXPECT_EQ(Digest(pw), RefDigest(pw, 0x57464251u)) << pw;
  }
}

TEST_F(PwDigestTest, LetterCaseMatters) {
  EXPECT_NE(Digest("Secret"), Digest("secret"));
  EXPECT_NE(Digest("ABC"), Digest("abc"));
}

}  // namespace
