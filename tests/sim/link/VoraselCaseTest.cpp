// The assembled case: the CCID reader with real virtual cards behind it (built-in and vicc),
// slot changes on the interrupt pipe, and the reset that power-cycles the accessory.
#include <gtest/gtest.h>

#include <chrono>

#include "../card/CardTestKit.h"
#include "../card/ViccProcess.h"
#include "../ccid/CcidHost.h"
#include "Wait.h"
#include "vorasel/sim/IsoCard.h"
#include "vorasel/sim/VirtualCard.h"
#include "vorasel/sim/VoraselCase.h"
#include "vorasel/sim/VpcdBridge.h"

namespace hv::sim::test {
namespace {

using namespace std::chrono_literals;

struct Pipes {
    HostEnd bulk;
    HostEnd interrupt;
};

Pipes open(VoraselCase &c) {
    auto bulk = makePortPair("ccidbulk");
    auto interrupt = makePortPair("ccidinterrupt");
    c.reader().attachPort(bulk.device);
    c.reader().attachPort(interrupt.device);
    return Pipes{HostEnd(bulk.host), HostEnd(interrupt.host)};
}

// One T=1 exchange through XfrBlock; the card's answer block, parsed.
Parsed xfrT1(HostEnd &bulk, uint8_t seq, const Bytes &block) {
    bulk.write(xfrCmd(seq, block));
    auto r = bulk.readAnswer();
    if (!r || r->seq != seq || (r->status >> 6) != 0) return {};
    return parse(r->data);
}

TEST(VoraselCase, BuiltInCardAnswersAnApduThroughTheReader) {
    VoraselCase c;
    auto pipes = open(c);
    ASSERT_EQ(pipes.interrupt.readBytes(2), (Bytes{0x50, 0x02}));  // the empty slot
    auto card = std::make_shared<VirtualCard>(t1Config(), std::make_shared<IsoCard>());
    c.insertCard(card);
    auto change = pipes.interrupt.readBytes(2);
    EXPECT_EQ(change, (Bytes{0x50, 0x03}));

    pipes.bulk.write(powerOnCmd(1, 1));
    auto atr = pipes.bulk.readAnswer();
    ASSERT_TRUE(atr);
    EXPECT_EQ(atr->type, 0x80);
    EXPECT_EQ(atr->status & 3, 0);
    ASSERT_TRUE(readAtrFacts(atr->data).readable);
    EXPECT_EQ(readAtrFacts(atr->data).firstProtocol, 1);

    // ECHO (INS EE) of three bytes in one I-block.
    const Parsed reply = xfrT1(pipes.bulk, 2, iBlock(0, false, hex("00 EE 00 00 03 0A 0B 0C 00")));
    ASSERT_TRUE(reply.ok);
    EXPECT_TRUE(reply.isI());
    EXPECT_EQ(reply.inf, hex("0A 0B 0C 90 00"));
}

TEST(VoraselCase, CardLeavingMidExchangeIsReportedAsRemoved) {
    VoraselCase c;
    auto pipes = open(c);
    ASSERT_EQ(pipes.interrupt.readBytes(2), (Bytes{0x50, 0x02}));  // the empty slot
    auto card = std::make_shared<VirtualCard>(t1Config(), std::make_shared<IsoCard>());
    c.insertCard(card);
    ASSERT_EQ(pipes.interrupt.readBytes(2), (Bytes{0x50, 0x03}));
    pipes.bulk.write(powerOnCmd(1, 1));
    ASSERT_TRUE(pipes.bulk.readAnswer());

    card->arm(FaultPlan(CardFault::Removed));
    pipes.bulk.write(xfrCmd(2, iBlock(0, false, hex("00 84 00 00 08"))));
    auto r = pipes.bulk.readAnswer();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->seq, 2);
    EXPECT_EQ(r->status >> 6, 1) << "command failed";
    EXPECT_EQ(r->status & 3, 2) << "no card";
    EXPECT_EQ(pipes.interrupt.readBytes(2), (Bytes{0x50, 0x02}));
    EXPECT_FALSE(c.reader().hasCard());
}

TEST(VoraselCase, ResetPowerCyclesTheAccessory) {
    VoraselCaseConfig config;
    config.reattachDelay = 20ms;
    config.detachAfterReset = 5ms;
    VoraselCase c(config);
    c.accessory().attach();
    auto session = c.accessory().openSession("manager");
    ASSERT_NE(session, nullptr);
    const uint8_t reset[] = {0xCC, 0x00};
    ASSERT_TRUE(session->hostWriteAll(reset, sizeof reset));
    uint8_t ack[16];
    bool separate = false;
    const auto n = session->hostReadPiece(ack, sizeof ack, Clock::now() + 2s, &separate);
    ASSERT_EQ(n, 3);
    EXPECT_EQ(Bytes(ack, ack + 3), hex("D0 01 00"));
    EXPECT_TRUE(hv::test::waitUntil([&] { return !c.accessory().isAttached(); }));
    EXPECT_TRUE(hv::test::waitUntil([&] { return c.accessory().isAttached(); }));
}

TEST(VoraselCase, AResetCanLeaveTheCaseDetached) {
    VoraselCaseConfig config;
    config.reattachDelay = 20ms;
    config.detachAfterReset = 5ms;
    config.reattachAfterReset = false;
    VoraselCase c(config);
    c.accessory().attach();
    auto session = c.accessory().openSession("manager");
    ASSERT_NE(session, nullptr);
    const uint8_t reset[] = {0xCC, 0x00};
    ASSERT_TRUE(session->hostWriteAll(reset, sizeof reset));
    ASSERT_TRUE(hv::test::waitUntil([&] { return !c.accessory().isAttached(); }));
    // The power cycle has run to its end without attaching again.
    c.accessory().waitForPowerCycle();
    EXPECT_FALSE(c.accessory().isAttached());
}

TEST(VoraselCase, ViccIsTheCardBehindTheReader) {
    if (!viccInstalled()) GTEST_SKIP() << "vicc (vsmartcard-vpicc, python3-pycryptodome) missing";
    auto bridge = std::make_shared<VpcdBridge>();
    Vicc vicc(bridge->port());
    ASSERT_TRUE(vicc.started());
    ASSERT_TRUE(hv::test::waitUntil([&] { return bridge->connected() || !vicc.running(); }, 30s));
    ASSERT_TRUE(bridge->connected()) << "vicc did not connect";

    VoraselCase c;
    auto pipes = open(c);
    ASSERT_EQ(pipes.interrupt.readBytes(2), (Bytes{0x50, 0x02}));  // the empty slot
    c.insertCard(std::make_shared<VirtualCard>(CardConfig{}, bridge));
    ASSERT_EQ(pipes.interrupt.readBytes(2), (Bytes{0x50, 0x03}));

    pipes.bulk.write(powerOnCmd(1, 1));
    auto atr = pipes.bulk.readAnswer(nullptr, 5s);
    ASSERT_TRUE(atr);
    ASSERT_EQ(atr->status & 3, 0);
    const AtrFacts facts = readAtrFacts(atr->data);
    ASSERT_TRUE(facts.readable);
    EXPECT_EQ(facts.ta1, 0x13);
    EXPECT_EQ(facts.firstProtocol, 1);

    // PPS for T=1 at the card's rate, then the reader's T=1 parameters.
    pipes.bulk.write(xfrCmd(2, hex("FF 11 13 FD")));
    auto pps = pipes.bulk.readAnswer();
    ASSERT_TRUE(pps);
    EXPECT_EQ(pps->data, hex("FF 11 13 FD"));
    pipes.bulk.write(setParamsCmd(3, 1, hex("13 10 00 45 00 FE 00")));
    auto params = pipes.bulk.readAnswer();
    ASSERT_TRUE(params);
    EXPECT_EQ(params->status >> 6, 0) << "bError " << int(params->error);

    // SELECT MF without FCI (vicc 3.3 cannot build its own FCI).
    const Parsed select = xfrT1(pipes.bulk, 4, iBlock(0, false, hex("00 A4 00 0C 02 3F 00")));
    ASSERT_TRUE(select.ok);
    EXPECT_EQ(select.inf, hex("90 00"));
}

}  // namespace
}  // namespace hv::sim::test
