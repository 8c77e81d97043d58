// Fuzz target: decoding any payload stays inside the turn buffer.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "CKelmarNet.h"
#include "CKelmarTurnComp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  const auto len = static_cast<uint32_t>(size);

  // Exactly sized heap buffers, so the address sanitizer flags any write past them.
  auto turn = std::make_unique<unsigned char[]>(CKelmarNet::kTurnBufSize);
  turn[0] = 0xEE;
  const uint32_t n = CKelmarNet::DecodeData(data, len, turn.get());
  if (n > CKelmarNet::kMaxTurnSize || turn[0] != 0) __builtin_trap();

  // The decoder alone, with a small capacity chosen by the first byte (0 included).
  if (size == 0) return 0;
  const uint32_t capacity = data[0] % 16;
  auto small = std::make_unique<unsigned char[]>(capacity);
  CKelmarTurnDecomp decomp;
  decomp.Reset(small.get(), capacity);
  for (uint32_t i = 1; i < len; ++i) {
    const bool more = decomp.Decode(data[i]);
    if (more != (decomp.pos() < capacity)) __builtin_trap();
  }
  if (decomp.pos() < 1 || decomp.pos() > (capacity > 0 ? capacity : 1)) __builtin_trap();
  return 0;
}
