// The peer protocol's messages: scrambling by type, builders and parsers.
#include "UKelmarWire.h"

#include <algorithm>
#include <cstring>

namespace {

using U = UKelmarWire;

std::uint32_t GetBE32(unsigned char const* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

void PutBE32(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

std::uint32_t BuildHeader(SKelmarNetPak& out, std::uint8_t type, std::uint8_t salt,
                          std::uint8_t link) {
  out.type = type;
  out.salt = salt;
  out.link = link;
  return U::kHeaderSize;
}

// The header of a message of `type` that needs at least `min` bytes.
bool ParseHeader(unsigned char const* pak, std::uint32_t len, std::uint8_t type, std::uint32_t min,
                 U::SShort& m) {
  if (len < min || pak[0] != type) return false;
  m.salt = pak[1];
  m.link = pak[2];
  return true;
}

}  // namespace

// ---- scrambling ----------------------------------------------------------------------

void UKelmarWire::Seal(SKelmarNetPak& pak, std::uint32_t len, std::uint64_t digest, CLongCRC& crc) {
  crc.Set(keyFor(pak.type, digest));
  CKelmarNet::Encode(&pak, scrambledLength(pak.type, len), crc);
}

bool UKelmarWire::Unseal(SKelmarNetPak& pak, std::uint32_t len, std::uint64_t ownDigest,
                         CLongCRC& crc) {
  if (!isType(pak.type) || len < minLength(pak.type)) return false;
  crc.Set(keyFor(pak.type, ownDigest));
  CKelmarNet::Decode(&pak, scrambledLength(pak.type, len), crc);
  return true;
}

// ---- builders ------------------------------------------------------------------------

std::uint32_t UKelmarWire::BuildBcon(SKelmarNetPak& out, SBcon const& m) {
  BuildHeader(out, pakBcon, m.salt, 0);
  PutBE32(out.payload, m.first);
  PutBE32(out.payload + 4, static_cast<std::uint32_t>(m.second));
  return 11;
}

std::uint32_t UKelmarWire::BuildRefuse(SKelmarNetPak& out, std::uint8_t salt) {
  return BuildHeader(out, pakRefuse, salt, 0);
}

std::uint32_t UKelmarWire::BuildConnect(SKelmarNetPak& out, std::uint8_t nonce, std::uint8_t link,
                                        std::uint32_t ownDigest, unsigned char const* password,
                                        std::uint32_t passwordLen, std::uint64_t random) {
  BuildHeader(out, pakConnect, nonce, link);
  PutBE32(out.payload, ownDigest);
  const std::uint32_t l = std::min(passwordLen, kMaxPassword);
  if (l) std::memcpy(out.payload + 4, password, l);
  // At least one zero ends the password; the padding varies the length.
  const std::uint32_t pad = std::min<std::uint32_t>(
      static_cast<std::uint32_t>(random & (kMaxPadding - 1)) + 1, kMaxPassword + 1 - l);
  std::memset(out.payload + 4 + l, 0, pad);
  return kHeaderSize + 4 + l + pad;
}

std::uint32_t UKelmarWire::BuildClose(SKelmarNetPak& out, SShort const& m) {
  return BuildHeader(out, pakClose, m.salt, m.link);
}

std::uint32_t UKelmarWire::BuildAccept(SKelmarNetPak& out, SAccept const& m) {
  BuildHeader(out, pakAccept, m.nonce, m.link);
  out.payload[0] = m.acceptor;
  return 4;
}

std::uint32_t UKelmarWire::BuildBusy(SKelmarNetPak& out, SShort const& m) {
  return BuildHeader(out, pakBusy, m.salt, m.link);
}

std::uint32_t UKelmarWire::BuildDeny(SKelmarNetPak& out, SShort const& m) {
  return BuildHeader(out, pakDeny, m.salt, m.link);
}

std::uint32_t UKelmarWire::BuildTurn(SKelmarNetPak& out, SShort const& header,
                                     unsigned char const* turn, std::uint16_t size) {
  BuildHeader(out, pakTurn, header.salt, header.link);
  const auto n =
      static_cast<std::uint16_t>(std::min<std::uint32_t>(size, CKelmarNet::kMaxTurnSize));
  return kHeaderSize + CKelmarNet::EncodeData(out.payload, turn, n);
}

std::uint32_t UKelmarWire::BuildSame(SKelmarNetPak& out, SShort const& m) {
  return BuildHeader(out, pakSame, m.salt, m.link);
}

std::uint32_t UKelmarWire::BuildAlive(SKelmarNetPak& out, SShort const& m) {
  return BuildHeader(out, pakAlive, m.salt, m.link);
}

// ---- parsers -------------------------------------------------------------------------

bool UKelmarWire::ParseBcon(unsigned char const* pak, std::uint32_t len, SBcon& m) {
  SShort h;
  if (!ParseHeader(pak, len, pakBcon, 11, h) || h.link != 0 || pak[7] == 0x7F) return false;
  m.salt = h.salt;
  m.first = GetBE32(pak + 3);
  m.second = static_cast<std::uint64_t>(
      static_cast<std::int64_t>(static_cast<std::int32_t>(GetBE32(pak + 7))));
  return true;
}

bool UKelmarWire::ParseRefuse(unsigned char const* pak, std::uint32_t len, SShort& m) {
  SShort h;
  if (!ParseHeader(pak, len, pakRefuse, kHeaderSize, h) || h.link != 0) return false;
  m = h;
  return true;
}

bool UKelmarWire::ParseConnect(unsigned char const* pak, std::uint32_t len, SConnect& m) {
  SShort h;
  if (!ParseHeader(pak, len, pakConnect, kHeaderSize + 4 + 1, h)) return false;
  m.nonce = h.salt;
  m.link = h.link;
  m.digest = GetBE32(pak + 3);
  m.tail = pak + 7;
  m.tailLen = len - 7;
  return true;
}

bool UKelmarWire::ParseClose(unsigned char const* pak, std::uint32_t len, SShort& m) {
  return ParseHeader(pak, len, pakClose, kHeaderSize, m);
}

bool UKelmarWire::ParseAccept(unsigned char const* pak, std::uint32_t len, SAccept& m) {
  SShort h;
  if (!ParseHeader(pak, len, pakAccept, 4, h)) return false;
  m.nonce = h.salt;
  m.link = h.link;
  m.acceptor = pak[3];
  return true;
}

bool UKelmarWire::ParseBusy(unsigned char const* pak, std::uint32_t len, SShort& m) {
  return ParseHeader(pak, len, pakBusy, kHeaderSize, m);
}

bool UKelmarWire::ParseDeny(unsigned char const* pak, std::uint32_t len, SShort& m) {
  return ParseHeader(pak, len, pakDeny, kHeaderSize, m);
}

bool UKelmarWire::ParseTurn(unsigned char const* pak, std::uint32_t len, STurn& m) {
  SShort h;
  if (!ParseHeader(pak, len, pakTurn, kHeaderSize, h)) return false;
  m.salt = h.salt;
  m.link = h.link;
  m.payload = pak + kHeaderSize;
  m.payloadLen = len - kHeaderSize;
  return true;
}

bool UKelmarWire::ParseSame(unsigned char const* pak, std::uint32_t len, SShort& m) {
  return ParseHeader(pak, len, pakSame, kHeaderSize, m);
}

bool UKelmarWire::ParseAlive(unsigned char const* pak, std::uint32_t len, SShort& m) {
  return ParseHeader(pak, len, pakAlive, kHeaderSize, m);
}

bool UKelmarWire::holdsPassword(SConnect const& m, unsigned char const* password,
                                std::uint32_t len) {
  return m.tailLen > len && (len == 0 || std::memcmp(m.tail, password, len) == 0) &&
         m.tail[len] == 0;
}
