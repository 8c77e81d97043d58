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
  EXPECT_EQ(block, nullptr);
}

class CArrayTest : public ::testing::Test {
 protected:
  void Fill(std::initializer_list<int> values) {
    for (int v : values) ASSERT_TRUE(array.Append(v));
  }
  std::vector<int> Values() const {
    std::vector<int> out;
    for (uint32_t i = 0; i < array.count(); ++i) out.push_back(array[i]);
    return out;
  }
  CArray<int> array;
};

TEST_F(CArrayTest, CapacityGrowsAsTwiceCountPlusOne) {
  std::vector<uint32_t> capacities;
  for (int i = 0; i < 8; ++i) {
    array.Append(i);
    capacities.push_back(array.capacity());
  }
  EXPECT_EQ(capacities, (std::vector<uint32_t>{1, 3, 3, 7, 7, 7, 7, 15}));
}

TEST_F(CArrayTest, InsertClampsTheIndexAndShifts) {
  Fill({10, 20, 30});
  EXPECT_TRUE(array.Insert(0, 5));  // full: grows, then shifts everything
  EXPECT_TRUE(array.Insert(99, 40));
  EXPECT_TRUE(array.Insert(2, 15));
  EXPECT_EQ(Values(), (std::vector<int>{5, 10, 15, 20, 30, 40}));
}

TEST_F(CArrayTest, InsertingAnElementOfTheSameArraySurvivesGrowthAndShift) {
  Fill({10, 20, 30});
  EXPECT_TRUE(array.Append(array[0]));     // growth moves the storage
  EXPECT_TRUE(array.Insert(0, array[2]));  // the shift moves the source
  EXPECT_EQ(Values(), (std::vector<int>{30, 10, 20, 30, 10}));
}

TEST_F(CArrayTest, RemoveIgnoresBadIndexesAndMoveRotates) {
  array.RemoveLast();
  Fill({10, 20, 30, 40});
  array.Remove(4);
  array.Remove(3);
  array.Move(0, 2);
  EXPECT_EQ(Values(), (std::vector<int>{20, 30, 10}));
  array.Move(2, 0);
  array.Move(2, 0);
  EXPECT_EQ(Values(), (std::vector<int>{30, 10, 20}));
}

TEST_F(CArrayTest, CopyTakesExactlyTheOthersCount) {
  Fill({1, 2});
  CArray<int> larger(20), empty;
  for (int i = 0; i < 9; ++i) larger.Append(i);
  ASSERT_TRUE(array.Copy(larger));
  EXPECT_EQ(array.capacity(), 9u);
  EXPECT_EQ(Values(), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
  ASSERT_TRUE(array.Copy(empty));
  EXPECT_EQ(array.data(), nullptr);
}

TEST_F(CArrayTest, EmptyingKeepsTheStorageForReuse) {
  Fill({1, 2, 3});
  const void* storage = array.data();
  array.RemoveAll();
  Fill({7, 8, 9});
  EXPECT_EQ(array.data(), storage);
  EXPECT_EQ(Values(), (std::vector<int>{7, 8, 9}));
}

}  // namespace
