// The NUL-terminated byte string operations.
#include "UString.h"

#include <cstring>
#include <new>

namespace {

const char* Chars(const unsigned char* s) {
  return reinterpret_cast<const char*>(s);
}

}  // namespace

bool UString::IsEmpty(const unsigned char* s) {
  return !s || s[0] == 0;
}

uint32_t UString::LengthOf(const unsigned char* s) {
  return s ? static_cast<uint32_t>(std::strlen(Chars(s))) : 0;
}

unsigned char* UString::Copy(const unsigned char* src, unsigned char* dst) {
  if (!src) {
    dst[0] = 0;
    return dst;
  }
  std::memcpy(dst, src, std::size_t{LengthOf(src)} + 1);
  return dst;
}

unsigned char* UString::Copy(const unsigned char* src, unsigned char* dst, uint32_t size) {
  if (!src || size == 0) return dst;
  std::memcpy(dst, src, size - 1);
  dst[size - 1] = 0;
  return dst;
}

unsigned char* UString::Duplicate(const unsigned char* s) {
  if (!s) return nullptr;
  const std::size_t n = std::size_t{LengthOf(s)} + 1;
  auto* copy = new (std::nothrow) unsigned char[n];
  if (copy) std::memcpy(copy, s, n);
  return copy;
}

const unsigned char* UString::Next(const unsigned char* s) {
  return s + LengthOf(s) + 1;
}

bool UString::IsEqual(const unsigned char* a, const unsigned char* b) {
  if (!a || !b) return IsEmpty(a) && IsEmpty(b);
  return std::strcmp(Chars(a), Chars(b)) == 0;
}
