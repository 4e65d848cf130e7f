// Each of the reader's fault knobs produces its fault, and only when scheduled.
#include <gtest/gtest.h>

#include "CcidHost.h"
#include "Wait.h"
#include "vorasel/sim/Ccid.h"

namespace hv::sim::test {
namespace {

const Bytes kAtr = {0x3B, 0x02, 0x14, 0x50};

// A reader with a card, both sessions open and the card powered (bSeq 0 used).
struct Powered : ReaderBench {
    Powered() : card(insert()), irq(openInterrupt()), bulk(openBulk()) {
        EXPECT_EQ(irq.readBytes(2), (Bytes{0x50, 0x03}));
        bulk.write(powerOnCmd(0, 1));
        EXPECT_TRUE(bulk.readMessage());
    }
    std::shared_ptr<EchoCard> card;
    HostEnd irq;
    HostEnd bulk;
};

TEST(CcidFaults, SplitAtChosenPointsArrivesInThosePieces) {
    Powered p;
    p.reader.faults().add(Fault::split({4, 10}, 150ms).on(ccid::kXfrBlock));
    const Bytes block = {0x00, 0x00, 0x02, 0x90, 0x00, 0x92};
    p.bulk.write(xfrCmd(1, block));
    Bytes all;
    std::vector<size_t> pieces;
    while (all.size() < 10 + block.size()) {
        auto chunk = p.bulk.readChunk();
        ASSERT_TRUE(chunk && !chunk->empty());
        pieces.push_back(chunk->size());
        all.insert(all.end(), chunk->begin(), chunk->end());
    }
    EXPECT_EQ(pieces, (std::vector<size_t>{4, 6, block.size()}));
    auto r = decode(all);
    EXPECT_EQ(r.seq, 1);
    EXPECT_EQ(r.data, block);
    EXPECT_EQ(p.reader.faults().fired(FaultKind::Split), 1u);

    // Spent after one: the next answer comes whole.
    p.bulk.write(xfrCmd(2, block));
    auto whole = p.bulk.readChunk();
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->size(), 10 + block.size());
}

TEST(CcidFaults, RandomSplitsAreReproducibleAndKeepTheBytes) {
    auto cutsOf = [](uint32_t seed) {
        Powered p;
        p.reader.faults().add(Fault::splitRandom(4, seed, 60ms).on(ccid::kIccPowerOn));
        p.bulk.write(powerOnCmd(1, 1));
        Bytes all;
        std::vector<size_t> sizes;
        while (all.size() < 10 + kAtr.size()) {
            auto chunk = p.bulk.readChunk();
            EXPECT_TRUE(chunk && !chunk->empty());
            if (!chunk || chunk->empty()) break;
            sizes.push_back(chunk->size());
            all.insert(all.end(), chunk->begin(), chunk->end());
        }
        EXPECT_EQ(decode(all).data, kAtr);
        return sizes;
    };
    const auto a = cutsOf(7);
    EXPECT_EQ(a.size(), 4u);
    EXPECT_EQ(cutsOf(7), a);
}

TEST(CcidFaults, MergeHoldsAnAnswerUntilTheNextOneAndWritesBothAtOnce) {
    Powered p;
    p.reader.faults().add(Fault::merge().on(ccid::kGetSlotStatus));
    p.bulk.write(slotStatusCmd(1));
    p.bulk.write(xfrCmd(2, {0x01, 0x02}));
    auto chunk = p.bulk.readChunk();
    ASSERT_TRUE(chunk);
    ASSERT_EQ(chunk->size(), 10u + 12u);  // both messages in one delivery
    EXPECT_EQ((*chunk)[6], 1);
    EXPECT_EQ((*chunk)[16], 2);
}

TEST(CcidFaults, MergedSlotChangesArriveInOneDelivery) {
    ReaderBench b;
    auto irq = b.openInterrupt();
    EXPECT_EQ(irq.readBytes(2), (Bytes{0x50, 0x02}));  // powered up with an empty slot
    b.reader.faults().add(Fault::merge().on(ccid::kNotifySlotChange));
    b.insert();
    b.reader.removeCard();
    auto chunk = irq.readChunk();
    ASSERT_TRUE(chunk);
    EXPECT_EQ(*chunk, (Bytes{0x50, 0x03, 0x50, 0x02}));
}

TEST(CcidFaults, DelayHoldsTheAnswerBack) {
    Powered p;
    p.reader.faults().add(Fault::delayBy(80ms).on(ccid::kXfrBlock));
    const auto start = Clock::now();
    p.bulk.write(xfrCmd(1, {0x42}));
    auto r = p.bulk.readMessage();
    ASSERT_TRUE(r);
    EXPECT_GE(Clock::now() - start, 80ms);
    EXPECT_EQ(r->data, Bytes{0x42});
}

TEST(CcidFaults, DroppedAnswerNeverComesAndIsRecordedAsWithheld) {
    Powered p;
    p.reader.faults().add(Fault::drop().on(ccid::kXfrBlock));
    p.bulk.write(xfrCmd(1, {0x01}));
    p.bulk.write(slotStatusCmd(2));
    auto r = p.bulk.readMessage();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->seq, 2);  // the first bytes on the wire belong to the next command
    const auto withheld = p.reader.recorder().select("ccidbulk", Direction::Withheld);
    ASSERT_EQ(withheld.size(), 1u);
    EXPECT_EQ(withheld[0].note, "drop");
    EXPECT_EQ(withheld[0].bytes[6], 1);
    EXPECT_EQ(p.card->exchanges(), 1);  // the card did get the block
}

TEST(CcidFaults, StaleAnswerWithAnOldBSeqComesBeforeTheRightOne) {
    Powered p;
    p.reader.faults().add(Fault::stale().on(ccid::kXfrBlock));
    p.bulk.write(xfrCmd(1, {0x11, 0x22}));
    auto stale = p.bulk.readMessage();
    ASSERT_TRUE(stale);
    EXPECT_EQ(stale->seq, 0);  // the power-on's answer again
    EXPECT_EQ(stale->data, kAtr);
    auto right = p.bulk.readMessage();
    ASSERT_TRUE(right);
    EXPECT_EQ(right->seq, 1);
    EXPECT_EQ(right->data, (Bytes{0x11, 0x22}));
}

TEST(CcidFaults, StaleAnswerOnAFreshSessionCarriesTheBSeqBefore) {
    ReaderBench b;
    b.insert();
    b.reader.faults().add(Fault::stale());
    auto bulk = b.openBulk();
    bulk.write(powerOnCmd(0x20, 1));
    auto stale = bulk.readMessage();
    ASSERT_TRUE(stale);
    EXPECT_EQ(stale->seq, 0x1F);
    auto right = bulk.readMessage();
    ASSERT_TRUE(right);
    EXPECT_EQ(right->seq, 0x20);
}

TEST(CcidFaults, DuplicateSendsTheAnswerTwice) {
    Powered p;
    p.reader.faults().add(Fault::duplicate().on(ccid::kGetSlotStatus));
    p.bulk.write(slotStatusCmd(3));
    auto a = p.bulk.readMessage();
    auto b = p.bulk.readMessage();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->raw, b->raw);
    EXPECT_EQ(a->seq, 3);
}

TEST(CcidFaults, CorruptFlipsTheChosenByte) {
    Powered p;
    // bSeq in the header, then the last byte of the data (a T=1 epilogue, say).
    p.reader.faults().add(Fault::corrupt(6, 0xFF).on(ccid::kGetSlotStatus));
    p.reader.faults().add(Fault::corrupt(-1, 0x01).on(ccid::kXfrBlock));
    p.bulk.write(slotStatusCmd(0x0F));
    auto s = p.bulk.readMessage();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->seq, 0xF0);
    p.bulk.write(xfrCmd(1, {0x00, 0x40, 0x00, 0x40}));
    auto x = p.bulk.readMessage();
    ASSERT_TRUE(x);
    EXPECT_EQ(x->data, (Bytes{0x00, 0x40, 0x00, 0x41}));
    EXPECT_EQ(p.reader.faults().fired(FaultKind::Corrupt), 2u);
}

TEST(CcidFaults, EndSessionClosesTheBulkSessionInsteadOfAnswering) {
    Powered p;
    p.reader.faults().add(Fault::endSession().on(ccid::kXfrBlock));
    p.bulk.write(xfrCmd(1, {0x01}));
    EXPECT_TRUE(p.bulk.endsWithin(2s));
    // A new session is served as usual.
    auto again = p.openBulk();
    again.write(slotStatusCmd(2));
    auto r = again.readMessage();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 0x00);
}

TEST(CcidFaults, TimeExtensionStormPrecedesTheAnswer) {
    Powered p;
    p.reader.faults().add(Fault::timeExtensionStorm(25).on(ccid::kXfrBlock));
    p.bulk.write(xfrCmd(1, {0x07}));
    int extensions = 0;
    auto r = p.bulk.readAnswer(&extensions);
    ASSERT_TRUE(r);
    EXPECT_EQ(extensions, 25);
    EXPECT_EQ(r->seq, 1);
    EXPECT_EQ(r->data, Bytes{0x07});
}

TEST(CcidFaults, MergedStormArrivesWithTheAnswerInOneDelivery) {
    Powered p;
    p.reader.faults().add(Fault::timeExtensionStorm(2).on(ccid::kXfrBlock));
    p.reader.faults().add(Fault::merge().on(ccid::kXfrBlock));
    p.bulk.write(xfrCmd(1, {0x07}));
    auto chunk = p.bulk.readChunk();
    ASSERT_TRUE(chunk);
    ASSERT_EQ(chunk->size(), 10u + 10u + 11u);
    EXPECT_EQ((*chunk)[7] >> 6, 2);
    EXPECT_EQ((*chunk)[17] >> 6, 2);
    auto r = decode(Bytes(chunk->begin() + 20, chunk->end()));
    EXPECT_EQ(r.seq, 1);
    EXPECT_EQ(r.data, Bytes{0x07});
}

TEST(CcidFaults, CardRemovedMidExchangeAnswersNoCardAndNotifiesRemoval) {
    Powered p;
    p.reader.faults().add(Fault::removeCard(40ms).on(ccid::kXfrBlock));
    p.bulk.write(xfrCmd(1, {0x00, 0xC0, 0x00, 0x00, 0x00}));
    int extensions = 0;
    auto r = p.bulk.readAnswer(&extensions);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->seq, 1);
    EXPECT_EQ(r->status, 0x42);
    EXPECT_EQ(r->error, 0xFE);
    EXPECT_GE(extensions, 1);  // the card was still working when it went
    EXPECT_EQ(p.irq.readBytes(2), (Bytes{0x50, 0x02}));
    EXPECT_FALSE(p.reader.hasCard());
    EXPECT_EQ(p.card->exchanges(), 1);
}

TEST(CcidFaults, MuteCardFailsWithIccMuteWithoutReachingTheCard) {
    Powered p;
    p.reader.faults().add(Fault::muteCard().on(ccid::kXfrBlock));
    p.reader.faults().add(Fault::muteCard().on(ccid::kIccPowerOn));
    p.bulk.write(xfrCmd(1, {0x01}));
    auto x = p.bulk.readMessage();
    ASSERT_TRUE(x);
    EXPECT_EQ(x->status, 0x40);  // failed, card still active
    EXPECT_EQ(x->error, 0xFE);
    EXPECT_EQ(p.card->exchanges(), 0);

    const size_t before = p.card->voltages().size();
    p.bulk.write(powerOnCmd(2, 1));
    auto on = p.bulk.readMessage();
    ASSERT_TRUE(on);
    EXPECT_EQ(on->status, 0x41);
    EXPECT_EQ(on->error, 0xFE);
    EXPECT_EQ(p.card->voltages().size(), before);
}

TEST(CcidFaults, ScheduleSkipsThenHitsThenStops) {
    Powered p;
    p.reader.faults().add(Fault::corrupt(7, 0x40).on(ccid::kGetSlotStatus).after(1).times(2));
    std::vector<uint8_t> statuses;
    for (uint8_t seq = 1; seq <= 4; ++seq) {
        p.bulk.write(slotStatusCmd(seq));
        auto r = p.bulk.readMessage();
        ASSERT_TRUE(r);
        statuses.push_back(r->status);
    }
    EXPECT_EQ(statuses, (std::vector<uint8_t>{0x00, 0x40, 0x40, 0x00}));
    EXPECT_EQ(p.reader.faults().armed(), 0u);

    p.reader.faults().add(Fault::duplicate().always());
    for (uint8_t seq = 5; seq <= 7; ++seq) {
        p.bulk.write(slotStatusCmd(seq));
        auto a = p.bulk.readMessage();
        auto b = p.bulk.readMessage();
        ASSERT_TRUE(a && b);
        EXPECT_EQ(a->seq, seq);
        EXPECT_EQ(b->seq, seq);
    }
    EXPECT_EQ(p.reader.faults().armed(), 1u);
    p.reader.faults().clear();
    p.bulk.write(slotStatusCmd(8));
    p.bulk.write(slotStatusCmd(9));
    EXPECT_EQ(p.bulk.readMessage()->seq, 8);
    EXPECT_EQ(p.bulk.readMessage()->seq, 9);
}

TEST(CcidFaults, NotificationFaultsLeaveTheBulkPipeAlone) {
    Powered p;
    p.reader.faults().add(Fault::drop().on(ccid::kNotifySlotChange));
    p.bulk.write(slotStatusCmd(1));
    auto r = p.bulk.readMessage();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->seq, 1);
    p.reader.removeCard();
    p.insert();
    // The removal's notification was dropped; the insertion's arrives.
    EXPECT_EQ(p.irq.readBytes(2), (Bytes{0x50, 0x03}));
    ASSERT_TRUE(p.reader.recorder().waitFor("ccidinterrupt", Direction::Withheld, 1, 2s));
}

}  // namespace
}  // namespace hv::sim::test
