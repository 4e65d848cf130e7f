#include <gtest/gtest.h>

#include "AllocationCount.h"
#include "CardTestKit.h"

namespace hv::sim::test {
namespace {

const Bytes kSelectMf = hex("00 A4 00 0C 02 3F 00");

class T1 : public ::testing::Test {
protected:
    void power(CardConfig config) {
        card = std::make_unique<VirtualCard>(config);
        ASSERT_TRUE(card->powerOn(PowerSelect::V5));
    }
    Parsed send(const Bytes &b, Epilogue e = Epilogue::Lrc) {
        const Parsed p = parse(answer(*card, b), e);
        EXPECT_TRUE(p.ok) << "bad epilogue or length from the card";
        return p;
    }
    std::unique_ptr<VirtualCard> card;
};

TEST(CardEpilogue, KnownCheckValues) {
    // The test's own CRC against published values, so that it can judge the card's.
    const char digits[] = "123456789";
    EXPECT_EQ(crcBitwise(reinterpret_cast<const uint8_t *>(digits), 9), 0x31C3);
    EXPECT_EQ(crcBitwise(reinterpret_cast<const uint8_t *>("abc"), 3), 0x9DD6);
    EXPECT_EQ(rBlock(0, Epilogue::Crc), hex("00 80 00 1B 98"));
    EXPECT_EQ(block(0xC1, {0xFA}, Epilogue::Crc), hex("00 C1 01 FA 6C A3"));
    EXPECT_EQ(rBlock(0), hex("00 80 00 80"));
    EXPECT_EQ(block(0xC1, {0xFA}), hex("00 C1 01 FA 3A"));
}

TEST_F(T1, IfsRequestThenShortApdusWithAlternatingNumbers) {
    power(t1Config());
    EXPECT_EQ(answer(*card, hex("00 C1 01 FA 3A")), hex("00 E1 01 FA 1A"));
    EXPECT_EQ(card->status().ifsd, 0xFA);
    for (int i = 0; i < 4; ++i) {
        const int n = i & 1;
        const Parsed p = send(iBlock(n, false, kSelectMf));
        EXPECT_TRUE(p.isI());
        EXPECT_EQ(p.ns(), n);
        EXPECT_FALSE(p.more());
        EXPECT_EQ(p.inf, hex("90 00"));
    }
    EXPECT_EQ(card->status().commands, 4u);
}

TEST_F(T1, AnswersIntoAKeptReplyAllocateNothingOnceWarm) {
    // The daemon's reader answers every block this way: an allocation here is one per APDU.
    if (!hv::test::allocationsCounted())
        GTEST_SKIP() << "a sanitizer build: allocations are not counted";
    power(t1Config());
    const Bytes blocks[2] = {iBlock(0, false, kSelectMf), iBlock(1, false, kSelectMf)};
    CardReply reply;
    card->exchangeInto(blocks[0], reply);
    card->exchangeInto(blocks[1], reply);
    const uint64_t before = hv::test::allocationsSoFar();
    for (int i = 0; i < 100; ++i)
        card->exchangeInto(blocks[i & 1], reply);
    EXPECT_EQ(hv::test::allocationsSoFar() - before, 0u);
    EXPECT_FALSE(reply.mute);
    EXPECT_EQ(parse(reply.bytes, Epilogue::Lrc).inf, hex("90 00"));
    EXPECT_EQ(card->status().commands, 102u);
}

TEST_F(T1, CrcCardChecksAndSignsEveryBlock) {
    power(t1Config(32, true));
    EXPECT_EQ(answer(*card, hex("00 C1 01 FA 6C A3")), block(0xE1, {0xFA}, Epilogue::Crc));
    Bytes b = iBlock(0, false, kSelectMf, Epilogue::Crc);
    b[b.size() - 2] ^= 0x80;
    Parsed p = send(b, Epilogue::Crc);
    EXPECT_EQ(p.pcb, 0x81);  // EDC error, N(R) 0
    // An LRC block is a byte short for a CRC card: not a block at all.
    p = send(iBlock(0, false, kSelectMf, Epilogue::Lrc), Epilogue::Crc);
    EXPECT_EQ(p.pcb, 0x82);
    p = send(iBlock(0, false, kSelectMf, Epilogue::Crc), Epilogue::Crc);
    EXPECT_EQ(p.inf, hex("90 00"));
}

TEST_F(T1, CommandChainingAtTheCardsIfsc) {
    power(t1Config());
    ASSERT_EQ(send(block(0xC1, {254})).pcb, 0xE1);
    // 40-byte ECHO command: 32 bytes with M, the card asks for N(S) 1, then the last 8.
    const Bytes data = pattern(35);
    const Bytes apdu = cat(hex("00 EE 00 00 23"), data);
    Parsed p = send(iBlock(0, true, Bytes(apdu.begin(), apdu.begin() + 32)));
    EXPECT_EQ(p.pcb, 0x90);  // R-block, N(R) 1
    p = send(iBlock(1, false, Bytes(apdu.begin() + 32, apdu.end())));
    EXPECT_TRUE(p.isI());
    EXPECT_EQ(p.ns(), 0);
    EXPECT_EQ(p.inf, cat(data, hex("90 00")));
}

TEST_F(T1, BlockAboveIfscIsRejected) {
    power(t1Config(16));
    Parsed p = send(iBlock(0, false, cat(hex("00 EE 00 00 0C"), pattern(12))));
    EXPECT_EQ(p.pcb, 0x82);  // R(0), other error
    p = send(iBlock(0, false, cat(hex("00 EE 00 00 0B"), pattern(11))));
    EXPECT_TRUE(p.isI());
    EXPECT_EQ(card->status().invalidBlocks, 1u);
}

TEST_F(T1, AnswerChainingAtTheHostsIfsd) {
    power(t1Config());
    // ECHO of 100 pattern bytes with IFSD still 32: blocks of 32, 32, 32, 6 (+ SW).
    const Bytes apdu = hex("00 EE 00 64");
    Parsed p = send(iBlock(0, false, apdu));
    Bytes got;
    int expectNs = 0;
    std::vector<size_t> sizes;
    for (;;) {
        ASSERT_TRUE(p.isI());
        ASSERT_EQ(p.ns(), expectNs);
        sizes.push_back(p.inf.size());
        got.insert(got.end(), p.inf.begin(), p.inf.end());
        expectNs ^= 1;
        if (!p.more()) break;
        p = send(rBlock(expectNs));
    }
    EXPECT_EQ(sizes, (std::vector<size_t>{32, 32, 32, 6}));
    EXPECT_EQ(got, cat(pattern(100), hex("90 00")));
    // The next command acknowledges the last block; the card's next N(S) is 0 again.
    p = send(iBlock(1, false, kSelectMf));
    EXPECT_EQ(p.ns(), 0);
}

TEST_F(T1, CardMayChooseSmallerBlocks) {
    CardConfig c = t1Config();
    c.t1MaxSendInf = 16;
    power(c);
    T1Host host(*card);
    host.negotiateIfsd(254);
    EXPECT_EQ(host.transmit(hex("00 EE 00 28")), cat(pattern(40), hex("90 00")));
}

TEST_F(T1, ExtendedApduBothWays) {
    power(t1Config(254));
    T1Host host(*card, 254);
    host.negotiateIfsd(254);
    const Bytes data = pattern(65535, 9);
    const Bytes apdu = cat(cat(hex("00 EE 00 00 00 FF FF"), data), hex("00 00"));
    EXPECT_EQ(host.transmit(apdu), cat(data, hex("90 00")));
    // And the card is in step for the next one.
    EXPECT_EQ(host.transmit(kSelectMf), hex("90 00"));
}

TEST_F(T1, CorruptedHostBlockIsAnsweredWithRBlock) {
    power(t1Config());
    Bytes b = iBlock(0, false, kSelectMf);
    b.back() ^= 0x40;
    EXPECT_EQ(answer(*card, b), hex("00 81 00 81"));  // N(R) 0, EDC error
    b[2] = 9;                                         // LEN disagrees with the length
    EXPECT_EQ(parse(answer(*card, b)).pcb, 0x82);
    EXPECT_EQ(parse(answer(*card, hex("00 00"))).pcb, 0x82);  // cut short
    EXPECT_EQ(parse(answer(*card, block(0x00, kSelectMf, Epilogue::Lrc, 0x12))).pcb, 0x82);
    EXPECT_EQ(send(iBlock(0, false, kSelectMf)).inf, hex("90 00"));
    EXPECT_EQ(card->status().invalidBlocks, 4u);
}

TEST_F(T1, LostAnswerIsSentAgainOnRequest) {
    power(t1Config());
    card->arm(FaultPlan(CardFault::CorruptReply));
    const CardReply bad = card->exchange(iBlock(0, false, hex("00 EE 00 00 02 AB CD")));
    EXPECT_FALSE(parse(bad.bytes).ok);
    // The host asks for the card's I-block N(S) 0 again.
    const Parsed p = send(rBlock(0));
    EXPECT_TRUE(p.isI());
    EXPECT_EQ(p.ns(), 0);
    EXPECT_EQ(p.inf, hex("AB CD 90 00"));
    Bytes intact = bad.bytes;
    intact.back() ^= 0x01;
    EXPECT_EQ(answer(*card, rBlock(0)), intact);
}

TEST_F(T1, LostAcknowledgementDuringChainsIsRepeated) {
    power(t1Config());
    // ECHO of two pattern bytes, padded to 45 bytes to need a chain.
    const Bytes apdu = cat(hex("00 EE 00 02 28"), pattern(40));
    EXPECT_EQ(send(iBlock(0, true, Bytes(apdu.begin(), apdu.begin() + 32))).pcb, 0x90);
    // The host did not get the R-block and says so with its own R-block.
    EXPECT_EQ(send(rBlock(0)).pcb, 0x90);
    // A repeated I-block with the old N(S) is not taken twice.
    EXPECT_EQ(send(iBlock(0, true, Bytes(apdu.begin(), apdu.begin() + 32))).pcb, 0x92);
    Parsed p = send(iBlock(1, false, Bytes(apdu.begin() + 32, apdu.end())));
    EXPECT_EQ(p.inf, hex("00 01 90 00"));

    // Answer chain: R-block with the N(S) of the block just received asks for it again.
    p = send(iBlock(0, false, hex("00 EE 00 30")));
    ASSERT_TRUE(p.more());
    const Parsed again = send(rBlock(1));  // card's block had N(S) 1
    EXPECT_EQ(again.pcb, p.pcb);
    EXPECT_EQ(again.inf, p.inf);
    const Parsed next = send(rBlock(0));
    EXPECT_EQ(next.ns(), 0);
    EXPECT_FALSE(next.more());
    EXPECT_EQ(cat(p.inf, next.inf), cat(pattern(48), hex("90 00")));
}

TEST_F(T1, ResynchRestartsNumberingAndSizes) {
    power(t1Config());
    T1Host host(*card);
    host.negotiateIfsd(254);
    host.transmit(kSelectMf);
    ASSERT_EQ(card->status().ifsd, 254);
    EXPECT_EQ(answer(*card, block(0xC0)), block(0xE0));
    const CardStatus s = card->status();
    EXPECT_EQ(s.ifsd, 32);
    EXPECT_EQ(s.resynchs, 1u);
    // Both sides start again from 0.
    const Parsed p = send(iBlock(0, false, hex("00 EE 00 30")));
    EXPECT_EQ(p.ns(), 0);
    EXPECT_EQ(p.inf.size(), 32u);
}

TEST_F(T1, HostAbortEndsAChain) {
    power(t1Config());
    EXPECT_EQ(send(iBlock(0, true, pattern(32))).pcb, 0x90);
    EXPECT_EQ(answer(*card, block(0xC2)), block(0xE2));
    EXPECT_EQ(card->status().aborts, 1u);
    // The aborted chain is gone: a fresh command with the next N(S) stands on its own.
    EXPECT_EQ(send(iBlock(1, false, kSelectMf)).inf, hex("90 00"));
}

TEST_F(T1, RefusedOrMalformedSBlocks) {
    CardConfig c = t1Config();
    c.t1AcceptIfsRequest = false;
    power(c);
    EXPECT_EQ(send(block(0xC1, {0xFA})).pcb, 0x82);  // refused: the host goes on without it
    EXPECT_EQ(card->status().ifsd, 32);
    EXPECT_EQ(send(block(0xC1, {0x00})).pcb, 0x82);
    EXPECT_EQ(send(block(0xC3, {0x01})).pcb, 0x82);  // only the card asks for time
    EXPECT_EQ(send(block(0xE3, {0x01})).pcb, 0x82);  // a response nobody asked for
    EXPECT_EQ(send(block(0xC5)).pcb, 0x82);          // no such S-block
    EXPECT_EQ(send(block(0xC2, {0x00})).pcb, 0x82);  // ABORT carries no data
    EXPECT_EQ(send(iBlock(0, false, kSelectMf)).inf, hex("90 00"));
}

TEST_F(T1, OverlongChainIsAbortedByTheCard) {
    power(t1Config(254));
    int ns = 0;
    Parsed p;
    size_t sent = 0;
    do {
        p = send(iBlock(ns, true, pattern(254)));
        sent += 254;
        ns ^= 1;
    } while (p.isR() && sent < 70000);
    EXPECT_EQ(p.pcb, 0xC2);
    EXPECT_GT(sent, 65544u);
    // The card did not take the block that overflowed: it asks for that N(S) again.
    p = send(block(0xE2));
    EXPECT_EQ(p.pcb, ns ? 0x80 : 0x90);
    EXPECT_EQ(send(iBlock(ns ^ 1, false, kSelectMf)).inf, hex("90 00"));
}

}  // namespace
}  // namespace hv::sim::test
