// Tests of the variable buffer and the growable array.
#include "CArray.h"

#include <cstdlib>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::vector<int> Values(const CArray<int>& array) {
  std::vector<int> out;
  for (uint32_t i = 0; i < array.count(); ++i) out.push_back(array[i]);
  return out;
}

TEST(LVariBufferTest, OversizedRequestsFailAndChangeNothing) {
  void* block = nullptr;
  uint32_t size = 0;
  LVariBufferBase buffer(block, size, 0xFFFF, 2);
  void* before = block;
  EXPECT_FALSE(buffer.SetSize(0x10002, true));                // 0xFFFF * 0x10002 exceeds 32 bits
  EXPECT_FALSE(buffer.Ready(0x80000000, 0x80000000, false));  // need + extra wraps
  EXPECT_EQ(size, 2u);
  EXPECT_EQ(block, before);
  std::free(buffer.Detach());
}

TEST(CArrayTest, GrowsAsTwiceCountPlusOneInsertsMovesCopiesAndTakesItsOwnElements) {
  CArray<int> array, copy;
  array.RemoveLast();  // empty: ignored
  for (uint32_t capacity : {1u, 3u, 3u}) {
    ASSERT_TRUE(array.Append(static_cast<int>(array.count()) + 1));
    EXPECT_EQ(array.capacity(), capacity);
  }
  EXPECT_TRUE(array.Append(array[0]));  // full: growth moves the source
  EXPECT_EQ(array.capacity(), 7u);
  EXPECT_TRUE(array.Insert(0, array[2]));  // the shift moves the source
  EXPECT_EQ(Values(array), (std::vector<int>{3, 1, 2, 3, 1}));
  array.Remove(5);  // past the end: ignored
  array.Remove(0);
  EXPECT_TRUE(array.Insert(99, 4));
  EXPECT_TRUE(array.Insert(2, 5));
  array.Move(0, 2);
  array.Move(5, 1);
  EXPECT_EQ(Values(array), (std::vector<int>{2, 4, 5, 1, 3, 1}));
  copy.Append(7);
  ASSERT_TRUE(copy.Copy(array));
  EXPECT_EQ(copy.capacity(), 6u);  // exactly the other's count
  EXPECT_EQ(Values(copy), Values(array));
  ASSERT_TRUE(copy.Copy(CArray<int>()));
  EXPECT_EQ(copy.data(), nullptr);
}

}  // namespace
