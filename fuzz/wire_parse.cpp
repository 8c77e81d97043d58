// Fuzz target: the message parsers read nothing past the datagram, at most one takes it, and
// what one takes builds back to the same bytes; sealing undoes by unsealing, keeps byte 0 and a
// turn's payload, and an unseal that refuses changes nothing.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "UKelmarWire.h"

namespace {

using U = UKelmarWire;

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

bool Same(SKelmarNetPak const& built, std::uint32_t len, unsigned char const* d) {
  return std::memcmp(&built, d, len) == 0;
}

// Every parser on the `len` bytes at `d`; whatever one takes must build back to its prefix.
void Parse(unsigned char const* d, std::uint32_t len) {
  SKelmarNetPak out{};
  int taken = 0;
  U::SShort s;
  auto shortOne = [&](bool ok, auto build) {
    if (!ok) return;
    ++taken;
    Check(len >= U::kHeaderSize && Same(out, build(out, s), d));
  };
  shortOne(U::ParseClose(d, len, s), U::BuildClose);
  shortOne(U::ParseBusy(d, len, s), U::BuildBusy);
  shortOne(U::ParseDeny(d, len, s), U::BuildDeny);
  shortOne(U::ParseSame(d, len, s), U::BuildSame);
  shortOne(U::ParseAlive(d, len, s), U::BuildAlive);
  if (U::ParseRefuse(d, len, s)) {
    ++taken;
    Check(s.link == 0 && Same(out, U::BuildRefuse(out, s.salt), d));
  }
  U::SBcon bcon;
  if (U::ParseBcon(d, len, bcon)) {
    ++taken;
    Check(len >= 11 && d[7] != 0x7F && Same(out, U::BuildBcon(out, bcon), d));
    // Sign extension: the upper half copies bit 31.
    Check((bcon.second >> 32) == ((bcon.second & 0x80000000u) ? 0xFFFFFFFFu : 0));
  }
  U::SAccept acc;
  if (U::ParseAccept(d, len, acc)) {
    ++taken;
    Check(len >= 4 && Same(out, U::BuildAccept(out, acc), d));
  }
  U::SConnect req;
  if (U::ParseConnect(d, len, req)) {
    ++taken;
    Check(len >= 8 && req.tail == d + 7 && req.tailLen == len - 7);
    // Rebuilt with the password up to its first zero, the request matches up to that zero.
    auto const* zero = static_cast<unsigned char const*>(std::memchr(req.tail, 0, req.tailLen));
    if (zero) {
      const auto l = static_cast<std::uint32_t>(zero - req.tail);
      Check(U::holdsPassword(req, req.tail, l));
      const std::uint32_t built = U::BuildConnect(out, req.nonce, req.link, req.digest, req.tail, l,
                                                  0);  // one zero of padding
      Check(built == std::min(8 + l, U::kMaxPakSize) && Same(out, built, d));
    } else {
      Check(!U::holdsPassword(req, req.tail, std::min(req.tailLen, U::kMaxPassword)));
    }
  }
  U::STurn turn;
  if (U::ParseTurn(d, len, turn)) {
    ++taken;
    Check(turn.payload == d + 3 && turn.payloadLen == len - 3);
    auto buf = std::make_unique<unsigned char[]>(CKelmarNet::kTurnBufSize);
    const std::uint32_t n = CKelmarNet::DecodeData(turn.payload, turn.payloadLen, buf.get());
    Check(n <= CKelmarNet::kMaxTurnSize);
    // The decoded turn builds a message that parses and decodes to the same turn.
    const std::uint32_t built =
        U::BuildTurn(out, {turn.salt, turn.link}, buf.get() + 1, static_cast<std::uint16_t>(n));
    Check(built <= U::sentLength(U::pakTurn).max);
    U::STurn again;
    Check(U::ParseTurn(reinterpret_cast<unsigned char const*>(&out), built, again));
    auto back = std::make_unique<unsigned char[]>(CKelmarNet::kTurnBufSize);
    Check(CKelmarNet::DecodeData(again.payload, again.payloadLen, back.get()) == n);
    Check(std::memcmp(back.get(), buf.get(), n + 1) == 0);
  }
  Check(taken <= 1);
  Check(taken == 0 || (len > 0 && U::isType(d[0]) && len >= U::minLength(d[0])));
}

// Sealing and unsealing under `digest`.
void Seal(unsigned char const* d, std::uint32_t len, std::uint64_t digest) {
  SKelmarNetPak plain{};
  std::memcpy(&plain, d, len);
  SKelmarNetPak pak = plain;
  CLongCRC crc;
  U::Seal(pak, len, digest, crc);
  auto const* p = reinterpret_cast<unsigned char const*>(&plain);
  auto const* w = reinterpret_cast<unsigned char const*>(&pak);
  const std::uint32_t scrambled = U::scrambledLength(plain.type, len);
  Check(pak.type == plain.type || len == 0);
  Check(std::memcmp(w + scrambled, p + scrambled, sizeof pak - scrambled) == 0);
  const bool takes = U::isType(plain.type) && len >= U::minLength(plain.type);
  SKelmarNetPak sealed = pak;
  Check(U::Unseal(pak, len, digest, crc) == takes);
  Check(std::memcmp(&pak, takes ? &plain : &sealed, sizeof pak) == 0);
}

}  // namespace

// Input: four bytes of digest, then the datagram (cut to a packet).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const std::uint64_t digest =
      data[0] | data[1] << 8 | data[2] << 16 | std::uint64_t{data[3]} << 24;
  const auto len = static_cast<std::uint32_t>(std::min<size_t>(size - 4, U::kMaxPakSize));
  // Exactly sized on the heap, so the address sanitizer sees a read past the datagram.
  auto d = std::make_unique<unsigned char[]>(len ? len : 1);
  std::memcpy(d.get(), data + 4, len);
  Parse(d.get(), len);
  Seal(d.get(), len, digest);
  return 0;
}
