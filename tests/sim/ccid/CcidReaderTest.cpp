// The simulated reader driven through its sessions, as the host driver will drive it.
#include <gtest/gtest.h>

#include "CcidHost.h"
#include "Wait.h"
#include "vorasel/sim/Ccid.h"

namespace hv::sim::test {
namespace {

const Bytes kAtr = {0x3B, 0x02, 0x14, 0x50};
const Bytes kT0Defaults = {0x11, 0x00, 0x00, 0x0A, 0x00};

TEST(CcidReader, PowerOnAnswersTheAtrInADataBlockEchoingBSeq) {
    ReaderBench b;
    auto card = b.insert();
    auto bulk = b.openBulk();
    bulk.write(powerOnCmd(0x37, 1));
    auto r = bulk.readMessage();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->type, 0x80);
    EXPECT_EQ(r->length, kAtr.size());
    EXPECT_EQ(r->slot, 0);
    EXPECT_EQ(r->seq, 0x37);
    EXPECT_EQ(r->status, 0x00);
    EXPECT_EQ(r->error, 0x00);
    EXPECT_EQ(r->b9, 0x00);
    EXPECT_EQ(r->data, kAtr);
    EXPECT_EQ(card->voltages(), std::vector<PowerSelect>{PowerSelect::V5});
    EXPECT_TRUE(b.reader.cardPowered());
}

TEST(CcidReader, CardMuteAt5VoltsAnswersAt3Volts) {
    ReaderBench b;
    auto card = std::make_shared<EchoCard>();
    card->muteAt5V = true;
    b.insert(card);
    auto bulk = b.openBulk();

    bulk.write(powerOnCmd(4, 1));
    auto mute = bulk.readMessage();
    ASSERT_TRUE(mute);
    EXPECT_EQ(mute->type, 0x80);
    EXPECT_EQ(mute->seq, 4);
    EXPECT_EQ(mute->status, 0x41);  // failed, card present but not activated
    EXPECT_EQ(mute->error, 0xFE);   // ICC_MUTE
    EXPECT_EQ(mute->length, 0u);

    bulk.write(powerOnCmd(5, 2));
    auto ok = bulk.readMessage();
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 0x00);
    EXPECT_EQ(ok->data, kAtr);

    const auto ons = ccid::received(b.reader.recorder(), ccid::kIccPowerOn);
    ASSERT_EQ(ons.size(), 2u);
    EXPECT_EQ(ons[0].header.seq, 4);
    EXPECT_EQ(ons[0].header.b7, 1);
    EXPECT_EQ(ons[1].header.seq, 5);
    EXPECT_EQ(ons[1].header.b7, 2);
    // The refused activation was followed by a deactivation before the next class.
    EXPECT_GE(card->powerOffs(), 1);
}

TEST(CcidReader, AutomaticVoltageStartsWithTheLowestSupportedClass) {
    ReaderBench b;
    auto card = std::make_shared<EchoCard>();
    card->muteAt3V = true;
    b.insert(card);
    auto bulk = b.openBulk();
    bulk.write(powerOnCmd(0, 0));
    auto r = bulk.readMessage();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 0x00);
    EXPECT_EQ(card->voltages(), (std::vector<PowerSelect>{PowerSelect::V3, PowerSelect::V5}));
}

TEST(CcidReader, UnsupportedOrInvalidVoltageIsRefusedAtItsOffset) {
    ReaderBench b;
    auto card = b.insert();
    auto bulk = b.openBulk();
    for (uint8_t select : {3, 4, 0xFF}) {  // 1.8 V is not in bVoltageSupport 3
        bulk.write(powerOnCmd(select, select));
        auto r = bulk.readMessage();
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 0x41) << int(select);
        EXPECT_EQ(r->error, 7) << int(select);
    }
    EXPECT_TRUE(card->voltages().empty());
}

TEST(CcidReader, StatusesWithoutCardAndWithInactiveCard) {
    ReaderBench b;
    auto bulk = b.openBulk();

    bulk.write(slotStatusCmd(1));
    auto s = bulk.readMessage();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->type, 0x81);
    EXPECT_EQ(s->status, 0x02);  // processed, no card

    bulk.write(powerOnCmd(2, 1));
    auto on = bulk.readMessage();
    ASSERT_TRUE(on);
    EXPECT_EQ(on->status, 0x42);
    EXPECT_EQ(on->error, 0xFE);

    bulk.write(xfrCmd(3, {0x00, 0xA4, 0x04, 0x00, 0x00}));
    auto x = bulk.readMessage();
    ASSERT_TRUE(x);
    EXPECT_EQ(x->type, 0x80);
    EXPECT_EQ(x->status, 0x42);

    bulk.write(powerOffCmd(4));
    auto off = bulk.readMessage();
    ASSERT_TRUE(off);
    EXPECT_EQ(off->type, 0x81);
    EXPECT_EQ(off->status, 0x02);

    b.insert();
    bulk.write(slotStatusCmd(5));
    auto in = bulk.readMessage();
    ASSERT_TRUE(in);
    EXPECT_EQ(in->status, 0x01);  // present, not activated

    bulk.write(xfrCmd(6, {0x00, 0xB0, 0x00, 0x00, 0x04}));
    auto inactive = bulk.readMessage();
    ASSERT_TRUE(inactive);
    EXPECT_EQ(inactive->status, 0x41);
    EXPECT_EQ(inactive->error, 0xFE);
}

TEST(CcidReader, PowerOffAnswersSlotStatusAndUnpowersTheCard) {
    ReaderBench b;
    auto card = b.insert();
    auto bulk = b.openBulk();
    bulk.write(powerOnCmd(0, 1));
    ASSERT_TRUE(bulk.readMessage());
    bulk.write(powerOffCmd(1));
    auto r = bulk.readMessage();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->type, 0x81);
    EXPECT_EQ(r->seq, 1);
    EXPECT_EQ(r->status, 0x01);
    EXPECT_FALSE(card->powered());
    EXPECT_FALSE(b.reader.cardPowered());

    bulk.write(slotStatusCmd(2));
    auto s = bulk.readMessage();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->status, 0x01);
}

TEST(CcidReader, SetParametersAcceptsT0AndT1Structures) {
    ReaderBench b;
    b.insert();
    auto bulk = b.openBulk();
    bulk.write(powerOnCmd(0, 1));
    ASSERT_TRUE(bulk.readMessage());

    const Bytes t1 = {0x96, 0x01, 0xFF, 0x4D, 0x00, 0xFE, 0x00};
    bulk.write(setParamsCmd(1, 1, t1));
    auto r = bulk.readMessage();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->type, 0x82);
    EXPECT_EQ(r->seq, 1);
    EXPECT_EQ(r->status, 0x00);
    EXPECT_EQ(r->b9, 1);  // bProtocolNum
    EXPECT_EQ(r->data, t1);

    // The CCID layout of bmTCCKST1 (0x10 set) and the bare convention/checksum bits alike.
    for (uint8_t tcck : {0x00, 0x03, 0x10, 0x13}) {
        Bytes p = t1;
        p[1] = tcck;
        bulk.write(setParamsCmd(2, 1, p));
        auto a = bulk.readMessage();
        ASSERT_TRUE(a);
        EXPECT_EQ(a->status, 0x00) << int(tcck);
    }

    const Bytes t0 = {0x94, 0x02, 0x00, 0x0A, 0x00};
    bulk.write(setParamsCmd(3, 0, t0));
    auto r0 = bulk.readMessage();
    ASSERT_TRUE(r0);
    EXPECT_EQ(r0->status, 0x00);
    EXPECT_EQ(r0->b9, 0);
    EXPECT_EQ(r0->data, t0);
}

TEST(CcidReader, SetParametersRefusesABadFieldWithItsOffset) {
    struct Case {
        uint8_t protocol;
        Bytes params;
        uint8_t offset;
    };
    const Case cases[] = {
        {2, {0x11, 0x00, 0x00, 0x0A, 0x00}, 7},               // no such protocol
        {0, {0x11, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00}, 1},   // T=0 with 7 bytes
        {1, {0x11, 0x10, 0xFF, 0x4D, 0x00}, 1},               // T=1 with 5 bytes
        {0, {0x71, 0x00, 0x00, 0x0A, 0x00}, 10},              // Fi index 7 is RFU
        {0, {0x10, 0x00, 0x00, 0x0A, 0x00}, 10},              // Di index 0 is RFU
        {0, {0x1A, 0x00, 0x00, 0x0A, 0x00}, 10},              // Di index 10 is RFU
        {0, {0x11, 0x01, 0x00, 0x0A, 0x00}, 11},              // bmTCCKST0
        {0, {0x11, 0x00, 0x00, 0x00, 0x00}, 13},              // WI 0
        {0, {0x11, 0x00, 0x00, 0x0A, 0x04}, 14},              // bClockStop
        {1, {0x11, 0x21, 0xFF, 0x4D, 0x00, 0x20, 0x00}, 11},  // bmTCCKST1
        {1, {0x11, 0x10, 0xFF, 0xA5, 0x00, 0x20, 0x00}, 13},  // BWI 10
        {1, {0x11, 0x10, 0xFF, 0x4D, 0x05, 0x20, 0x00}, 14},  // bClockStop
        {1, {0x11, 0x10, 0xFF, 0x4D, 0x00, 0x00, 0x00}, 15},  // IFSC 0
        {1, {0x11, 0x10, 0xFF, 0x4D, 0x00, 0xFF, 0x00}, 15},  // IFSC 255
        {1, {0x11, 0x10, 0xFF, 0x4D, 0x00, 0x20, 0x01}, 16},  // NAD other than 0
    };
    ReaderBench b;
    b.insert();
    auto bulk = b.openBulk();
    bulk.write(powerOnCmd(0, 1));
    ASSERT_TRUE(bulk.readMessage());
    uint8_t seq = 1;
    for (const auto &c : cases) {
        bulk.write(setParamsCmd(seq, c.protocol, c.params));
        auto r = bulk.readMessage();
        ASSERT_TRUE(r);
        EXPECT_EQ(r->type, 0x82);
        EXPECT_EQ(r->seq, seq);
        EXPECT_EQ(r->status, 0x40) << "case with offset " << int(c.offset);
        EXPECT_EQ(r->error, c.offset);
        // Nothing was taken: the parameters in force are still the defaults.
        EXPECT_EQ(r->b9, 0);
        EXPECT_EQ(r->data, kT0Defaults);
        ++seq;
    }
}

TEST(CcidReader, XfrBlockPassesTheBytesToTheCardAndBack) {
    ReaderBench b;
    auto card = b.insert();
    auto bulk = b.openBulk();
    bulk.write(powerOnCmd(9, 1));
    ASSERT_TRUE(bulk.readMessage());

    const Bytes block = {0x00, 0x00, 0x05, 0x00, 0xA4, 0x04, 0x00, 0x00, 0xA5};
    bulk.write(xfrCmd(10, block, 3));
    auto r = bulk.readMessage();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->type, 0x80);
    EXPECT_EQ(r->seq, 10);
    EXPECT_EQ(r->status, 0x00);
    EXPECT_EQ(r->b9, 0);  // bChainParameter
    EXPECT_EQ(r->data, block);
    EXPECT_EQ(card->exchanges(), 1);

    // Refused before reaching the card: empty data, a wLevelParameter at TPDU level.
    bulk.write(xfrCmd(11, {}));
    auto empty = bulk.readMessage();
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->status, 0x40);
    EXPECT_EQ(empty->error, 1);
    bulk.write(command(0x6F, 12, 0, 0x01, 0x00, {0x00, 0xB0, 0x00, 0x00, 0x00}));
    auto level = bulk.readMessage();
    ASSERT_TRUE(level);
    EXPECT_EQ(level->error, 8);
    EXPECT_EQ(card->exchanges(), 1);
}

TEST(CcidReader, InT0ModeOnlyTpdusReachTheCard) {
    ReaderBench b;
    auto card = b.insert();
    auto bulk = b.openBulk();
    bulk.write(powerOnCmd(0, 1));
    ASSERT_TRUE(bulk.readMessage());
    // Before any protocol is set a PPS request goes through.
    bulk.write(xfrCmd(1, {0xFF, 0x10, 0x94, 0x7B}));
    auto pps = bulk.readMessage();
    ASSERT_TRUE(pps);
    EXPECT_EQ(pps->status, 0x00);

    bulk.write(setParamsCmd(2, 0, {0x94, 0x00, 0x00, 0x0A, 0x00}));
    ASSERT_TRUE(bulk.readMessage());
    const Bytes bad[] = {{0xFF, 0x10, 0x94, 0x7B},
                         {0x00, 0xD6, 0x00, 0x00, 0x03, 0x01, 0x02},
                         {0x00, 0xD6, 0x00, 0x00, 0x00, 0x01}};
    uint8_t seq = 3;
    for (const auto &tpdu : bad) {
        bulk.write(xfrCmd(seq++, tpdu));
        auto r = bulk.readMessage();
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 0x40);
        EXPECT_EQ(r->error, 10);
    }
    for (const Bytes &tpdu :
         {Bytes{0x00, 0xB0, 0x00, 0x00, 0x10}, Bytes{0x00, 0xD6, 0x00, 0x00, 0x02, 0xAA, 0xBB}}) {
        bulk.write(xfrCmd(seq++, tpdu));
        auto r = bulk.readMessage();
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 0x00);
    }
    EXPECT_EQ(card->exchanges(), 3);
}

TEST(CcidReader, BusyCardGetsTimeExtensionsWithTheCommandsBSeq) {
    ReaderBench b;
    auto card = std::make_shared<EchoCard>();
    card->busy = 120ms;
    b.insert(card);
    auto bulk = b.openBulk();
    bulk.write(powerOnCmd(0, 1));
    ASSERT_TRUE(bulk.readMessage());

    const auto start = Clock::now();
    bulk.write(xfrCmd(1, {0x00, 0x40, 0x00, 0x00}));
    int extensions = 0;
    for (;;) {
        auto r = bulk.readMessage();
        ASSERT_TRUE(r);
        EXPECT_EQ(r->seq, 1);
        if (r->status == 0x80) {
            EXPECT_EQ(r->type, 0x80);
            EXPECT_EQ(r->length, 0u);
            ++extensions;
            continue;
        }
        EXPECT_EQ(r->status, 0x00);
        EXPECT_EQ(r->data, (Bytes{0x00, 0x40, 0x00, 0x00}));
        break;
    }
    EXPECT_GE(Clock::now() - start, 120ms);
    // One every 10 ms of a 120 ms wait; the machine's scheduling may swallow a few.
    EXPECT_GE(extensions, 3);
    EXPECT_LE(extensions, 12);
}

TEST(CcidReader, CommandsItDoesNotSupportAreAnsweredNotSupported) {
    ReaderBench b;
    b.insert();
    auto bulk = b.openBulk();
    struct Case {
        uint8_t command, response;
    };
    for (const Case c : {Case{0x6B, 0x83}, Case{0x6C, 0x82}, Case{0x6D, 0x82}, Case{0x6E, 0x81},
                         Case{0x6A, 0x81}, Case{0x69, 0x80}, Case{0x71, 0x81}, Case{0x72, 0x81},
                         Case{0x73, 0x84}, Case{0x00, 0x81}, Case{0xC3, 0x81}}) {
        bulk.write(command(c.command, c.command, 0, 0, 0, {0x01, 0x02}));
        auto r = bulk.readMessage();
        ASSERT_TRUE(r);
        EXPECT_EQ(r->type, c.response) << int(c.command);
        EXPECT_EQ(r->seq, c.command);
        EXPECT_EQ(r->status, 0x41);
        EXPECT_EQ(r->error, 0x00);
    }
    // A slot that does not exist.
    bulk.write(command(0x65, 7, 0, 0, 0, {}, 1));
    auto r = bulk.readMessage();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->slot, 1);
    EXPECT_EQ(r->status, 0x42);
    EXPECT_EQ(r->error, 5);
}

TEST(CcidReader, CommandsSplitAnywhereOrMergedAreFramedByTheirLength) {
    ReaderBench b;
    b.insert();
    auto bulk = b.openBulk();
    const Bytes on = powerOnCmd(1, 1);
    for (uint8_t byte : on)
        bulk.write({byte});
    auto r = bulk.readMessage();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->seq, 1);
    EXPECT_EQ(r->data, kAtr);

    Bytes merged = slotStatusCmd(2);
    const Bytes x = xfrCmd(3, {0x01, 0x02, 0x03});
    merged.insert(merged.end(), x.begin(), x.end());
    const Bytes off = powerOffCmd(4);
    merged.insert(merged.end(), off.begin(), off.begin() + 3);
    bulk.write(merged);
    bulk.write(Bytes(off.begin() + 3, off.end()));
    for (uint8_t seq : {2, 3, 4}) {
        auto m = bulk.readMessage();
        ASSERT_TRUE(m);
        EXPECT_EQ(m->seq, seq);
    }
    EXPECT_EQ(ccid::received(b.reader.recorder()).size(), 4u);
}

TEST(CcidReader, OversizeCommandIsRefusedAndItsDataSkipped) {
    ReaderBench b;
    auto card = b.insert();
    auto bulk = b.openBulk();
    bulk.write(powerOnCmd(0, 1));
    ASSERT_TRUE(bulk.readMessage());

    const Bytes big(261, 0x5A);  // one beyond 270 - 10
    bulk.write(xfrCmd(1, big));
    auto r = bulk.readMessage();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->seq, 1);
    EXPECT_EQ(r->status, 0x40);
    EXPECT_EQ(r->error, 1);
    bulk.write(xfrCmd(2, Bytes(260, 0xA5)));
    auto ok = bulk.readMessage();
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->seq, 2);
    EXPECT_EQ(ok->status, 0x00);
    EXPECT_EQ(ok->data.size(), 260u);
    EXPECT_EQ(card->exchanges(), 1);
    const auto got = ccid::received(b.reader.recorder(), ccid::kXfrBlock);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].note, "oversize, data skipped");
    EXPECT_TRUE(got[0].data.empty());
}

TEST(CcidReader, SlotChangesAreNotifiedOnTheInterruptPipe) {
    ReaderBench b;
    auto irq = b.openInterrupt();
    EXPECT_EQ(irq.readBytes(2), (Bytes{0x50, 0x02}));  // powered up with an empty slot
    b.insert();
    EXPECT_EQ(irq.readBytes(2), (Bytes{0x50, 0x03}));
    b.reader.removeCard();
    EXPECT_EQ(irq.readBytes(2), (Bytes{0x50, 0x02}));
    b.insert();
    b.reader.removeCard();
    EXPECT_EQ(irq.readBytes(4), (Bytes{0x50, 0x03, 0x50, 0x02}));
    EXPECT_EQ(ccid::slotChanges(b.reader.recorder()), (Bytes{0x02, 0x03, 0x02, 0x03, 0x02}));
}

TEST(CcidReader, ChangeWithoutInterruptSessionIsReportedWhenOneOpens) {
    ReaderBench b;
    b.insert();
    auto first = b.openInterrupt();
    EXPECT_EQ(first.readBytes(2), (Bytes{0x50, 0x03}));
    first.port().close();
    ASSERT_TRUE(hv::test::waitUntil([&] { return b.reader.sessionThreads() == 0; }));

    // Pulled out and put back while nobody listened: one notification of the present state.
    b.reader.removeCard();
    b.insert();
    b.reader.removeCard();
    auto second = b.openInterrupt();
    EXPECT_EQ(second.readBytes(2), (Bytes{0x50, 0x02}));
    // Nothing else was pending: the next bytes are those of the next change.
    b.insert();
    EXPECT_EQ(second.readBytes(2), (Bytes{0x50, 0x03}));
    EXPECT_EQ(ccid::slotChanges(b.reader.recorder()), (Bytes{0x03, 0x02, 0x03}));
}

// Hosts that open the reader after the last change, while another holds it or after it left,
// learn the slot at once all the same, and only the newcomer hears it.
TEST(CcidReader, EveryNewInterruptSessionLearnsTheSlotAtOnce) {
    ReaderBench b;
    b.insert();
    auto first = b.openInterrupt();
    EXPECT_EQ(first.readBytes(2), (Bytes{0x50, 0x03}));
    auto second = b.openInterrupt();
    EXPECT_EQ(second.readBytes(2), (Bytes{0x50, 0x03}));
    b.reader.removeCard();
    EXPECT_EQ(first.readBytes(2), (Bytes{0x50, 0x02}));
    EXPECT_EQ(second.readBytes(2), (Bytes{0x50, 0x02}));
    first.port().close();
    second.port().close();
    ASSERT_TRUE(hv::test::waitUntil([&] { return b.reader.sessionThreads() == 0; }));

    b.insert();
    for (int i = 0; i < 3; ++i) {
        auto later = b.openInterrupt();
        EXPECT_EQ(later.readBytes(2), (Bytes{0x50, 0x03})) << "host " << i;
    }
}

TEST(CcidReader, CardPulledWhileBusyFailsTheExchangeAsNoCard) {
    ReaderBench b;
    auto card = std::make_shared<EchoCard>();
    card->busy = 5s;
    b.insert(card);
    auto irq = b.openInterrupt();
    EXPECT_EQ(irq.readBytes(2), (Bytes{0x50, 0x03}));
    auto bulk = b.openBulk();
    bulk.write(powerOnCmd(0, 1));
    ASSERT_TRUE(bulk.readMessage());

    const auto start = Clock::now();
    bulk.write(xfrCmd(1, {0x00, 0x01, 0x02}));
    auto ext = bulk.readMessage();
    ASSERT_TRUE(ext);
    EXPECT_EQ(ext->status, 0x80);
    b.reader.removeCard();
    auto r = bulk.readAnswer();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->seq, 1);
    EXPECT_EQ(r->status, 0x42);
    EXPECT_EQ(r->error, 0xFE);
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_EQ(irq.readBytes(2), (Bytes{0x50, 0x02}));

    // The card learns it lost power before the reader touches it again.
    bulk.write(slotStatusCmd(2));
    auto s = bulk.readMessage();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->status, 0x02);
    EXPECT_FALSE(card->powered());
}

TEST(CcidReader, PowerLossEndsSessionsAndForgetsTheActivation) {
    ReaderBench b;
    auto card = b.insert();
    auto bulk = b.openBulk();
    auto irq = b.openInterrupt();
    EXPECT_EQ(irq.readBytes(2), (Bytes{0x50, 0x03}));
    bulk.write(powerOnCmd(0, 1));
    ASSERT_TRUE(bulk.readMessage());

    b.reader.powerLost();
    EXPECT_TRUE(bulk.endsWithin(2s));
    EXPECT_TRUE(irq.endsWithin(2s));
    ASSERT_TRUE(hv::test::waitUntil([&] { return b.reader.sessionThreads() == 0; }));
    EXPECT_FALSE(b.reader.cardPowered());

    // Powered up again: the card in the slot is reported, and it must be activated anew.
    auto irq2 = b.openInterrupt();
    EXPECT_EQ(irq2.readBytes(2), (Bytes{0x50, 0x03}));
    auto bulk2 = b.openBulk();
    bulk2.write(xfrCmd(1, {0x00, 0x01}));
    auto r = bulk2.readMessage();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 0x41);
    EXPECT_FALSE(card->powered());
}

TEST(CcidReader, ShutsDownPromptlyWithABusyCardAndOpenSessions) {
    auto card = std::make_shared<EchoCard>();
    card->busy = 30s;
    Clock::time_point start;
    {
        ReaderBench b;
        b.insert(card);
        auto bulk = b.openBulk();
        auto irq = b.openInterrupt();
        bulk.write(powerOnCmd(0, 1));
        ASSERT_TRUE(bulk.readMessage());
        bulk.write(xfrCmd(1, {0x01}));
        auto ext = bulk.readMessage();
        ASSERT_TRUE(ext);
        EXPECT_EQ(ext->status, 0x80);
        start = Clock::now();
    }
    // The reader's destructor interrupted the 30 s wait.
    EXPECT_LT(Clock::now() - start, 2s);
}

// A command still buffered in a session the host has ended never reaches the card: served
// late, it would meet the card after the host's next session had spoken to it.
TEST(CcidReader, ACommandLeftInAnEndedSessionIsDropped) {
    ReaderBench b;
    auto card = std::make_shared<EchoCard>();
    card->busy = 300ms;
    b.insert(card);
    auto first = b.openBulk();
    first.write(powerOnCmd(0, 1));
    ASSERT_TRUE(first.readMessage());
    first.write(xfrCmd(1, {0x01}));
    ASSERT_TRUE(first.readMessage());  // a time extension: the reader is busy with it
    auto second = b.openBulk();
    second.write(xfrCmd(7, {0x02}));
    second.port().close();
    auto answer = first.readAnswer();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->seq, 1);
    ASSERT_TRUE(hv::test::waitUntil([&] {
        for (const auto &e : b.reader.recorder().select("ccidbulk", Direction::Received))
            if (e.note == "session ended, dropped") return e.bytes[6] == 7;
        return false;
    }));
    EXPECT_EQ(card->exchanges(), 1);
}

TEST(CcidReader, HostClosingTheBulkSessionEndsItsThread) {
    ReaderBench b;
    b.insert();
    auto bulk = b.openBulk();
    bulk.write(powerOnCmd(0, 1));
    ASSERT_TRUE(bulk.readMessage());
    bulk.write(Bytes{0x6F, 0x05, 0x00});  // a command begun, never finished
    bulk.port().close();
    ASSERT_TRUE(hv::test::waitUntil([&] { return b.reader.sessionThreads() == 0; }));
    const auto got = b.reader.recorder().select("ccidbulk", Direction::Received);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back().note, "incomplete");
    EXPECT_EQ(got.back().bytes, (Bytes{0x6F, 0x05, 0x00}));
}

}  // namespace
}  // namespace hv::sim::test
