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
    third = first;                // releases its own data
    third.SetData(third.data());  // the same data again
    EXPECT_EQ(destroyed, 1);
  }
  EXPECT_EQ(destroyed, 2);
}

TEST(LStringTest, EmptyStringsShareTheNullDataTextKeepsEmbeddedNulsAndNullEqualsEmpty) {
  LStringData* empty = LString::GetNullData();
  for (const LString& s : {LString(), LString(nullptr), LString(U("")), LString(U("ab"), 0)})
    EXPECT_EQ(s.data(), empty);
  char source[] = "ab\0cd";
  LString s(U(source), 5), shared(s);
  source[0] = 'X';
  ASSERT_EQ(s.length(), 5u);
  EXPECT_EQ(std::memcmp(shared.text(), "ab\0cd", 6), 0);
  EXPECT_EQ(shared.data(), s.data());
  s.SetData(nullptr);
  EXPECT_EQ(s.data(), empty);
  EXPECT_TRUE(UString::IsEqual(nullptr, nullptr));  // null equals empty
  EXPECT_TRUE(UString::IsEqual(nullptr, U("")));
  EXPECT_FALSE(UString::IsEqual(nullptr, U("a")));
  EXPECT_FALSE(UString::IsEqual(U("abc"), U("ab")));
}

}  // namespace
