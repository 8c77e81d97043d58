// The message module: bytes of every message against an independent model, round trips,
// and the length rules of each parser.
#include "UKelmarWire.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ScrambleModel.h"

namespace {

using U = UKelmarWire;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kSeed = 0x57464251u;  // "QBFW", first character lowest
constexpr std::uint32_t kKey = 0x0BADF00Du;   // a digest

Bytes Of(SKelmarNetPak const& pak, std::uint32_t len) {
  auto const* b = reinterpret_cast<std::uint8_t const*>(&pak);
  return Bytes(b, b + len);
}
SKelmarNetPak PakOf(Bytes const& b) {
  SKelmarNetPak pak{};
  if (!b.empty()) std::memcpy(&pak, b.data(), std::min(b.size(), sizeof pak));
  return pak;
}
Bytes Sealed(SKelmarNetPak pak, std::uint32_t len, std::uint64_t digest) {
  CLongCRC crc;
  U::Seal(pak, len, digest, crc);
  return Of(pak, len);
}

// Exactly `bytes`, on the heap, so that the address sanitizer sees a read past the end.
struct CExact {
  explicit CExact(Bytes const& bytes)
      : mData(std::make_unique<std::uint8_t[]>(bytes.size() + !bytes.size())),
        mLen(static_cast<std::uint32_t>(bytes.size())) {
    if (mLen) std::memcpy(mData.get(), bytes.data(), mLen);
  }
  std::uint8_t const* data() const { return mData.get(); }
  std::uint32_t len() const { return mLen; }
  std::unique_ptr<std::uint8_t[]> mData;
  std::uint32_t mLen;
};

// Which of the ten parsers take `bytes`, as a set of type numbers.
std::vector<int> TakenBy(Bytes const& bytes) {
  CExact x(bytes);
  U::SShort s;
  U::SBcon bcon;
  U::SConnect req;
  U::SAccept acc;
  U::STurn turn;
  std::vector<int> by;
  if (U::ParseBcon(x.data(), x.len(), bcon)) by.push_back(1);
  if (U::ParseRefuse(x.data(), x.len(), s)) by.push_back(2);
  if (U::ParseConnect(x.data(), x.len(), req)) by.push_back(4);
  if (U::ParseClose(x.data(), x.len(), s)) by.push_back(5);
  if (U::ParseAccept(x.data(), x.len(), acc)) by.push_back(6);
  if (U::ParseBusy(x.data(), x.len(), s)) by.push_back(7);
  if (U::ParseDeny(x.data(), x.len(), s)) by.push_back(8);
  if (U::ParseTurn(x.data(), x.len(), turn)) by.push_back(12);
  if (U::ParseSame(x.data(), x.len(), s)) by.push_back(13);
  if (U::ParseAlive(x.data(), x.len(), s)) by.push_back(14);
  return by;
}

// The catalogue as the wire has it: type, key, shortest datagram read, lengths sent.
struct SFact {
  int type;
  bool seeded;
  std::uint32_t min;
  U::SLength sent;
};
const SFact kCatalogue[] = {
    {1, true, 11, {11, 11}}, {2, true, 3, {3, 3}},     {4, false, 3, {8, 768}},
    {5, false, 3, {3, 3}},   {6, false, 4, {4, 4}},    {7, false, 3, {3, 3}},
    {8, false, 3, {3, 3}},   {12, false, 3, {3, 521}}, {13, false, 3, {3, 3}},
    {14, false, 3, {3, 3}},
};

TEST(KelmarWire, CatalogueHoldsTheTenTypesWithTheirKeysAndLengthsAndNothingElse) {
  std::size_t next = 0;
  for (int t = 0; t < 256; ++t) {
    SCOPED_TRACE(t);
    const auto type = static_cast<std::uint8_t>(t);
    if (next < std::size(kCatalogue) && kCatalogue[next].type == t) {
      SFact const& f = kCatalogue[next++];
      EXPECT_TRUE(U::isType(type));
      EXPECT_EQ(U::keyOf(type), f.seeded ? U::Key::seed : U::Key::digest);
      EXPECT_EQ(U::keyFor(type, 0x1122334455667788ull), f.seeded ? kSeed : 0x55667788u);
      EXPECT_EQ(U::minLength(type), f.min);
      EXPECT_EQ(U::sentLength(type), f.sent);
      // Only a turn keeps part of itself in clear: all but its header.
      EXPECT_EQ(U::scrambledLength(type, 700), t == 12 ? 3u : 700u);
      EXPECT_EQ(U::scrambledLength(type, 2), 2u);
    } else {
      EXPECT_FALSE(U::isType(type));
      EXPECT_EQ(U::minLength(type), 0u);
      EXPECT_EQ(U::sentLength(type), (U::SLength{0, 0}));
      // No parser takes a foreign type and Unseal refuses it untouched.
      Bytes d(20, 0);
      d[0] = type;
      EXPECT_TRUE(TakenBy(d).empty());
      SKelmarNetPak pak = PakOf(d);
      CLongCRC crc;
      EXPECT_FALSE(U::Unseal(pak, 20, kKey, crc));
      EXPECT_EQ(Of(pak, 20), d);
    }
  }
  EXPECT_EQ(next, std::size(kCatalogue));
  EXPECT_EQ(U::kHeaderSize, 3u);
  EXPECT_EQ(U::kMaxPassword, 760u);
  EXPECT_EQ(U::kMaxPakSize, 768u);
}

// Every builder against hand-written plain bytes, sealed by the model over the range and in
// the key the wire gives the type.
TEST(KelmarWire, EachMessageIsBuiltAndSealedAsTheModelSays) {
  SKelmarNetPak pak{};
  const unsigned char pw[] = {'p', 'w', 'd'};
  const unsigned char turn[] = {0, 1, 2, 3, 3, 3, 3, 3, 3, 3, 3, 255};
  unsigned char stream[32];
  Bytes turnMsg{12, 0x45, 0x29};
  turnMsg.insert(turnMsg.end(), stream, stream + CKelmarNet::EncodeData(stream, turn, sizeof turn));
  // The length each builder returns, and the plain bytes it must have written.
  const std::pair<std::uint32_t, Bytes> cases[] = {
      {U::BuildBcon(pak, {0x3C, 0xDEADBEEF, 0xFFFF000080000001ull}),
       {1, 0x3C, 0, 0xDE, 0xAD, 0xBE, 0xEF, 0x80, 0, 0, 1}},
      {U::BuildRefuse(pak, 0x3D), {2, 0x3D, 0}},
      {U::BuildConnect(pak, 0x3E, 0x21, 0x01020304, pw, 3, 0x25),
       {4, 0x3E, 0x21, 1, 2, 3, 4, 'p', 'w', 'd', 0, 0, 0, 0, 0, 0}},
      {U::BuildClose(pak, {0x3F, 0x22}), {5, 0x3F, 0x22}},
      {U::BuildAccept(pak, {0x40, 0x23, 0x24}), {6, 0x40, 0x23, 0x24}},
      {U::BuildBusy(pak, {0x41, 0x25}), {7, 0x41, 0x25}},
      {U::BuildDeny(pak, {0x42, 0x26}), {8, 0x42, 0x26}},
      {U::BuildSame(pak, {0x43, 0x27}), {13, 0x43, 0x27}},
      {U::BuildAlive(pak, {0x44, 0x28}), {14, 0x44, 0x28}},
      {U::BuildTurn(pak, {0x45, 0x29}, turn, sizeof turn), turnMsg},
      {U::BuildTurn(pak, {0x46, 0x2A}, turn, 0), {12, 0x46, 0x2A}},
  };
  for (auto const& [len, plain] : cases) {
    const int type = plain[0];
    SCOPED_TRACE(type);
    ASSERT_EQ(len, plain.size());
    const U::SLength sent = U::sentLength(plain[0]);
    EXPECT_TRUE(len >= sent.min && len <= sent.max);
    const Bytes wire = Sealed(PakOf(plain), len, kKey);
    // Beacons and refusals are sealed in the seed; a turn's payload travels in clear.
    EXPECT_EQ(wire, model::Seal(plain, type <= 2 ? kSeed : kKey, type == 12 ? 3 : len));
    EXPECT_NE(wire, plain);
    SKelmarNetPak back = PakOf(wire);
    CLongCRC crc;
    ASSERT_TRUE(U::Unseal(back, len, kKey, crc));
    EXPECT_EQ(Of(back, len), plain);
    EXPECT_EQ(TakenBy(plain), std::vector<int>{type}) << "its own parser only";
  }
}

TEST(KelmarWire, ParsersGiveBackWhatTheBuildersWereGiven) {
  SKelmarNetPak pak{};
  auto parse = [&](std::uint32_t len, auto fn, auto& m) {
    CExact x(Of(pak, len));
    return fn(x.data(), x.len(), m);
  };
  U::SShort s;
  for (std::uint8_t link : {0, 1, 0x80, 255}) {
    SCOPED_TRACE(+link);
    const U::SShort h{static_cast<std::uint8_t>(link ^ 0x5A), link};
    auto same = [&](U::SShort const& m) { return m.salt == h.salt && m.link == h.link; };
    EXPECT_TRUE(parse(U::BuildClose(pak, h), U::ParseClose, s) && same(s));
    EXPECT_TRUE(parse(U::BuildBusy(pak, h), U::ParseBusy, s) && same(s));
    EXPECT_TRUE(parse(U::BuildDeny(pak, h), U::ParseDeny, s) && same(s));
    EXPECT_TRUE(parse(U::BuildSame(pak, h), U::ParseSame, s) && same(s));
    EXPECT_TRUE(parse(U::BuildAlive(pak, h), U::ParseAlive, s) && same(s));
    U::SAccept acc;
    EXPECT_TRUE(parse(U::BuildAccept(pak, {h.salt, link, 0x77}), U::ParseAccept, acc));
    EXPECT_EQ(acc.nonce, h.salt);
    EXPECT_EQ(acc.link, link);
    EXPECT_EQ(acc.acceptor, 0x77);
  }
  EXPECT_TRUE(parse(U::BuildRefuse(pak, 0x99), U::ParseRefuse, s));
  EXPECT_EQ(s.salt, 0x99);
  EXPECT_EQ(s.link, 0);

  // The second value travels as its low 32 bits and arrives sign-extended.
  struct SBconCase {
    std::uint64_t second;
    std::uint64_t arrives;
  };
  for (SBconCase c : {SBconCase{0, 0},
                      {7 | 1ull << 32, 7},
                      {0x80000000u, 0xFFFFFFFF80000000ull},
                      {0x7EFFFFFFu, 0x7EFFFFFFu},
                      {0x12345678FFFFFFFFull, ~0ull}}) {
    U::SBcon b;
    ASSERT_TRUE(parse(U::BuildBcon(pak, {0x10, 0xCAFEF00D, c.second}), U::ParseBcon, b));
    EXPECT_EQ(b.salt, 0x10);
    EXPECT_EQ(b.first, 0xCAFEF00Du);
    EXPECT_EQ(b.second, c.arrives) << std::hex << c.second;
  }

  unsigned char full[CKelmarNet::kMaxTurnSize + 10];
  for (std::size_t i = 0; i < sizeof full; ++i) full[i] = static_cast<unsigned char>(i * i);
  for (std::uint16_t size : {0, 1, 2, 100, 513, 520}) {
    SCOPED_TRACE(size);
    const std::uint32_t len = U::BuildTurn(pak, {0x31, 0x32}, full, size);
    EXPECT_LE(len, U::sentLength(U::pakTurn).max);
    U::STurn t;
    CExact x(Of(pak, len));  // the payload points into it
    ASSERT_TRUE(U::ParseTurn(x.data(), x.len(), t));
    EXPECT_EQ(t.salt, 0x31);
    EXPECT_EQ(t.link, 0x32);
    EXPECT_EQ(t.payloadLen, len - 3);
    unsigned char back[CKelmarNet::kTurnBufSize];
    const std::uint32_t n = CKelmarNet::DecodeData(t.payload, t.payloadLen, back);
    const std::uint32_t want = std::min<std::uint32_t>(size, CKelmarNet::kMaxTurnSize);
    ASSERT_EQ(n, want) << "a turn is cut to 513 bytes";
    EXPECT_EQ(0, std::memcmp(back + 1, full, want));
  }
}

// Whatever the password and the random value, a request fits its length range and carries
// exactly the password cut to 760 bytes, then only zeros, ending in one.
TEST(KelmarWire, RequestCarriesItsPasswordCutTo760ThenOneTo16Zeros) {
  SKelmarNetPak pak{};
  for (std::uint32_t l : {0u, 1u, 5u, 744u, 745u, 759u, 760u, 761u, 800u}) {
    SCOPED_TRACE(l);
    const std::string pw(l, 'k');
    const auto* p = reinterpret_cast<unsigned char const*>(pw.data());
    const std::uint32_t cut = std::min(l, 760u);
    std::vector<std::uint32_t> lengths;
    for (std::uint64_t r = 0; r < 32; ++r) {
      const std::uint32_t len = U::BuildConnect(pak, 1, 2, 0xA0B0C0D0u, p, l, r << 4 | r);
      const U::SLength range = U::connectLength(l);
      EXPECT_TRUE(len >= range.min && len <= range.max) << len;
      EXPECT_EQ(len, std::min<std::uint32_t>(7 + cut + (r & 15) + 1, 768));
      U::SConnect req;
      CExact x(Of(pak, len));
      ASSERT_TRUE(U::ParseConnect(x.data(), x.len(), req));
      EXPECT_EQ(req.nonce, 1);
      EXPECT_EQ(req.link, 2);
      EXPECT_EQ(req.digest, 0xA0B0C0D0u);
      EXPECT_EQ(req.tailLen, len - 7);
      EXPECT_TRUE(U::holdsPassword(req, p, cut));
      const std::string more = pw.substr(0, cut) + 'k';
      EXPECT_FALSE(
          U::holdsPassword(req, reinterpret_cast<unsigned char const*>(more.data()), cut + 1))
          << "the password with one more byte";
      if (cut) {
        EXPECT_FALSE(U::holdsPassword(req, p, cut - 1)) << "with one byte less";
      }
      EXPECT_EQ(Bytes(x.data() + 7 + cut, x.data() + len), Bytes(len - 7 - cut, 0));
      lengths.push_back(len);
    }
    if (cut == 760) {
      EXPECT_EQ(lengths, std::vector<std::uint32_t>(32, 768));
    }
  }
  EXPECT_EQ(U::connectLength(0), (U::SLength{8, 23}));
  EXPECT_EQ(U::connectLength(5000), (U::SLength{768, 768}));
}

TEST(KelmarWire, RequestHoldsAPasswordOnlyWhenItAndItsZeroAreInside) {
  auto holds = [](Bytes tail, std::string const& pw) {
    Bytes d{4, 0, 0, 0, 0, 0, 0};
    d.insert(d.end(), tail.begin(), tail.end());
    CExact x(d);
    U::SConnect req;
    if (!U::ParseConnect(x.data(), x.len(), req)) return false;
    return U::holdsPassword(req, reinterpret_cast<unsigned char const*>(pw.data()),
                            static_cast<std::uint32_t>(pw.size()));
  };
  EXPECT_TRUE(holds({0}, ""));
  EXPECT_TRUE(holds({0, 'x'}, ""));
  EXPECT_FALSE(holds({'a'}, ""));
  EXPECT_TRUE(holds({'a', 'b', 0}, "ab"));
  EXPECT_FALSE(holds({'a', 'b'}, "ab")) << "no room for the zero";
  EXPECT_FALSE(holds({'a', 'b', 'c', 0}, "ab"));
  EXPECT_FALSE(holds({'a', 'B', 0}, "ab"));
  EXPECT_TRUE(holds({'a', 0, 'b', 0}, std::string("a\0b", 3))) << "bytes, not a C string";
  EXPECT_FALSE(holds({}, "")) << "no byte after the digest";
}

// Each parser takes a type from the shortest length sent and Unseal from the shortest length
// read (a short request is read, then refused); below that they turn it down untouched. Buffers
// are exact, so a read past the length is an error of the address sanitizer.
TEST(KelmarWire, EveryTooShortDatagramIsRejectedUntouched) {
  for (SFact const& f : kCatalogue) {
    SCOPED_TRACE(f.type);
    // A valid message of the type, longest of all, with link 0 and a clean second value.
    Bytes d(768, 0);
    d[0] = static_cast<std::uint8_t>(f.type);
    for (std::uint32_t len = 0; len < 40; ++len) {
      SCOPED_TRACE(len);
      const Bytes cut(d.begin(), d.begin() + len);
      EXPECT_EQ(TakenBy(cut), len >= f.sent.min ? std::vector<int>{f.type} : std::vector<int>{});
      SKelmarNetPak pak = PakOf(Sealed(PakOf(cut), len, kKey));
      const Bytes before = Of(pak, sizeof pak);
      CLongCRC crc;
      const bool unsealed = U::Unseal(pak, len, kKey, crc);
      EXPECT_EQ(unsealed, len >= f.min);
      if (!unsealed) {
        EXPECT_EQ(Of(pak, sizeof pak), before);
      }
    }
    EXPECT_EQ(TakenBy(d), std::vector<int>{f.type});
  }
}

TEST(KelmarWire, BeaconNeedsLink0AndNo7FTopByteAndRefusalNeedsLink0) {
  Bytes bcon{1, 0, 0, 1, 2, 3, 4, 0x7E, 0, 0, 0};
  EXPECT_EQ(TakenBy(bcon), std::vector<int>{1});
  bcon[7] = 0x7F;
  EXPECT_TRUE(TakenBy(bcon).empty());
  bcon[7] = 0x80;
  bcon[2] = 1;
  EXPECT_TRUE(TakenBy(bcon).empty());
  EXPECT_TRUE(TakenBy({2, 0, 1}).empty());
  EXPECT_EQ(TakenBy({2, 0, 0, 9}), std::vector<int>{2});
}

}  // namespace
