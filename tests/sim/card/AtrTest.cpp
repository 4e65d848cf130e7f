#include <gtest/gtest.h>

#include "CardTestKit.h"
#include "vorasel/sim/Atr.h"

namespace hv::sim::test {
namespace {

uint8_t tck(const Bytes &atrWithoutTck) {
    uint8_t x = 0;
    for (size_t i = 1; i < atrWithoutTck.size(); ++i)
        x ^= atrWithoutTck[i];
    return x;
}

TEST(Atr, T0OnlyIsTheMinimalAnswerWithoutTck) {
    EXPECT_EQ(buildAtr({}), hex("3B 00"));
    AtrParams p;
    p.historical = hex("01 02 03");
    p.tc2 = 0x20;
    // TD1 announces T=0 only to reach TC2; no TCK since nothing but T=0 is offered.
    EXPECT_EQ(buildAtr(p), hex("3B 83 40 20 01 02 03"));
}

TEST(Atr, T1OnlyWithItsOwnBytesAndCrc) {
    AtrParams p;
    p.t0 = false;
    p.t1 = true;
    p.ta1 = 0x96;
    p.ifsc = 0xFE;
    p.bwiCwi = 0x45;
    p.crc = true;
    p.historical = hex("56 4F 52");
    const Bytes body = hex("3B 93 96 81 71 FE 45 01 56 4F 52");
    EXPECT_EQ(buildAtr(p), cat(body, {tck(body)}));

    const AtrFacts f = readAtrFacts(buildAtr(p));
    EXPECT_TRUE(f.readable);
    EXPECT_EQ(f.ta1, 0x96);
    EXPECT_EQ(f.protocols, 0b10);
    EXPECT_EQ(f.firstProtocol, 1);
    EXPECT_EQ(f.ifsc, 0xFE);
    EXPECT_EQ(f.bwiCwi, 0x45);
    EXPECT_TRUE(f.crc);
    EXPECT_FALSE(f.specificMode());
}

TEST(Atr, BothProtocolsPutT0FirstAndAnnounceT1InTd2) {
    AtrParams p;
    p.t1 = true;
    EXPECT_EQ(buildAtr(p), hex("3B 80 80 01 01"));
    const AtrFacts f = readAtrFacts(buildAtr(p));
    EXPECT_EQ(f.protocols, 0b11);
    EXPECT_EQ(f.firstProtocol, 0);
    EXPECT_EQ(f.ifsc, 32);  // defaults when the T=1 bytes are absent
    EXPECT_EQ(f.bwiCwi, 0x4D);
    EXPECT_FALSE(f.crc);
}

TEST(Atr, SpecificModeAndInverseConvention) {
    AtrParams p;
    p.inverse = true;
    p.t0 = false;
    p.t1 = true;
    p.ta1 = 0x13;
    p.ta2 = 0x01;
    const Bytes body = hex("3F 90 13 11 01");
    EXPECT_EQ(buildAtr(p), cat(body, {tck(body)}));
    const AtrFacts f = readAtrFacts(buildAtr(p));
    EXPECT_TRUE(f.inverse);
    EXPECT_TRUE(f.specificMode());
    EXPECT_EQ(f.firstProtocol, 1);
    EXPECT_EQ(f.protocols, 0b10);
}

TEST(Atr, ReadsThirdPartyAnswers) {
    // vicc's iso7816 card: TA1 13, T=1 announced twice, no T=1 bytes.
    AtrFacts f = readAtrFacts(hex("3B 95 13 81 01 80 73 FF 01 00 0B"));
    EXPECT_TRUE(f.readable);
    EXPECT_EQ(f.ta1, 0x13);
    EXPECT_EQ(f.firstProtocol, 1);
    EXPECT_EQ(f.ifsc, 32);
    // TD1 = 81 and TD2 = 31 both T=1: TA3 is the IFSC, not a byte of group 2.
    f = readAtrFacts(hex("3B 80 81 31 FE 45 8B"));
    EXPECT_EQ(f.ifsc, 0xFE);
    EXPECT_EQ(f.bwiCwi, 0x45);
    EXPECT_FALSE(f.ta2.has_value());
}

TEST(Atr, UnreadableAnswersFallBackToT0Defaults) {
    for (const Bytes &bad : {hex("3B"), hex("3C 00"), hex("3B 90"), hex("3B 05 01 02"),
                             hex("3B 80 01") /* TCK missing */}) {
        const AtrFacts f = readAtrFacts(bad);
        EXPECT_FALSE(f.readable);
        EXPECT_EQ(f.firstProtocol, 0);
        EXPECT_EQ(f.ta1, 0x11);
    }
}

TEST(Atr, HistoricalBytesAreCappedAtFifteen) {
    AtrParams p;
    p.historical = pattern(20);
    const Bytes atr = buildAtr(p);
    EXPECT_EQ(atr[1], 0x0F);
    EXPECT_EQ(atr.size(), 2u + 15u);
}

}  // namespace
}  // namespace hv::sim::test
