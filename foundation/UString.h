// Operations on NUL-terminated byte strings; a null string counts as an empty one where noted.
#pragma once

#include <cstdint>

class UString {
 public:
  UString() = delete;

  // True when s is null or empty.
  static bool IsEmpty(const unsigned char* s);
  // The bytes before the terminator; 0 for null.
  static uint32_t LengthOf(const unsigned char* s);
  // Copies src with its terminator into dst (a null src copies as empty); returns dst.
  static unsigned char* Copy(const unsigned char* src, unsigned char* dst);
  // Copies exactly size - 1 bytes, NULs included, and terminates at dst[size - 1]; writes
  // nothing when src is null or size is 0. Returns dst.
  static unsigned char* Copy(const unsigned char* src, unsigned char* dst, uint32_t size);
  // A new[] copy of s owned by the caller; null when s is null or memory runs out.
  static unsigned char* Duplicate(const unsigned char* s);
  // The start of the next string in a run of NUL-separated strings; s must not be null.
  static const unsigned char* Next(const unsigned char* s);
  // Byte equality up to the terminators, with a null string equal to an empty one.
  static bool IsEqual(const unsigned char* a, const unsigned char* b);
};
