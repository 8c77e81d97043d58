// Fuzz target: every turn restores exactly and its stream stays within the length bound.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "CKelmarNet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto n =
      static_cast<uint16_t>(size < CKelmarNet::kMaxTurnSize ? size : CKelmarNet::kMaxTurnSize);
  if (n == 0) return 0;

  // One byte per started block of 127 input bytes on top of the input; the buffer is
  // exactly that long so an overlong stream is a heap overflow.
  const uint32_t bound = n + (n + 126u) / 127u;
  auto stream = std::make_unique<unsigned char[]>(bound);
  const uint32_t len = CKelmarNet::EncodeData(stream.get(), data, n);
  if (len > bound) __builtin_trap();

  auto turn = std::make_unique<unsigned char[]>(CKelmarNet::kTurnBufSize);
  if (CKelmarNet::DecodeData(stream.get(), len, turn.get()) != n) __builtin_trap();
  if (turn[0] != 0 || std::memcmp(turn.get() + 1, data, n) != 0) __builtin_trap();
  return 0;
}
