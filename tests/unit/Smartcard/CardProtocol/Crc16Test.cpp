#include <gtest/gtest.h>

#include <cstring>

#include "CardBytes.h"
#include "vorasel/crc16.h"

namespace {

using hv::test::hexBytes;

uint16_t crcOf(const char *text) {
    return CalcCRC16Bytes(static_cast<int32_t>(std::strlen(text)),
                          reinterpret_cast<const uint8_t *>(text));
}

TEST(Crc16, CheckValues) {
    EXPECT_EQ(crcOf("123456789"), 0x31C3);
    EXPECT_EQ(crcOf("abc"), 0x9DD6);
    EXPECT_EQ(crcOf("a"), 0x7C87);
}

TEST(Crc16, BlockEpiloguesOfTheT1Engine) {
    auto r = hexBytes("00 80 00");
    EXPECT_EQ(CalcCRC16Bytes(3, r.data()), 0x1B98);
    auto ifs = hexBytes("00 C1 01 FA");
    EXPECT_EQ(CalcCRC16Bytes(4, ifs.data()), 0x6CA3);
}

// Every entry against the bit-by-bit definition of the register.
TEST(Crc16, TableMatchesPolynomial) {
    EXPECT_EQ(ccitt_16Table[1], 0x1021);
    for (unsigned n = 0; n < 256; ++n) {
        uint16_t reg = static_cast<uint16_t>(n << 8);
        for (int bit = 0; bit < 8; ++bit)
            reg = static_cast<uint16_t>(reg & 0x8000 ? (reg << 1) ^ 0x1021 : reg << 1);
        ASSERT_EQ(ccitt_16Table[n], reg) << "entry " << n;
    }
}

TEST(Crc16, WordsAreTakenLowByteFirst) {
    const uint16_t words[] = {0x3231, 0x3433, 0x3635, 0x3837};
    EXPECT_EQ(CalcCRC16Words(4, words), crcOf("12345678"));
    const uint16_t one = 0x0061;  // 'a' then NUL
    const uint8_t bytes[] = {0x61, 0x00};
    EXPECT_EQ(CalcCRC16Words(1, &one), CalcCRC16Bytes(2, bytes));
}

TEST(Crc16, EmptyAndInvalidCountsReadNothing) {
    EXPECT_EQ(CalcCRC16Bytes(0, nullptr), 0);
    EXPECT_EQ(CalcCRC16Bytes(-5, nullptr), 0);
    EXPECT_EQ(CalcCRC16Words(0, nullptr), 0);
    EXPECT_EQ(CalcCRC16Words(3, nullptr), 0);
}

}  // namespace
