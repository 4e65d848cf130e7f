// Debian's vicc as the card behind the bridge: a card emulator nobody here wrote.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>

#include "CardTestKit.h"
#include "ViccProcess.h"
#include "Wait.h"
#include "vorasel/sim/VpcdBridge.h"

extern char **environ;

namespace hv::sim::test {
namespace {

using namespace std::chrono_literals;

TEST(Vicc, AtrPpsAndApdusThroughTheBridge) {
    if (!viccInstalled()) GTEST_SKIP() << "vicc (vsmartcard-vpicc, python3-pycryptodome) missing";
    auto bridge = std::make_shared<VpcdBridge>();
    Vicc vicc(bridge->port());
    ASSERT_TRUE(vicc.started());
    ASSERT_TRUE(hv::test::waitUntil([&] { return bridge->connected() || !vicc.running(); }, 30s));
    ASSERT_TRUE(bridge->connected()) << "vicc did not connect";

    VirtualCard card({}, bridge);
    const auto atr = card.powerOn(PowerSelect::V5);
    ASSERT_TRUE(atr);
    const AtrFacts facts = readAtrFacts(*atr);
    ASSERT_TRUE(facts.readable);
    EXPECT_EQ(facts.firstProtocol, 1);
    EXPECT_EQ(facts.ta1, 0x13);
    uint8_t tck = 0;
    for (size_t i = 1; i < atr->size(); ++i)
        tck ^= (*atr)[i];
    EXPECT_EQ(tck, 0) << "TCK";

    EXPECT_EQ(answer(card, hex("FF 11 13 FD")), hex("FF 11 13 FD"));
    T1Host host(card);
    host.negotiateIfsd(254);
    // P2 0C: vicc 3.3 fails on its own FCI when asked for one (P2 00) and drops the link.
    EXPECT_EQ(host.transmit(hex("00 A4 00 0C 02 3F 00")), hex("90 00"));
    EXPECT_EQ(host.transmit(hex("00 A4 04 0C 05 D2 76 00 00 01")), hex("6A 82"));
    const Bytes challenge = host.transmit(hex("00 84 00 00 08"));
    ASSERT_EQ(challenge.size(), 10u);
    expectSw(challenge, 0x9000);

    // Round trips through Python: far below the 40 ms a Nagle stall would cost.
    std::vector<double> us;
    for (int i = 0; i < 21; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        const Bytes r = host.transmit(hex("00 A4 00 0C 02 3F 00"));
        us.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0)
                .count());
        ASSERT_EQ(r, hex("90 00"));
    }
    std::nth_element(us.begin(), us.begin() + 10, us.end());
    std::cout << "vicc APDU round trip, median of 21: " << us[10] << " us\n";
    EXPECT_LT(us[10], 30000.0);
}

TEST(Vicc, KilledEmulatorLeavesAMuteCard) {
    if (!viccInstalled()) GTEST_SKIP() << "vicc (vsmartcard-vpicc, python3-pycryptodome) missing";
    auto bridge = std::make_shared<VpcdBridge>();
    VirtualCard card({}, bridge);
    {
        Vicc vicc(bridge->port());
        ASSERT_TRUE(
            hv::test::waitUntil([&] { return bridge->connected() || !vicc.running(); }, 30s));
        ASSERT_TRUE(card.powerOn(PowerSelect::V5));
    }
    ASSERT_TRUE(hv::test::waitUntil([&] { return !bridge->connected(); }));
    EXPECT_FALSE(card.powerOn(PowerSelect::V5));
}

}  // namespace
}  // namespace hv::sim::test
