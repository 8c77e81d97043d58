// The peer packet and its static operations: scrambling, turn framing, password digest.
#pragma once

#include <cstddef>
#include <cstdint>

#include "CLongCRC.h"

// One datagram of the peer protocol. Byte 0 travels in clear; the bytes after it are
// scrambled with a running CRC register. Multi-byte payload integers are big-endian.
struct SKelmarNetPak {
  unsigned char type;          // message type; never scrambled
  unsigned char salt;          // a random byte that varies the scrambled image
  unsigned char link;          // link id, or 0
  unsigned char payload[765];  // per message type
};

static_assert(sizeof(SKelmarNetPak) == 768, "a packet fills the 768-byte datagram buffer");
static_assert(offsetof(SKelmarNetPak, payload) == 3, "the payload follows the 3-byte header");

// Packet operations; holds no data.
class CKelmarNet {
 public:
  // "QBFW" read little-endian: the key of the connection handshake messages.
  static constexpr uint32_t kDefaultSeed = 0x57464251u;
  static constexpr uint32_t kMaxPakSize = sizeof(SKelmarNetPak);
  // Largest turn: the start code and 512 slots.
  static constexpr uint32_t kMaxTurnSize = 513;
  // A decoded turn buffer: the seed byte 0, then up to kMaxTurnSize turn bytes.
  static constexpr uint32_t kTurnBufSize = kMaxTurnSize + 1;

  // Scrambles bytes 1 to len-1 of pak in place, starting from crc's value and leaving
  // crc advanced over the plaintext. len 0 or 1 changes nothing; len is capped at the
  // packet size.
  static void Encode(SKelmarNetPak* pak, uint32_t len, CLongCRC& crc);

  // Undoes Encode: with the same starting register it restores the packet and ends
  // with the same register value.
  static void Decode(SKelmarNetPak* pak, uint32_t len, CLongCRC& crc);

  // Compresses size turn bytes into dst and returns the bytes written; a turn of at
  // most kMaxTurnSize bytes needs at most size + ceil(size / 127) of them.
  static uint32_t EncodeData(unsigned char* dst, const unsigned char* turn, uint16_t size);

  // Decompresses up to len bytes of src into dst, which must hold kTurnBufSize bytes:
  // dst[0] becomes 0 and the turn follows from dst[1]. Returns the turn bytes restored.
  static uint32_t DecodeData(const unsigned char* src, uint32_t len, unsigned char* dst);

  // The digest of a NUL-terminated password (null counts as empty): the CRC-32 of its
  // bytes with the register started from kDefaultSeed, complemented. crc is loaded
  // with the seed and left holding an intermediate value.
  static uint32_t PwDigest(const unsigned char* pw, CLongCRC& crc);
};
