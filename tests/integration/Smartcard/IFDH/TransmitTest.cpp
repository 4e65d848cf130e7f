// APDUs through the driver to the simulated cards over both transports, with the CCID
// messages asserted on the wire: bSeq, bPowerSelect, PPS, SetParameters and bBWI.
#include <thread>

#include "ReaderFixture.h"
#include "vorasel/sim/VirtualCard.h"

using namespace hv::test;
using namespace std::chrono_literals;
using hv::sim::CardFault;
using hv::sim::FaultPlan;

namespace {

using Transmit = ReaderTest;

Bytes echoed(const Bytes &apdu, size_t n) {
    const size_t header = n <= 255 ? 5 : 7;
    Bytes r(apdu.begin() + static_cast<ptrdiff_t>(header),
            apdu.begin() + static_cast<ptrdiff_t>(header + n));
    r.insert(r.end(), {0x90, 0x00});
    return r;
}

TEST_P(Transmit, EveryCommandTakesTheNextBSeq) {
    ready("fast", 2);
    for (size_t n : {1u, 40u, 300u})
        EXPECT_EQ(transmit(echoApdu(n), 2).response, echoed(echoApdu(n), n)) << n;
    ASSERT_EQ(driver().powerOffICC(), HVIFDHStatusSuccess);
    const auto sent = commands();
    ASSERT_GE(sent.size(), 8u);
    for (size_t i = 1; i < sent.size(); ++i)
        EXPECT_EQ(sent[i][6], static_cast<uint8_t>(sent[i - 1][6] + 1)) << i;
    // Power-on at 5 V, PPS for TA1 0x13, the T=1 structure, blocks, power-off.
    EXPECT_EQ(sent[0][0], 0x62);
    EXPECT_EQ(sent[0][7], 0x01);
    EXPECT_EQ(Bytes(sent[1].begin() + 10, sent[1].end()), (Bytes{0xFF, 0x11, 0x13, 0xFD}));
    EXPECT_EQ(sent[2][0], 0x61);
    EXPECT_EQ(sent[2][7], 0x01);
    EXPECT_EQ(Bytes(sent[2].begin() + 10, sent[2].end()),
              (Bytes{0x13, 0x00, 0xFF, 0x4D, 0x00, 0xFE, 0x00}));
    EXPECT_EQ(sent.back()[0], 0x63);
    EXPECT_EQ(driver().slot_state(), HVIFDHSlotStatePresent);
}

TEST_P(Transmit, T0CardCarriesTpdusUnchanged) {
    ready("t0", 1);
    const auto set = commandsOfType(hv::sim::ccid::kSetParameters);
    ASSERT_EQ(set.size(), 1u);
    EXPECT_EQ(set[0][7], 0x00);
    EXPECT_EQ(Bytes(set[0].begin() + 10, set[0].end()), (Bytes{0x11, 0x00, 0x00, 0x0A, 0x00}));
    // ECHO of 4 pattern bytes (P1-P2 0004), Le 4.
    const Bytes tpdu = {0x00, 0xEE, 0x00, 0x04, 0x04};
    const auto a = transmit(tpdu, 1);
    ASSERT_EQ(a.status, HVIFDHStatusSuccess);
    const auto x = commandsOfType(hv::sim::ccid::kXfrBlock);
    ASSERT_EQ(x.size(), 1u);
    EXPECT_EQ(x[0][7], 0);
    EXPECT_EQ(Bytes(x[0].begin() + 10, x[0].end()), tpdu);
    // The card's procedure byte, the data and the status word, as the card sent them.
    ASSERT_GE(a.response.size(), 2u);
    EXPECT_EQ(Bytes(a.response.end() - 2, a.response.end()), (Bytes{0x90, 0x00}));
}

TEST_P(Transmit, ExtendedApduOf64KiBChainsBothWays) {
    ready("t1", 2);
    const Bytes apdu = echoApdu(65535);
    const auto a = transmit(apdu, 2);
    ASSERT_EQ(a.status, HVIFDHStatusSuccess);
    EXPECT_EQ(a.response, echoed(apdu, 65535));
    // No block ever exceeds the reader's message size.
    for (const auto &c : commandsOfType(hv::sim::ccid::kXfrBlock))
        ASSERT_LE(c.size(), 270u);
}

TEST_P(Transmit, CardWaitingTimeExtensionSetsBBwiOnce) {
    auto card = ready("t1", 2);
    ASSERT_EQ(transmit(echoApdu(1), 2).status, HVIFDHStatusSuccess);
    card->arm(FaultPlan(CardFault::WtxStorm).wtx(1, 3));
    const size_t before = commandsOfType(hv::sim::ccid::kXfrBlock).size();
    EXPECT_EQ(transmit(echoApdu(2), 2).response, echoed(echoApdu(2), 2));
    EXPECT_EQ(transmit(echoApdu(2), 2).response, echoed(echoApdu(2), 2));
    const auto x = commandsOfType(hv::sim::ccid::kXfrBlock);
    ASSERT_EQ(x.size(), before + 3);
    EXPECT_EQ(x[before][7], 0);
    EXPECT_EQ(x[before + 1][7], 3);
    EXPECT_EQ(x[before + 2][7], 0);
}

TEST_P(Transmit, ReaderTimeExtensionsWhileTheCardWorks) {
    auto card = ready("t1", 2);
    ASSERT_EQ(transmit(echoApdu(1), 2).status, HVIFDHStatusSuccess);
    card->arm(FaultPlan(CardFault::Slow).slow(250ms));
    ScopedCapture capture;
    EXPECT_EQ(transmit(echoApdu(3), 2).response, echoed(echoApdu(3), 3));
    EXPECT_GE(capture.logger().count("] WTX"), 1u);
}

TEST_P(Transmit, ConcurrentTransmissionsOnTheRealReader) {
    auto card = ready("t1", 2);
    std::atomic<int> failed{0};
    auto worker = [&](uint8_t seed) {
        Bytes apdu = echoApdu(300);
        for (size_t i = 7; i < 307; ++i)
            apdu[i] = static_cast<uint8_t>(apdu[i] + seed);
        for (int i = 0; i < 20; ++i) {
            const uint8_t *rsp = nullptr;
            uint32_t len = 0;
            std::lock_guard lock(driver().monitor());
            if (driver().transmitToICC(apdu.data(), static_cast<uint32_t>(apdu.size()), 2, &rsp,
                                       &len) != HVIFDHStatusSuccess ||
                Bytes(rsp, rsp + len) != echoed(apdu, 300))
                ++failed;
        }
    };
    std::thread a(worker, 1), b(worker, 2);
    a.join();
    b.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(card->status().invalidBlocks, 0u);
}

HV_READER_BACKENDS(Transmit);

}  // namespace
