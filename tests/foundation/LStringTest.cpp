// Tests of shared handles, shared strings and the NUL-terminated byte string operations.
#include "LString.h"

#include <cstring>

#include <gtest/gtest.h>

#include "UString.h"

namespace {

const unsigned char* U(const char* s) {
  return reinterpret_cast<const unsigned char*>(s);
}

// Shared data that counts its destructions.
struct SProbeData : LHandleData {
  explicit SProbeData(int* destroyed) : destroyed(destroyed) {}
  ~SProbeData() override { ++*destroyed; }
  int* destroyed;
};

TEST(LHandleTest, OnlyTheLastReleaseDestroysTheData) {
  int destroyed = 0;
  {
    LHandleBase first(new SProbeData(&destroyed));
    LHandleBase second(first), third(new SProbeData(&destroyed));
    second.SetData(nullptr);
    third = first;  // releases its own data
    EXPECT_EQ(destroyed, 1);
    third.SetData(third.data());  // the same data again
    EXPECT_EQ(destroyed, 1);
  }
  EXPECT_EQ(destroyed, 2);
}

TEST(LStringTest, EveryEmptyStringSharesTheNeverDestroyedNullData) {
  LStringData* empty = LString::GetNullData();
  const int32_t before = empty->count();
  {
    const LString strings[] = {LString(), LString(nullptr), LString(U("")), LString(U("ab"), 0)};
    for (const LString& s : strings) {
      EXPECT_EQ(s.data(), empty);
      EXPECT_EQ(s.text()[0], 0);
    }
  }
  LString s(U("x"));
  s.SetData(nullptr);
  EXPECT_EQ(s.data(), empty);
  EXPECT_EQ(empty->count(), before + 1);
}

TEST(LStringTest, TextIsCopiedOnceWithEmbeddedNulsAndExtractedBounded) {
  char source[] = "ab\0cd";
  LString s(U(source), 5), shared(s);
  source[0] = 'X';
  ASSERT_EQ(s.length(), 5u);
  EXPECT_EQ(std::memcmp(shared.text(), "ab\0cd", 6), 0);
  EXPECT_EQ(shared.data(), s.data());
  unsigned char out[8];
  std::memset(out, 'z', sizeof out);
  s.ExtractCharacters(out, 0);
  EXPECT_EQ(std::memcmp(out, "\0z", 2), 0);
  LString(U("hello")).ExtractCharacters(out, 7);
  EXPECT_EQ(std::memcmp(out, "hello\0z", 7), 0);
}

TEST(UStringTest, NullEqualsEmptyAndSizedCopyTakesSizeMinusOneBytes) {
  EXPECT_TRUE(UString::IsEqual(nullptr, nullptr));
  EXPECT_TRUE(UString::IsEqual(nullptr, U("")));
  EXPECT_TRUE(UString::IsEqual(U(""), nullptr));
  EXPECT_FALSE(UString::IsEqual(nullptr, U("a")));
  EXPECT_FALSE(UString::IsEqual(U("abc"), U("ab")));
  unsigned char dst[6] = "zzzzz";
  UString::Copy(U("a\0cdef"), dst, 4);  // even past a NUL
  EXPECT_EQ(std::memcmp(dst, "a\0c\0z", 5), 0);
  UString::Copy(U("abc"), dst, 1);
  UString::Copy(U("abc"), dst + 1, 0);
  UString::Copy(nullptr, dst + 1, 4);
  EXPECT_EQ(std::memcmp(dst, "\0\0c\0z", 5), 0);
}

}  // namespace
