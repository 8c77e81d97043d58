// Tests of the variable buffer and the growable array.
#include "CArray.h"

#include <cstdlib>
#include <vector>

#include <gtest/gtest.h>

namespace {

TEST(LVariBufferTest, OversizedRequestsFailAndChangeNothing) {
  void* block = nullptr;
  uint32_t size = 0;
  LVariBufferBase buffer(block, size, 0xFFFF, 2);
  static_cast<unsigned char*>(block)[0] = 42;
  void* before = block;
  EXPECT_FALSE(buffer.SetSize(0x10002, true));                // 0xFFFF * 0x10002 exceeds 32 bits
  EXPECT_FALSE(buffer.Ready(0x80000000, 0x80000000, false));  // need + extra wraps
  EXPECT_FALSE(buffer.Copy(before, 0x10002));
  EXPECT_EQ(size, 2u);
  ASSERT_EQ(block, before);
  EXPECT_EQ(static_cast<unsigned char*>(block)[0], 42);
  std::free(buffer.Detach());
}

class CArrayTest : public ::testing::Test {
 protected:
  std::vector<int> Values() const {
    std::vector<int> out;
    for (uint32_t i = 0; i < array.count(); ++i) out.push_back(array[i]);
    return out;
  }
  CArray<int> array;
};

TEST_F(CArrayTest, GrowsAsTwiceCountPlusOneInsertsAndMoves) {
  array.RemoveLast();  // empty: ignored
  std::vector<uint32_t> capacities;
  for (int v : {10, 20, 30}) {
    ASSERT_TRUE(array.Append(v));
    capacities.push_back(array.capacity());
  }
  EXPECT_TRUE(array.Insert(0, 5));  // full: grows, then shifts everything
  capacities.push_back(array.capacity());
  EXPECT_EQ(capacities, (std::vector<uint32_t>{1, 3, 3, 7}));
  EXPECT_TRUE(array.Insert(99, 40));
  EXPECT_TRUE(array.Insert(2, 15));
  EXPECT_EQ(Values(), (std::vector<int>{5, 10, 15, 20, 30, 40}));
  array.Remove(6);  // past the end: ignored
  array.Move(0, 2);
  EXPECT_EQ(Values(), (std::vector<int>{10, 15, 5, 20, 30, 40}));
  array.Move(5, 1);
  EXPECT_EQ(Values(), (std::vector<int>{10, 40, 15, 5, 20, 30}));
}

TEST_F(CArrayTest, InsertingAnElementOfTheSameArraySurvivesGrowthAndShift) {
  for (int v : {10, 20, 30}) array.Append(v);
  EXPECT_TRUE(array.Append(array[0]));     // growth moves the storage
  EXPECT_TRUE(array.Insert(0, array[2]));  // the shift moves the source
  EXPECT_EQ(Values(), (std::vector<int>{30, 10, 20, 30, 10}));
}

TEST_F(CArrayTest, CopyTakesExactlyTheOthersCountAndEmptyingKeepsStorage) {
  for (int v : {1, 2, 3}) array.Append(v);
  const void* storage = array.data();
  array.RemoveAll();
  array.Append(7);
  EXPECT_EQ(array.data(), storage);
  CArray<int> larger(20), empty;
  for (int i = 0; i < 9; ++i) larger.Append(i);
  ASSERT_TRUE(array.Copy(larger));
  EXPECT_EQ(array.capacity(), 9u);
  EXPECT_EQ(Values(), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
  ASSERT_TRUE(array.Copy(empty));
  EXPECT_EQ(array.data(), nullptr);
}

}  // namespace
