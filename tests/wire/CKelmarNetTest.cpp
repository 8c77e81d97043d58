// Packet scrambling, the password digest, the CRC-32 register and the lagged generator.
#include "CKelmarNet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "CLongCRC.h"
#include "LRandom.h"
#include "ScrambleModel.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The key a password names: its CRC-32 started from "QBFW" (first character lowest), complemented.
std::uint32_t Digest(std::string const& password) {
  std::uint32_t r = 0x57464251u;
  for (char c : password) r = model::CrcStep(r, static_cast<std::uint8_t>(c));
  return ~r;
}

TEST(CrcTest, CountGivesTheStandardCheckValueUncomplemented) {
  CLongCRC crc;
  crc.Count("123456789", 9);
  EXPECT_EQ(crc.value(), 0x340BC6D9u);  // complemented: 0xCBF43926
}

TEST(KelmarNetTest, ScrambleMatchesTheBitwiseModelAndDecodeRestoresWithTheSameRegister) {
  SKelmarNetPak plain, p;
  auto* const in = reinterpret_cast<unsigned char*>(&plain);
  auto* const out = reinterpret_cast<unsigned char*>(&p);
  for (size_t i = 0; i < sizeof plain; ++i) in[i] = static_cast<unsigned char>(i * 37 + 11);
  const Bytes whole(in, in + sizeof plain);
  for (uint32_t len : {0u, 1u, 2u, 5000u}) {  // 0 and 1 change nothing; the length is capped
    SCOPED_TRACE(len);
    const size_t n = std::min<size_t>(len, sizeof p);
    Bytes expect = model::Seal(Bytes(in, in + n), 0xA1B2C3D4u, n);
    expect.insert(expect.end(), in + n, in + sizeof plain);
    CLongCRC tx(0xA1B2C3D4u), rx(0xA1B2C3D4u), model(0xA1B2C3D4u);
    if (n > 1) model.Count(in + 1, static_cast<uint32_t>(n - 1));
    p = plain;
    CKelmarNet::Encode(&p, len, tx);
    EXPECT_EQ(Bytes(out, out + sizeof p), expect);
    EXPECT_EQ(tx.value(), model.value()) << "the register runs over the plain bytes";
    CKelmarNet::Decode(&p, len, rx);
    EXPECT_EQ(Bytes(out, out + sizeof p), whole);
    EXPECT_EQ(rx.value(), model.value());
  }
}

TEST(KelmarNetTest, PwDigestIsTheComplementedCrcFromTheQBFWSeedAndNullCountsAsEmpty) {
  CLongCRC crc;
  EXPECT_EQ(CKelmarNet::PwDigest(nullptr, crc), ~0x57464251u);
  for (const char* pw : {"", "secret", "Secret", "p\xE4ssw\xF6rd \x01\x7F\xFF"})
    EXPECT_EQ(CKelmarNet::PwDigest(reinterpret_cast<const unsigned char*>(pw), crc), Digest(pw))
        << pw;
}

TEST(RandomTest, SeedOneFirstOutputIsKnownAndTheIndexWrapsAfter55Calls) {
  LRandom rng(1);
  EXPECT_EQ(rng.random(), 0x99BCF7974557A761u);
  for (int n = 2; n <= 55; ++n) rng.random();
  EXPECT_EQ(rng.index(), 0u);
}

}  // namespace
