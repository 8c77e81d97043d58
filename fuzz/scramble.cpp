// Fuzz target: descrambling undoes scrambling and both sides end with the same register.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "CKelmarNet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint32_t key = data[0] | (data[1] << 8) | (data[2] << 16) | (uint32_t{data[3]} << 24);
  const size_t len = size - 4 < sizeof(SKelmarNetPak) ? size - 4 : sizeof(SKelmarNetPak);

  SKelmarNetPak plain{}, pak{};
  std::memcpy(&plain, data + 4, len);
  pak = plain;
  CLongCRC tx(key), rx(key);
  CKelmarNet::Encode(&pak, static_cast<uint32_t>(len), tx);
  if (pak.type != plain.type) __builtin_trap();
  const auto* scrambled = reinterpret_cast<const unsigned char*>(&pak);
  const auto* original = reinterpret_cast<const unsigned char*>(&plain);
  if (std::memcmp(scrambled + len, original + len, sizeof pak - len) != 0) __builtin_trap();
  // The register ends as the plain CRC of the bytes after the type byte.
  CLongCRC plainCrc(key);
  if (len > 1) plainCrc.Count(data + 5, static_cast<uint32_t>(len - 1));
  if (tx.value() != plainCrc.value()) __builtin_trap();
  CKelmarNet::Decode(&pak, static_cast<uint32_t>(len), rx);
  if (std::memcmp(&pak, &plain, sizeof pak) != 0 || tx.value() != rx.value()) __builtin_trap();
  return 0;
}
