// Tests for packet scrambling, the password digest, the CRC-32 register
// and the lagged pseudo-random generator.
#include "CKelmarNet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>

#include "CLongCRC.h"
#include "LRandom.h"

namespace {

// CRC-32 step worked bit by bit, independent of the table.
uint32_t RefStep(uint32_t r, unsigned char b) {
  r ^= b;
  for (int bit = 0; bit < 8; ++bit) r = (r & 1) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
  return r;
}

TEST(LongCRCTest, CheckStringGivesStandardCheckValueAtOnceOrInPieces) {
  static constexpr char kCheck[] = "123456789";
  CLongCRC crc(0);
  crc.Set(0xFFFFFFFFu);
  crc.Count(kCheck, 4);
  crc.Count(kCheck + 4, 0);
  crc.Count(kCheck + 4, 5);
  EXPECT_EQ(crc.value(), 0x340BC6D9u);
  EXPECT_EQ(~crc.value(), 0xCBF43926u);
}

class ScrambleTest : public testing::Test {
 protected:
  void SetUp() override {
    std::mt19937 rng(4711);
    for (size_t i = 0; i < sizeof mPak; ++i) Bytes(mPak)[i] = static_cast<unsigned char>(rng());
  }
  static unsigned char* Bytes(SKelmarNetPak& p) { return reinterpret_cast<unsigned char*>(&p); }
  SKelmarNetPak mPak;
};

TEST_F(ScrambleTest, MatchesBitwiseReferenceUpToThePacketSize) {
  for (uint32_t key : {0u, 0xFFFFFFFFu, CKelmarNet::kDefaultSeed, 0xA1B2C3D4u}) {
    for (uint32_t len : {2u, 3u, 17u, 768u, 5000u}) {
      SKelmarNetPak expected = mPak, actual = mPak;
      uint32_t r = key;
      for (uint32_t i = 1; i < std::min<uint32_t>(len, sizeof expected); ++i) {
        const unsigned char plain = Bytes(expected)[i];
        Bytes(expected)[i] = plain ^ static_cast<unsigned char>(r ^ (r >> 8));
        r = RefStep(r, plain);
      }
      CLongCRC crc(key);
      CKelmarNet::Encode(&actual, len, crc);
      EXPECT_EQ(std::memcmp(&actual, &expected, sizeof actual), 0) << key << "/" << len;
      EXPECT_EQ(crc.value(), r) << key << "/" << len;
    }
  }
}

TEST_F(ScrambleTest, DecodeRestoresAndRegistersAgreeAndShortLengthsChangeNothing) {
  for (uint32_t len : {0u, 1u, 2u, 3u, 100u, 768u}) {
    SKelmarNetPak p = mPak;
    CLongCRC tx(0xDEADBEEFu), rx(0xDEADBEEFu);
    CKelmarNet::Encode(&p, len, tx);
    EXPECT_EQ(p.type, mPak.type);
    EXPECT_EQ(std::memcmp(&p, &mPak, sizeof p) != 0, len > 1) << len;
    CKelmarNet::Decode(&p, len, rx);
    EXPECT_EQ(std::memcmp(&p, &mPak, sizeof p), 0) << len;
    EXPECT_EQ(tx.value(), rx.value()) << len;
    EXPECT_EQ(tx.value() == 0xDEADBEEFu, len <= 1) << len;
  }
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

uint32_t Digest(const char* pw) {
  CLongCRC crc(0);
  return CKelmarNet::PwDigest(reinterpret_cast<const unsigned char*>(pw), crc);
}

TEST(PwDigestTest, IsCaseSensitiveCrc32StartedFromQBFWSeedAndNullCountsAsEmpty) {
  EXPECT_EQ(CKelmarNet::kDefaultSeed, 'Q' | ('B' << 8) | ('F' << 16) | (uint32_t{'W'} << 24));
  CLongCRC crc(0);
  EXPECT_EQ(CKelmarNet::PwDigest(nullptr, crc), ~0x57464251u);
  EXPECT_EQ(crc.value(), 0x57464251u);
  EXPECT_EQ(Digest(""), ~0x57464251u);
  for (const char* pw : {"a", "123456789", "secret", "p\xE4ssw\xF6rd \x01\x7F\xFF"}) {
    uint32_t r = 0x57464251u;
    for (const char* p = pw; *p; ++p) r = RefStep(r, static_cast<unsigned char>(*p));
    EXPECT_EQ(Digest(pw), ~r) << pw;
  }
  EXPECT_NE(Digest("Secret"), Digest("secret"));
}

TEST(LRandomTest, SeedOneFirstOutputIsKnownAndIndexWrapsAfter55Calls) {
  LRandom rng(1);
  EXPECT_EQ(rng.random(), 0x99BCF7974557A761u);
  for (uint32_t k = 2; k <= 55; ++k) {
    EXPECT_EQ(rng.index(), k - 1);
    rng.random();
  }
  EXPECT_EQ(rng.index(), 0u);
}

}  // namespace
