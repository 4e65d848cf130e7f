#include <gtest/gtest.h>

#include "CardTestKit.h"
#include "vorasel/sim/IsoCard.h"

namespace hv::sim::test {
namespace {

Bytes withPck(Bytes pps) {
    uint8_t x = 0;
    for (uint8_t b : pps)
        x ^= b;
    pps.push_back(x);
    return pps;
}

CardConfig fastT1(PpsBehaviour behaviour = PpsBehaviour::Accept) {
    CardConfig c = t1Config();
    c.atr.ta1 = 0x96;
    c.pps = behaviour;
    return c;
}

// Records the resets it is asked for.
class ResetRecorder : public IsoCard {
public:
    ResetAnswer reset(ResetKind kind) override {
        kinds.push_back(kind);
        return IsoCard::reset(kind);
    }
    void powerOff() override { ++offs; }
    std::vector<ResetKind> kinds;
    int offs = 0;
};

TEST(CardPower, AnswersOnlyAtItsVoltages) {
    CardConfig c;
    c.voltages = kClassB;
    VirtualCard card(c);
    EXPECT_FALSE(card.powerOn(PowerSelect::V5).has_value());
    EXPECT_FALSE(card.status().powered);
    EXPECT_EQ(card.powerOn(PowerSelect::V3), hex("3B 00"));
    EXPECT_FALSE(card.powerOn(PowerSelect::V1_8).has_value());
    EXPECT_EQ(card.powerOn(PowerSelect::Automatic), hex("3B 00"));
}

TEST(CardPower, ColdThenWarmResetsReachTheApplication) {
    auto app = std::make_shared<ResetRecorder>();
    VirtualCard card({}, app);
    ASSERT_TRUE(card.powerOn(PowerSelect::V5));
    ASSERT_TRUE(card.powerOn(PowerSelect::V5));
    card.powerOff();
    card.powerOff();  // already off: not passed on again
    ASSERT_TRUE(card.powerOn(PowerSelect::V5));
    EXPECT_EQ(app->kinds,
              (std::vector<ResetKind>{ResetKind::Cold, ResetKind::Warm, ResetKind::Cold}));
    EXPECT_EQ(app->offs, 1);
    EXPECT_EQ(card.status().powerOns, 3u);
}

TEST(CardPower, UnpoweredCardIsMute) {
    VirtualCard card;
    EXPECT_TRUE(card.exchange(hex("00 A4 00 0C 00")).mute);
    ASSERT_TRUE(card.powerOn(PowerSelect::V5));
    card.powerOff();
    EXPECT_TRUE(card.exchange(hex("00 A4 00 0C 00")).mute);
}

TEST(CardPower, RawAtrIsSentAndDecidesTheProtocol) {
    CardConfig c;
    c.rawAtr = hex("3B 80 81 31 FE 45 8B");
    VirtualCard card(c);
    EXPECT_EQ(card.powerOn(PowerSelect::V5), c.rawAtr);
    EXPECT_EQ(card.status().protocol, 1);
    EXPECT_EQ(card.status().ifsc, 0xFE);
}

TEST(Pps, AcceptedRequestIsEchoedAndSelectsRate) {
    VirtualCard card(fastT1());
    ASSERT_TRUE(card.powerOn(PowerSelect::V5));
    EXPECT_EQ(answer(card, hex("FF 11 96 78")), hex("FF 11 96 78"));
    const CardStatus s = card.status();
    EXPECT_TRUE(s.ppsDone);
    EXPECT_EQ(s.fidi, 0x96);
    EXPECT_EQ(s.protocol, 1);
    // T=1 from now on.
    const Parsed p = parse(answer(card, block(0xC1, {0xFA})));
    EXPECT_EQ(p.pcb, 0xE1);
}

TEST(Pps, RateBeyondTheCardKeepsDefaultRate) {
    VirtualCard card(fastT1());
    ASSERT_TRUE(card.powerOn(PowerSelect::V5));
    // D = 64 is more than TA1's 32: PPS1 is left out of the answer.
    EXPECT_EQ(answer(card, withPck(hex("FF 11 97"))), hex("FF 01 FE"));
    EXPECT_EQ(card.status().fidi, 0x11);
    ASSERT_TRUE(card.powerOn(PowerSelect::V5));
    // A slower D at the same F is fine.
    EXPECT_EQ(answer(card, withPck(hex("FF 11 94"))), withPck(hex("FF 11 94")));
    EXPECT_EQ(card.status().fidi, 0x94);
}

TEST(Pps, ConfiguredMisbehaviours) {
    {
        VirtualCard card(fastT1(PpsBehaviour::DeclinePps1));
        ASSERT_TRUE(card.powerOn(PowerSelect::V5));
        EXPECT_EQ(answer(card, hex("FF 11 96 78")), hex("FF 01 FE"));
    }
    {
        CardConfig c = fastT1(PpsBehaviour::OtherProtocol);
        c.atr.t0 = true;
        VirtualCard card(c);
        ASSERT_TRUE(card.powerOn(PowerSelect::V5));
        EXPECT_EQ(answer(card, hex("FF 11 96 78")), withPck(hex("FF 10 96")));
        EXPECT_EQ(card.status().protocol, 0);
    }
    {
        CardConfig c = fastT1(PpsBehaviour::OtherFD);
        c.ppsOtherFiDi = 0x95;
        VirtualCard card(c);
        ASSERT_TRUE(card.powerOn(PowerSelect::V5));
        EXPECT_EQ(answer(card, hex("FF 11 96 78")), hex("FF 11 95 7B"));
    }
    {
        VirtualCard card(fastT1(PpsBehaviour::NoAnswer));
        ASSERT_TRUE(card.powerOn(PowerSelect::V5));
        EXPECT_TRUE(card.exchange(hex("FF 11 96 78")).mute);
    }
}

TEST(Pps, ErroneousRequestsGetNoAnswer) {
    for (const Bytes &req : {hex("FF 11 96 00") /* PCK */, hex("FF 10 96 79") /* T=0 not offered */,
                             hex("FF 11 96") /* short */, hex("FF 31 96 78") /* PPS2 missing */}) {
        VirtualCard card(fastT1());
        ASSERT_TRUE(card.powerOn(PowerSelect::V5));
        EXPECT_TRUE(card.exchange(req).mute);
        EXPECT_FALSE(card.status().ppsDone);
    }
}

TEST(Pps, OnlyRightAfterTheAtrAndNotInSpecificMode) {
    VirtualCard card(fastT1());
    ASSERT_TRUE(card.powerOn(PowerSelect::V5));
    ASSERT_EQ(parse(answer(card, block(0xC1, {0xFA}))).pcb, 0xE1);
    // Now FF is just a T=1 block with a node address the card does not have.
    const Parsed p = parse(answer(card, hex("FF 11 96 78")));
    EXPECT_TRUE(p.isR());
    EXPECT_FALSE(card.status().ppsDone);

    CardConfig c = fastT1();
    c.atr.ta2 = 0x01;
    VirtualCard specific(c);
    ASSERT_TRUE(specific.powerOn(PowerSelect::V5));
    EXPECT_EQ(specific.status().fidi, 0x96);  // TA2 bit 5 clear: TA1 applies at once
    EXPECT_TRUE(specific.exchange(hex("FF 11 96 78")).mute);
}

TEST(Pps, DualProtocolCardSwitchesToT1) {
    CardConfig c;
    c.atr.t1 = true;
    VirtualCard card(c);
    ASSERT_TRUE(card.powerOn(PowerSelect::V5));
    EXPECT_EQ(card.status().protocol, 0);
    EXPECT_EQ(answer(card, hex("FF 11 11 FF")), hex("FF 11 11 FF"));
    EXPECT_EQ(card.status().protocol, 1);
    T1Host host(card);
    expectSw(host.transmit(hex("00 A4 00 0C 02 3F 00")), 0x9000);

    // After a new reset and no PPS: T=0 again.
    ASSERT_TRUE(card.powerOn(PowerSelect::V5));
    EXPECT_EQ(answer(card, hex("00 A4 00 0C 02 3F 00")), hex("90 00"));
}

}  // namespace
}  // namespace hv::sim::test
