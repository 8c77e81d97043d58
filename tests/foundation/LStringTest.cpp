// Tests of shared handles and shared strings.
#include "LString.h"

#include <cstring>

#include <gtest/gtest.h>

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
  EXPECT_GE(before, 1);
}

TEST(LStringTest, TextIsCopiedOnceAndShared) {
  char source[] = "password";
  LString a(U(source));
  source[0] = 'X';
  LString b(a), c;
  c = a;
  EXPECT_EQ(a.length(), 8u);
  EXPECT_STREQ(reinterpret_cast<const char*>(c.text()), "password");
  EXPECT_EQ(a.data()->count(), 3);
}

TEST(LStringTest, ExplicitLengthKeepsEmbeddedNuls) {
  LString s(U("ab\0cd"), 5);
  ASSERT_EQ(s.length(), 5u);
  EXPECT_EQ(std::memcmp(s.text(), "ab\0cd", 6), 0);
}

TEST(LStringTest, ExtractCharactersBoundsTheCopyAndTerminates) {
  LString s(U("hello"));
  unsigned char out[8];
  std::memset(out, 'z', sizeof out);
  s.ExtractCharacters(out, 0);
  EXPECT_EQ(std::memcmp(out, "\0z", 2), 0);
  s.ExtractCharacters(out, 7);
  EXPECT_EQ(std::memcmp(out, "hello\0z", 7), 0);
}

}  // namespace
