// Tests of the NUL-terminated byte string operations.
#include "UString.h"

#include <cstring>

#include <gtest/gtest.h>

namespace {

const unsigned char* U(const char* s) {
  return reinterpret_cast<const unsigned char*>(s);
}

TEST(UStringTest, NullCountsAsEmpty) {
  EXPECT_TRUE(UString::IsEmpty(nullptr));
  EXPECT_EQ(UString::LengthOf(nullptr), 0u);
  EXPECT_TRUE(UString::IsEqual(nullptr, nullptr));
  EXPECT_TRUE(UString::IsEqual(nullptr, U("")));
  EXPECT_TRUE(UString::IsEqual(U(""), nullptr));
  EXPECT_FALSE(UString::IsEqual(nullptr, U("a")));
  EXPECT_FALSE(UString::IsEqual(U("abc"), U("ab")));
}

TEST(UStringTest, SizedCopyTakesSizeMinusOneBytesEvenPastANul) {
  unsigned char dst[6] = "zzzzz";
  UString::Copy(U("a\0cdef"), dst, 4);
  EXPECT_EQ(std::memcmp(dst, "a\0c\0z", 5), 0);
  UString::Copy(U("abc"), dst, 1);
  UString::Copy(U("abc"), dst + 1, 0);
  UString::Copy(nullptr, dst + 1, 4);
  EXPECT_EQ(std::memcmp(dst, "\0\0c\0z", 5), 0);
}

TEST(UStringTest, DuplicateAndNext) {
  EXPECT_EQ(UString::Duplicate(nullptr), nullptr);
  const unsigned char* run = U("one\0\0three");
  unsigned char* copy = UString::Duplicate(run);
  EXPECT_TRUE(UString::IsEqual(copy, U("one")));
  delete[] copy;
  EXPECT_EQ(UString::Next(run), run + 4);
  EXPECT_TRUE(UString::IsEqual(UString::Next(run + 4), U("three")));
}

}  // namespace
