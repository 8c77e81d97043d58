// Tests for the CRC-32 register and its table.
#include "CLongCRC.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

class LongCRCTest : public testing::Test {
 protected:
  static constexpr char kCheck[] = "123456789";
};

TEST_F(LongCRCTest, CheckStringGivesStandardCheckValue) {
  CLongCRC crc(0xFFFFFFFFu);
  crc.Count(kCheck, 9);
  EXPECT_EQ(crc.value(), 0x340BC6D9u);
  EXPECT_EQ(~crc.value(), 0xCBF43926u);
}

TEST_F(LongCRCTest, CountingInPiecesEqualsCountingAtOnce) {
  CLongCRC crc(0xFFFFFFFFu);
  crc.Count(kCheck, 4);
  crc.Count(kCheck + 4, 0);
  crc.Count(kCheck + 4, 5);
  EXPECT_EQ(crc.value(), 0x340BC6D9u);
}

TEST_F(LongCRCTest, EmptyCountLeavesRegister) {
  CLongCRC crc(0x12345678u);
  crc.Count(kCheck, 0);
  EXPECT_EQ(crc.value(), 0x12345678u);
}

TEST_F(LongCRCTest, SetLoadsRegister) {
  CLongCRC crc(0);
  crc.Set(0xFFFFFFFFu);
  crc.Count(kCheck, 9);
  EXPECT_EQ(crc.value(), 0x340BC6D9u);
}

TEST_F(LongCRCTest, TableHoldsStandardEntries) {
  EXPECT_EQ(CLongCRC::ourTbl[0], 0x00000000u);
  EXPECT_EQ(CLongCRC::ourTbl[1], 0x77073096u);
  EXPECT_EQ(CLongCRC::ourTbl[2], 0xEE0E612Cu);
  EXPECT_EQ(CLongCRC::ourTbl[128], 0xEDB88320u);
  EXPECT_EQ(CLongCRC::ourTbl[255], 0x2D02EF8Du);
}

}  // namespace
