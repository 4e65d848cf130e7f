#include <gtest/gtest.h>

#include <cstring>

#include "CardBytes.h"
#include "vorasel/sc_atr.h"

namespace {

using hv::test::Bytes;
using hv::test::hexBytes;

// Appends the TCK that makes the exclusive-or of T0 ... TCK zero.
Bytes withTck(const std::string &hex) {
    Bytes b = hexBytes(hex);
    uint8_t x = 0;
    for (size_t i = 1; i < b.size(); ++i)
        x ^= b[i];
    b.push_back(x);
    return b;
}

int parse(scatr_t &atr, const Bytes &b) {
    return scatr_parse(&atr, b.data(), static_cast<uint32_t>(b.size()));
}

bool untouched(const scatr_t &atr) {
    const auto *p = reinterpret_cast<const uint8_t *>(&atr);
    for (size_t i = 0; i < sizeof atr; ++i)
        if (p[i] != 0xAA) return false;
    return true;
}

scatr_t poisoned() {
    scatr_t atr;
    std::memset(&atr, 0xAA, sizeof atr);
    return atr;
}

TEST(AtrParse, ShortestAtr) {
    scatr_t atr = poisoned();
    ASSERT_EQ(parse(atr, hexBytes("3B 00")), SCATR_OK);
    EXPECT_EQ(atr.length, 2u);
    EXPECT_EQ(atr.group_count, 0);
    EXPECT_EQ(atr.hist_count, 0);
    EXPECT_EQ(atr.tck_present, 0);
    EXPECT_EQ(atr.groups[0].ta_present, 0);
    EXPECT_EQ(scatr_getAvailProtocols(&atr), 1u);
}

TEST(AtrParse, InitialCharacter) {
    scatr_t atr = poisoned();
    ASSERT_EQ(parse(atr, hexBytes("3F 00")), SCATR_OK);
    EXPECT_EQ(atr.ts, 0x3F);
    for (const char *bad : {"3A 00", "3C 00", "00 00", "FF 00", "7B 00"}) {
        scatr_t other = poisoned();
        EXPECT_EQ(parse(other, hexBytes(bad)), SCATR_BAD_TS) << bad;
        EXPECT_TRUE(untouched(other)) << bad;
    }
}

TEST(AtrParse, OverallLengthLeavesRecordUntouched) {
    Bytes longest(34, 0x00);
    longest[0] = 0x3B;
    for (const Bytes &b : {longest, hexBytes("3B"), Bytes{}}) {
        scatr_t atr = poisoned();
        EXPECT_EQ(parse(atr, b), SCATR_BAD_LENGTH) << b.size();
        EXPECT_TRUE(untouched(atr));
    }
    scatr_t atr = poisoned();
    EXPECT_EQ(scatr_parse(&atr, nullptr, 5), SCATR_BAD_LENGTH);
    EXPECT_EQ(scatr_parse(nullptr, longest.data(), 2), SCATR_BAD_LENGTH);
    EXPECT_TRUE(untouched(atr));
}

TEST(AtrParse, TckRequiredOnlyForProtocolsOtherThanT0) {
    scatr_t atr = poisoned();
    ASSERT_EQ(parse(atr, hexBytes("3B 80 01 81")), SCATR_OK);
    EXPECT_EQ(atr.group_count, 1);
    EXPECT_EQ(atr.tck_present, 1);
    EXPECT_EQ(atr.tck, 0x81);
    EXPECT_EQ(atr.groups[0].td, 0x01);

    atr = poisoned();
    EXPECT_EQ(parse(atr, hexBytes("3B 80 01")), SCATR_BAD_LENGTH);
    EXPECT_EQ(atr.length, 0u);

    // A wrong check still yields the whole record.
    atr = poisoned();
    EXPECT_EQ(parse(atr, hexBytes("3B 80 01 82")), SCATR_BAD_TCK);
    EXPECT_EQ(atr.length, 4u);
    EXPECT_EQ(atr.tck, 0x82);
    EXPECT_EQ(atr.groups[0].td, 0x01);

    // T=0 only: no TCK, and a trailing byte is left over.
    EXPECT_EQ(parse(atr, hexBytes("3B 80 00")), SCATR_OK);
    EXPECT_EQ(atr.tck_present, 0);
    EXPECT_EQ(parse(atr, hexBytes("3B 80 00 80")), SCATR_BAD_LENGTH);
    // Bytes after the TCK.
    EXPECT_EQ(parse(atr, hexBytes("3B 80 01 81 00")), SCATR_BAD_LENGTH);
}

TEST(AtrParse, MissingBytesAreStructureErrors) {
    scatr_t atr;
    EXPECT_EQ(parse(atr, hexBytes("3B 02 41")), SCATR_BAD_LENGTH);  // K = 2, one byte
    EXPECT_EQ(atr.length, 0u);
    EXPECT_EQ(parse(atr, hexBytes("3B F0 11 00")), SCATR_BAD_LENGTH);  // TC1, TD1 missing
    EXPECT_EQ(parse(atr, hexBytes("3B 80 80")), SCATR_BAD_LENGTH);     // TD2 missing
}

TEST(AtrParse, HistoricalBytesAndGroups) {
    const Bytes b = withTck("3B DF 18 00 81 31 FE 45 80 31 80 66 40 90 A4 56 1B 16 83 01 90 00 AB");
    scatr_t atr;
    ASSERT_EQ(parse(atr, b), SCATR_OK);
    EXPECT_EQ(atr.length, b.size());
    EXPECT_EQ(atr.group_count, 3);
    EXPECT_EQ(atr.groups[0].ta, 0x18);
    EXPECT_EQ(atr.groups[0].tc, 0x00);
    EXPECT_EQ(atr.groups[0].tc_present, 1);
    EXPECT_EQ(atr.groups[0].tb_present, 0);
    EXPECT_EQ(atr.groups[2].ta, 0xFE);
    EXPECT_EQ(atr.groups[2].tb, 0x45);
    ASSERT_EQ(atr.hist_count, 15);
    EXPECT_EQ(hv::test::toHex(atr.hist, atr.hist_count),
              "80 31 80 66 40 90 A4 56 1B 16 83 01 90 00 AB");
}

// Group eight and later are walked, not stored; the historical bytes still land right.
TEST(AtrParse, GroupsPastTheSeventhAreSkipped) {
    // TD1..TD7 chain T=0 groups; TD7 announces a group 8 with TA8 only.
    scatr_t atr;
    Bytes b = hexBytes("3B 81 80 80 80 80 80 80 10 55 41");
    ASSERT_EQ(parse(atr, b), SCATR_OK);
    EXPECT_EQ(atr.group_count, 7);
    EXPECT_EQ(atr.hist_count, 1);
    EXPECT_EQ(atr.hist[0], 0x41);
    EXPECT_EQ(atr.tck_present, 0);

    // A TD8 naming T=1 makes the TCK mandatory although nothing of it is stored.
    b = withTck("3B 81 80 80 80 80 80 80 90 55 01 41");
    ASSERT_EQ(parse(atr, b), SCATR_OK);
    EXPECT_EQ(atr.tck_present, 1);
    EXPECT_EQ(atr.hist[0], 0x41);
    EXPECT_EQ(scatr_getAvailProtocols(&atr), 1u);  // TD1..TD7 only
    b.pop_back();
    EXPECT_EQ(parse(atr, b), SCATR_BAD_LENGTH);
}

TEST(AtrQuery, DefaultsWhenBytesAreMissing) {
    scatr_t atr;
    ASSERT_EQ(parse(atr, hexBytes("3B 00")), SCATR_OK);
    uint8_t v = 0xEE;
    EXPECT_EQ(scatr_TXi(&atr, SCATR_TA, 1, &v), SCATR_BYTE_DEFAULT);
    EXPECT_EQ(v, 0x11);
    EXPECT_EQ(scatr_TXi(&atr, SCATR_TC, 2, &v), SCATR_BYTE_DEFAULT);
    EXPECT_EQ(v, 10);
    EXPECT_EQ(scatr_TXi(&atr, SCATR_TB, 1, &v), SCATR_BYTE_ABSENT);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(scatr_TXi4T(&atr, SCATR_TA, 1, 1, &v), SCATR_BYTE_DEFAULT);
    EXPECT_EQ(v, 32);
    EXPECT_EQ(scatr_TXi4T(&atr, SCATR_TB, 1, 1, &v), SCATR_BYTE_DEFAULT);
    EXPECT_EQ(v, 0x4D);
    EXPECT_EQ(scatr_TXi4T(&atr, SCATR_TC, 1, 1, &v), SCATR_BYTE_DEFAULT);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(scatr_TXi4T(&atr, SCATR_TA, 1, 15, &v), SCATR_BYTE_DEFAULT);
    EXPECT_EQ(v, 0x01);
    // Defaults exist only for the first T=1 group and never for other protocols.
    EXPECT_EQ(scatr_TXi4T(&atr, SCATR_TA, 2, 1, &v), SCATR_BYTE_ABSENT);
    EXPECT_EQ(scatr_TXi4T(&atr, SCATR_TA, 1, 2, &v), SCATR_BYTE_ABSENT);
    // Bad selector or group.
    v = 0xEE;
    EXPECT_EQ(scatr_TXi(&atr, 4, 1, &v), SCATR_BYTE_ABSENT);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(scatr_TXi(&atr, SCATR_TA, 0, &v), SCATR_BYTE_ABSENT);
    EXPECT_EQ(scatr_TXi(nullptr, SCATR_TA, 1, &v), SCATR_BYTE_ABSENT);
    EXPECT_EQ(scatr_TXi(&atr, SCATR_TA, 1, nullptr), SCATR_BYTE_DEFAULT);
}

TEST(AtrQuery, PresentBytesWin) {
    scatr_t atr;
    ASSERT_EQ(parse(atr, withTck("3B F0 96 00 FF 81 31 FE 45")), SCATR_OK);
    uint8_t v;
    EXPECT_EQ(scatr_TXi(&atr, SCATR_TA, 1, &v), SCATR_BYTE_PRESENT);
    EXPECT_EQ(v, 0x96);
    EXPECT_EQ(scatr_TXi(&atr, SCATR_TC, 1, &v), SCATR_BYTE_PRESENT);
    EXPECT_EQ(v, 0xFF);
    EXPECT_EQ(scatr_TXi(&atr, SCATR_TD, 2, &v), SCATR_BYTE_PRESENT);
    EXPECT_EQ(v, 0x31);
    EXPECT_EQ(scatr_TXi(&atr, SCATR_TA, 3, &v), SCATR_BYTE_PRESENT);
    EXPECT_EQ(v, 0xFE);
    EXPECT_EQ(scatr_TXi(&atr, SCATR_TA, 4, &v), SCATR_BYTE_ABSENT);
}

// T=1 bytes follow the first TDk (k >= 2) naming T=1; TD1 naming T=1 does not count.
TEST(AtrQuery, ProtocolBytesWalkTheChainFromTd2) {
    scatr_t atr;
    ASSERT_EQ(parse(atr, withTck("3B 80 81 31 FE 45")), SCATR_OK);
    uint8_t v;
    EXPECT_EQ(scatr_TXi4T(&atr, SCATR_TA, 1, 1, &v), SCATR_BYTE_PRESENT);
    EXPECT_EQ(v, 0xFE);
    EXPECT_EQ(scatr_TXi4T(&atr, SCATR_TB, 1, 1, &v), SCATR_BYTE_PRESENT);
    EXPECT_EQ(v, 0x45);
    EXPECT_EQ(scatr_TXi4T(&atr, SCATR_TC, 1, 1, &v), SCATR_BYTE_DEFAULT);
    EXPECT_EQ(v, 0);

    // TB2 follows TD1 = T=1 but is a global byte, not the T=1 BWI/CWI.
    ASSERT_EQ(parse(atr, withTck("3B 80 A1 55 11 20")), SCATR_OK);
    EXPECT_EQ(scatr_TXi4T(&atr, SCATR_TB, 1, 1, &v), SCATR_BYTE_DEFAULT);
    EXPECT_EQ(v, 0x4D);
    EXPECT_EQ(scatr_TXi4T(&atr, SCATR_TA, 1, 1, &v), SCATR_BYTE_PRESENT);
    EXPECT_EQ(v, 0x20);

    // The second T=1 group, then T=15 after it.
    ASSERT_EQ(parse(atr, withTck("3B 80 81 F1 20 41 01 91 10 1F 07")), SCATR_OK);
    EXPECT_EQ(scatr_TXi4T(&atr, SCATR_TA, 1, 1, &v), SCATR_BYTE_PRESENT);
    EXPECT_EQ(v, 0x20);
    EXPECT_EQ(scatr_TXi4T(&atr, SCATR_TC, 1, 1, &v), SCATR_BYTE_PRESENT);
    EXPECT_EQ(v, 0x01);
    EXPECT_EQ(scatr_TXi4T(&atr, SCATR_TA, 2, 1, &v), SCATR_BYTE_PRESENT);
    EXPECT_EQ(v, 0x10);
    EXPECT_EQ(scatr_TXi4T(&atr, SCATR_TA, 1, 15, &v), SCATR_BYTE_PRESENT);
    EXPECT_EQ(v, 0x07);
    EXPECT_EQ(scatr_TXi4T(&atr, SCATR_TB, 1, 15, &v), SCATR_BYTE_DEFAULT);
    EXPECT_EQ(scatr_getAvailProtocols(&atr), (1u << 1) | (1u << 15));
}

TEST(AtrQuery, RateTables) {
    EXPECT_EQ(scatr_FDindex2F(0x11), 372u);
    EXPECT_EQ(scatr_FDindex2D(0x11), 1u);
    EXPECT_EQ(scatr_FDindex2Fmax(0x11), 5000000u);
    EXPECT_EQ(scatr_FDindex2F(0x96), 512u);
    EXPECT_EQ(scatr_FDindex2D(0x96), 32u);
    EXPECT_EQ(scatr_FDindex2Fmax(0x96), 5000000u);
    EXPECT_EQ(scatr_FDindex2F(0x71), 0u);
    EXPECT_EQ(scatr_FDindex2Fmax(0x7F), 0u);
    EXPECT_EQ(scatr_FDindex2Fmax(0x01), 4000000u);
    EXPECT_EQ(scatr_FDindex2Fmax(0xA1), 7500000u);
    EXPECT_EQ(scatr_FDindex2F(0xD1), 2048u);
    EXPECT_EQ(scatr_FDindex2D(0x18), 12u);
    EXPECT_EQ(scatr_FDindex2D(0x1A), 0u);
}

TEST(AtrQuery, ProtocolsOfferedAndDefault) {
    scatr_t atr;
    ASSERT_EQ(parse(atr, hexBytes("3B 80 80 01 01")), SCATR_OK);
    EXPECT_EQ(scatr_getAvailProtocols(&atr), 3u);
    EXPECT_EQ(scatr_getDefProtocol(&atr), 0);

    ASSERT_EQ(parse(atr, withTck("3B 80 01")), SCATR_OK);
    EXPECT_EQ(scatr_getAvailProtocols(&atr), 2u);  // T=1 only, no T=0 default
    EXPECT_EQ(scatr_getDefProtocol(&atr), 1);

    // Specific mode: TA2 names the only protocol whatever the TDs say.
    ASSERT_EQ(parse(atr, withTck("3B 80 90 01 01")), SCATR_OK);
    EXPECT_EQ(atr.groups[1].ta, 0x01);
    EXPECT_EQ(scatr_getAvailProtocols(&atr), 2u);
    EXPECT_EQ(scatr_getDefProtocol(&atr), 1);
    ASSERT_EQ(parse(atr, withTck("3B 80 91 10 01")), SCATR_OK);
    EXPECT_EQ(scatr_getAvailProtocols(&atr), 1u);
    EXPECT_EQ(scatr_getDefProtocol(&atr), 0);

    EXPECT_EQ(scatr_getAvailProtocols(nullptr), 0u);
    EXPECT_EQ(scatr_getDefProtocol(nullptr), 0);
}

TEST(AtrParse, InverseConventionDecodesAlike) {
    // TS 3F announces inverse convention; the bytes here are already converted.
    scatr_t direct, inverse;
    Bytes b = withTck("3B F0 13 00 00 81 31 FE 45");
    ASSERT_EQ(parse(direct, b), SCATR_OK);
    b[0] = 0x3F;
    ASSERT_EQ(parse(inverse, b), SCATR_OK);
    EXPECT_EQ(inverse.ts, 0x3F);
    inverse.ts = direct.ts;
    EXPECT_EQ(std::memcmp(&direct, &inverse, sizeof direct), 0);
}

}  // namespace
