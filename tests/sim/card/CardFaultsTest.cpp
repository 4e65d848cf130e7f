#include <gtest/gtest.h>

#include "CardTestKit.h"

namespace hv::sim::test {
namespace {

using namespace std::chrono_literals;

const Bytes kSelectMf = hex("00 A4 00 0C 02 3F 00");

class Faults : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(card.powerOn(PowerSelect::V5)); }
    Parsed send(const Bytes &b) {
        const Parsed p = parse(answer(card, b));
        EXPECT_TRUE(p.ok);
        return p;
    }
    VirtualCard card{t1Config()};
};

TEST_F(Faults, ScheduleSkipsThenHitsThenEnds) {
    card.arm(FaultPlan(CardFault::Mute, 1, 2));
    T1Host host(card);
    EXPECT_FALSE(card.exchange(iBlock(0, false, kSelectMf)).mute);
    EXPECT_TRUE(card.exchange(iBlock(1, false, kSelectMf)).mute);
    EXPECT_TRUE(card.exchange(iBlock(1, false, kSelectMf)).mute);
    EXPECT_FALSE(card.exchange(iBlock(1, false, kSelectMf)).mute);
    EXPECT_EQ(card.faultHits(CardFault::Mute), 2u);

    card.arm(FaultPlan(CardFault::Slow, 0, kFaultForever).slow(1500us));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(card.exchange(rBlock(0)).busy, 1500us);
    card.clearFaults();
    EXPECT_EQ(card.exchange(rBlock(0)).busy, 0us);
}

TEST_F(Faults, MuteMeansTheBlockNeverArrived) {
    card.arm(FaultPlan(CardFault::Mute));
    EXPECT_TRUE(card.exchange(iBlock(0, false, kSelectMf)).mute);
    EXPECT_EQ(card.status().commands, 0u);
    // The host's R-block after its time-out: the card asks for the I-block it still expects.
    EXPECT_EQ(send(rBlock(0)).pcb, 0x82);
    EXPECT_EQ(send(iBlock(0, false, kSelectMf)).inf, hex("90 00"));
}

TEST_F(Faults, DroppedAnswerIsRecoveredByRBlock) {
    card.arm(FaultPlan(CardFault::DropReply));
    EXPECT_TRUE(card.exchange(iBlock(0, false, hex("00 EE 00 00 01 77"))).mute);
    EXPECT_EQ(card.status().commands, 1u);
    const Parsed p = send(rBlock(0));
    EXPECT_EQ(p.inf, hex("77 90 00"));
    EXPECT_EQ(card.status().commands, 1u);  // sent again, not done again
}

TEST_F(Faults, CorruptReplyAtAnyOffset) {
    card.arm(FaultPlan(CardFault::CorruptReply).corrupt(1, 0x40));
    Bytes r = answer(card, iBlock(0, false, kSelectMf));
    EXPECT_EQ(r[1], 0x40);                                           // PCB of I(0) turned into I(1)
    card.arm(FaultPlan(CardFault::CorruptReply).corrupt(50, 0xFF));  // past the end: no effect
    EXPECT_TRUE(parse(answer(card, iBlock(1, false, kSelectMf))).ok);
}

TEST_F(Faults, ReplayedBlockIsStaleAndTheRightOneFollows) {
    T1Host host(card);
    host.negotiateIfsd(254);
    const Bytes ifsAnswer = block(0xE1, {254});
    card.arm(FaultPlan(CardFault::ReplayPrevious));
    EXPECT_EQ(answer(card, iBlock(0, false, hex("00 EE 00 00 01 55"))), ifsAnswer);
    EXPECT_EQ(send(rBlock(0)).inf, hex("55 90 00"));
}

TEST_F(Faults, RemovedMidExchange) {
    T1Host host(card);
    EXPECT_EQ(host.transmit(kSelectMf), hex("90 00"));
    card.arm(FaultPlan(CardFault::Removed));
    const CardReply r = card.exchange(iBlock(1, false, kSelectMf));
    EXPECT_TRUE(r.removed);
    EXPECT_TRUE(r.mute);
    EXPECT_FALSE(card.status().powered);
    EXPECT_TRUE(card.exchange(iBlock(1, false, kSelectMf)).mute);
    EXPECT_FALSE(card.exchange(iBlock(1, false, kSelectMf)).removed);
}

TEST_F(Faults, PowerOnMuteAtChosenVoltages) {
    card.arm(FaultPlan(CardFault::PowerOnMute, 0, kFaultForever).at(kClassA));
    EXPECT_FALSE(card.powerOn(PowerSelect::V5));
    EXPECT_FALSE(card.powerOn(PowerSelect::V5));
    EXPECT_TRUE(card.powerOn(PowerSelect::V3));
    card.clearFaults();
    card.arm(FaultPlan(CardFault::PowerOnMute, 1, 1).at(kClassA | kClassB));
    EXPECT_TRUE(card.powerOn(PowerSelect::V3));
    EXPECT_FALSE(card.powerOn(PowerSelect::V5));
    EXPECT_TRUE(card.powerOn(PowerSelect::V5));
}

TEST_F(Faults, WtxStormBeforeTheAnswer) {
    card.arm(FaultPlan(CardFault::WtxStorm).wtx(3, 4));
    Parsed p = send(iBlock(0, false, hex("00 EE 00 00 01 42")));
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(p.pcb, 0xC3);
        ASSERT_EQ(p.inf, Bytes{4});
        if (i == 1) {
            // A wrong multiplier in the answer does not count: the card asks again.
            EXPECT_EQ(send(block(0xE3, {5})).pcb, 0xC3);
            // Nor does a corrupted block.
            Bytes bad = block(0xE3, {4});
            bad.back() ^= 1;
            EXPECT_EQ(send(bad).pcb, 0xC3);
        }
        p = send(block(0xE3, {4}));
    }
    EXPECT_TRUE(p.isI());
    EXPECT_EQ(p.inf, hex("42 90 00"));
    EXPECT_EQ(card.status().wtxRequests, 3u);
}

TEST_F(Faults, WtxStormOnEveryCommandThroughAPlainHost) {
    card.arm(FaultPlan(CardFault::WtxStorm, 0, kFaultForever).wtx(2, 1));
    T1Host host(card);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(host.transmit(kSelectMf), hex("90 00"));
    EXPECT_EQ(host.wtxAnswered(), 6);
}

TEST_F(Faults, CardAbortsItsAnswerChain) {
    card.arm(FaultPlan(CardFault::AbortChain, 1));          // the second block of the chain
    Parsed p = send(iBlock(0, false, hex("00 EE 00 50")));  // 80 bytes: 3 blocks at IFSD 32
    ASSERT_TRUE(p.more());
    EXPECT_EQ(p.ns(), 0);
    p = send(rBlock(1));
    EXPECT_EQ(p.pcb, 0xC2);
    EXPECT_EQ(card.status().aborts, 1u);
    // The host's response hands the turn back with an R-block naming the host's next N(S).
    p = send(block(0xE2));
    EXPECT_EQ(p.pcb, 0x90);
    // The card's next I-block is N(S) 1: its block 0 was acknowledged, block 1 never sent.
    p = send(iBlock(1, false, kSelectMf));
    EXPECT_EQ(p.ns(), 1);
    EXPECT_EQ(p.inf, hex("90 00"));
}

TEST_F(Faults, CardAbortsTheHostsChain) {
    card.arm(FaultPlan(CardFault::AbortChain, 1));  // instead of the second acknowledgement
    EXPECT_EQ(send(iBlock(0, true, pattern(32))).pcb, 0x90);
    EXPECT_EQ(send(iBlock(1, true, pattern(32))).pcb, 0xC2);
    // Block N(S) 1 was not acknowledged, so the card asks for N(S) 1 and takes it next.
    EXPECT_EQ(send(block(0xE2)).pcb, 0x90);
    EXPECT_EQ(send(iBlock(1, false, kSelectMf)).inf, hex("90 00"));
}

TEST_F(Faults, CardAnnouncesANewIfsc) {
    card.arm(FaultPlan(CardFault::IfsRequest).ifsc(16));
    Parsed p = send(iBlock(0, false, kSelectMf));
    EXPECT_EQ(p.pcb, 0xC1);
    EXPECT_EQ(p.inf, Bytes{16});
    EXPECT_EQ(send(block(0xE1, {15})).pcb, 0xC1);  // not what was asked: asked again
    p = send(block(0xE1, {16}));
    EXPECT_EQ(p.inf, hex("90 00"));  // the answer it held back
    EXPECT_EQ(card.status().ifsc, 16);
    EXPECT_EQ(send(iBlock(1, false, cat(hex("00 EE 00 00 0C"), pattern(12)))).pcb, 0x92);
    EXPECT_EQ(send(iBlock(1, false, cat(hex("00 EE 00 00 0B"), pattern(11)))).inf,
              cat(pattern(11), hex("90 00")));
}

TEST_F(Faults, ResynchClearsAnOutstandingRequest) {
    card.arm(FaultPlan(CardFault::WtxStorm).wtx(1, 2));
    EXPECT_EQ(send(iBlock(0, false, kSelectMf)).pcb, 0xC3);
    EXPECT_EQ(answer(card, block(0xC0)), block(0xE0));
    EXPECT_EQ(send(iBlock(0, false, kSelectMf)).inf, hex("90 00"));
}

TEST_F(Faults, SilentApplicationHangsTheCardUntilReset) {
    class Silent : public CardApplication {
    public:
        ResetAnswer reset(ResetKind) override { return {}; }
        bool process(std::span<const uint8_t>, Bytes &) override { return calls++ > 0; }
        int calls = 0;
    };
    auto app = std::make_shared<Silent>();
    VirtualCard c(t1Config(), app);
    ASSERT_TRUE(c.powerOn(PowerSelect::V5));
    EXPECT_TRUE(c.exchange(iBlock(0, false, kSelectMf)).mute);
    EXPECT_TRUE(c.exchange(rBlock(0)).mute);
    EXPECT_TRUE(c.exchange(block(0xC0)).mute);
    ASSERT_TRUE(c.powerOn(PowerSelect::V5));
    EXPECT_FALSE(c.exchange(block(0xC0)).mute);
}

}  // namespace
}  // namespace hv::sim::test
