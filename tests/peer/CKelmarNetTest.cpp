// Tests for packet scrambling, the password digest, the CRC-32 register
// and the lagged pseudo-random generator.
#include "CKelmarNet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "CLongCRC.h"
#include "LRandom.h"

namespace {

// CRC-32 step worked bit by bit, independent of the table.
uint32_t RefStep(uint32_t r, unsigned char b) {
  r ^= b;
  for (int bit = 0; bit < 8; ++bit) r = (r & 1) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
  return r;
}

TEST(ScrambleTest, MatchesBitwiseReferenceAndDecodeRestoresWithTheSameRegister) {
  CLongCRC check;
  check.Count("123456789", 9);
  EXPECT_EQ(~check.value(), 0xCBF43926u);  // the standard CRC-32 check value
  SKelmarNetPak plain, p;
  auto* const in = reinterpret_cast<unsigned char*>(&plain);
  auto* const out = reinterpret_cast<unsigned char*>(&p);
  for (size_t i = 0; i < sizeof plain; ++i) in[i] = static_cast<unsigned char>(i * 37 + 11);
  for (uint32_t len : {0u, 1u, 2u, 5000u}) {  // 0 and 1 change nothing; the length is capped
    p = plain;
    CLongCRC tx(0xA1B2C3D4u), rx(0xA1B2C3D4u);
    CKelmarNet::Encode(&p, len, tx);
    uint32_t r = 0xA1B2C3D4u;
    for (uint32_t i = 1; i < std::min<uint32_t>(len, sizeof p); ++i) {
      ASSERT_EQ(out[i], in[i] ^ static_cast<unsigned char>(r ^ (r >> 8))) << i;
      r = RefStep(r, in[i]);
    }
    EXPECT_EQ(tx.value(), r) << len;
    EXPECT_EQ(std::memcmp(&p, &plain, sizeof p) != 0, len > 1) << len;
    CKelmarNet::Decode(&p, len, rx);
    EXPECT_EQ(std::memcmp(&p, &plain, sizeof p), 0) << len;
    EXPECT_EQ(rx.value(), r) << len;
  }
}

// A new salt byte changes the scrambled byte 1 and the register after the packet (not
// every later scrambled byte: a change of 0x72 leaves byte 2's image as it was).
TEST(ScrambleTest, ChangingByte1ChangesItsImageAndTheFinalRegister) {
  for (uint32_t key : {0u, 0x57464251u, 0xDEADBEEFu}) {
    SKelmarNetPak a{}, b{};
    CLongCRC ra(key), rb(key);
    CKelmarNet::Encode(&a, 16, ra);
    for (unsigned d = 1; d < 256; ++d) {
      b = SKelmarNetPak{};
      b.salt = static_cast<unsigned char>(d);
      rb.Set(key);
      CKelmarNet::Encode(&b, 16, rb);
      ASSERT_NE(a.salt, b.salt) << d;
      ASSERT_NE(ra.value(), rb.value()) << d;
    }
  }
}

TEST(PwDigestTest, IsCrc32StartedFromQBFWSeedComplementedAndNullCountsAsEmpty) {
  CLongCRC crc;
  EXPECT_EQ(CKelmarNet::PwDigest(nullptr, crc), ~0x57464251u);
  for (const char* pw : {"", "secret", "Secret", "p\xE4ssw\xF6rd \x01\x7F\xFF"}) {
    uint32_t r = 0x57464251u;  // "QBFW" read little-endian
    for (const char* c = pw; *c; ++c) r = RefStep(r, static_cast<unsigned char>(*c));
    EXPECT_EQ(CKelmarNet::PwDigest(reinterpret_cast<const unsigned char*>(pw), crc), ~r) << pw;
  }
}

TEST(LRandomTest, SeedOneFirstOutputIsKnownAndIndexWrapsAfter55Calls) {
  LRandom rng(1);
  EXPECT_EQ(rng.random(), 0x99BCF7974557A761u);
  for (int n = 2; n <= 55; ++n) rng.random();
  EXPECT_EQ(rng.index(), 0u);
}

}  // namespace
