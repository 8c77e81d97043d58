// The peer packet operations: scrambling, turn framing and the password digest.
#include "CKelmarNet.h"

#include "CKelmarTurnComp.h"

namespace {

// The keystream byte for the register's present value.
inline unsigned char KeyByte(uint32_t r) {
  return static_cast<unsigned char>(r ^ (r >> 8));
}

}  // namespace

void CKelmarNet::Encode(SKelmarNetPak* pak, uint32_t len, CLongCRC& crc) {
  if (len > kMaxPakSize) len = kMaxPakSize;
  auto* bytes = reinterpret_cast<unsigned char*>(pak);
  uint32_t r = crc.value();
  for (uint32_t i = 1; i < len; ++i) {
    const unsigned char p = bytes[i];
    bytes[i] = p ^ KeyByte(r);
    r = CLongCRC::next(r, p);
  }
  crc.Set(r);
}

void CKelmarNet::Decode(SKelmarNetPak* pak, uint32_t len, CLongCRC& crc) {
  if (len > kMaxPakSize) len = kMaxPakSize;
  auto* bytes = reinterpret_cast<unsigned char*>(pak);
  uint32_t r = crc.value();
  for (uint32_t i = 1; i < len; ++i) {
    const unsigned char p = bytes[i] ^ KeyByte(r);
    bytes[i] = p;
    r = CLongCRC::next(r, p);
  }
  crc.Set(r);
}

uint32_t CKelmarNet::EncodeData(unsigned char* dst, const unsigned char* turn, uint16_t size) {
  CKelmarTurnComp comp;
  comp.SetTurn(turn, size);
  uint32_t n = 0;
  unsigned char b;
  while (comp.Encode(b)) dst[n++] = b;
  return n;
}

uint32_t CKelmarNet::DecodeData(const unsigned char* src, uint32_t len, unsigned char* dst) {
  CKelmarTurnDecomp decomp;
  decomp.Reset(dst, kTurnBufSize);
  for (uint32_t i = 0; i < len; ++i) {
    if (!decomp.Decode(src[i])) break;
  }
  return decomp.pos() - 1;
}

uint32_t CKelmarNet::PwDigest(const unsigned char* pw, CLongCRC& crc) {
  crc.Set(kDefaultSeed);
  if (pw == nullptr || pw[0] == 0) return ~kDefaultSeed;
  uint32_t r = kDefaultSeed;
  for (const unsigned char* p = pw; *p != 0; ++p) r = CLongCRC::next(r, *p);
  crc.Set(r);
  return ~r;
}
