// A card emulator behind the reader's vpcd bridge, through the driver over both transports:
// its card comes and goes with it, and T=0 commands reach it as the host sent them.
#include <algorithm>
#include <future>
#include <iostream>

#include "FakeEmulator.h"
#include "ReaderFixture.h"
#include "vorasel/sim/EmulatorSlot.h"

using namespace hv::test;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

const Bytes kT0Atr = {0x3B, 0x02, 0x56, 0x4F};  // T=0, two historical bytes
const Bytes kOtherT0Atr = {0x3B, 0x02, 0x45, 0x4D};

// An emulator at APDU level, as vicc is: ECHO (INS EE) answers its data reversed, even
// without Le; a command without data answers P3 bytes 00 01 02 ...; anything else 90 00.
// INS DE never answers: the exchange stays in flight.
std::optional<Bytes> isoLike(const Bytes &c) {
    if (c.size() >= 2 && c[1] == 0xDE) return std::nullopt;
    Bytes r;
    if (c.size() > 5 && c[1] == 0xEE) {
        r.assign(c.rbegin(), c.rend() - 5);
    } else if (c.size() == 5) {
        for (uint8_t i = 0; i < c[4]; ++i)
            r.push_back(i);
    }
    r.insert(r.end(), {0x90, 0x00});
    return r;
}

class Emulator : public ReaderTest {
protected:
    void SetUp() override {
        ReaderTest::SetUp();
        bridge = std::make_shared<hv::sim::VpcdBridge>();
        slot = std::make_unique<hv::sim::EmulatorSlot>(kase->sharedReader(), bridge);
        slot->follow();
    }
    void TearDown() override {
        emulators.clear();
        slot.reset();
        ReaderTest::TearDown();
    }

    FakeEmulator &connectEmulator(const Bytes &atr) {
        emulators.push_back(std::make_unique<FakeEmulator>(bridge->port(), atr, isoLike));
        EXPECT_TRUE(emulators.back()->connected());
        return *emulators.back();
    }
    // Waits for the card of a newly connected emulator and powers it at T=0.
    void powerT0(size_t insertion) {
        ASSERT_TRUE(EventRecorder::shared().waitFor(HVIFDHEventCardInserted, insertion));
        ASSERT_EQ(driver().powerOnICC(), HVIFDHStatusSuccess);
        ASSERT_EQ(driver().setProtocolParameters(1, 0, 0, 0, 0), HVIFDHStatusSuccess);
    }
    Bytes atr() {
        const HVIFDHATR a = driver().ATR();
        return Bytes(a.data, a.data + a.length);
    }

    std::shared_ptr<hv::sim::VpcdBridge> bridge;
    std::unique_ptr<hv::sim::EmulatorSlot> slot;
    std::vector<std::unique_ptr<FakeEmulator>> emulators;
};

// Cases 1 to 4 as a T=0 host sends them: case 1 with P3 00, case 4 without its Le (a T=0
// command never carries it) and its answer fetched with GET RESPONSE. The emulator must get
// each command as sent; GET RESPONSE is the card's T=0 transport's own business.
TEST_P(Emulator, T0CommandsReachTheEmulatorAsTheHostSentThem) {
    openEmpty();
    FakeEmulator &emulator = connectEmulator(kT0Atr);
    powerT0(1);
    EXPECT_EQ(atr(), kT0Atr);
    const Bytes case1 = {0x00, 0x70, 0x00, 0x00, 0x00};
    const Bytes case2 = {0x00, 0xB0, 0x00, 0x00, 0x04};
    const Bytes case3 = {0x00, 0xD6, 0x00, 0x00, 0x02, 0xAA, 0xBB};
    const Bytes case4 = {0x00, 0xEE, 0x00, 0x00, 0x03, 0x01, 0x02, 0x03};
    EXPECT_EQ(transmit(case1, 1).response, (Bytes{0x90, 0x00}));
    EXPECT_EQ(transmit(case2, 1).response, (Bytes{0x00, 0x01, 0x02, 0x03, 0x90, 0x00}));
    EXPECT_EQ(transmit(case3, 1).response, (Bytes{0x90, 0x00}));
    EXPECT_EQ(transmit(case4, 1).response, (Bytes{0x61, 0x03}));
    EXPECT_EQ(transmit({0x00, 0xC0, 0x00, 0x00, 0x03}, 1).response,
              (Bytes{0x03, 0x02, 0x01, 0x90, 0x00}));
    EXPECT_EQ(emulator.commands(), (std::vector<Bytes>{case1, case2, case3, case4}));
}

// The emulator leaving is the card's removal, at once; the next emulator is a new insertion
// with its own answer-to-reset.
TEST_P(Emulator, TheCardComesAndGoesWithTheEmulator) {
    openEmpty();
    EXPECT_FALSE(reader().hasCard());
    std::vector<double> leaveMs, returnMs;
    for (size_t round = 1; round <= 3; ++round) {
        const Bytes &atrNow = round % 2 ? kT0Atr : kOtherT0Atr;
        auto t0 = Clock::now();
        FakeEmulator &emulator = connectEmulator(atrNow);
        powerT0(round);
        returnMs.push_back(std::chrono::duration<double, std::milli>(
                               EventRecorder::shared().lastTime(HVIFDHEventCardInserted) - t0)
                               .count());
        EXPECT_EQ(atr(), atrNow) << "round " << round;
        EXPECT_EQ(transmit({0x00, 0xB0, 0x00, 0x00, 0x02}, 1).response,
                  (Bytes{0x00, 0x01, 0x90, 0x00}));
        t0 = Clock::now();
        emulator.hangUp();
        ASSERT_TRUE(EventRecorder::shared().waitFor(HVIFDHEventCardRemoved, round));
        leaveMs.push_back(std::chrono::duration<double, std::milli>(
                              EventRecorder::shared().lastTime(HVIFDHEventCardRemoved) - t0)
                              .count());
        EXPECT_EQ(driver().slot_state(), HVIFDHSlotStateAbsent);
        EXPECT_FALSE(reader().hasCard());
        EXPECT_EQ(transmit({0x00, 0xB0, 0x00, 0x00, 0x02}, 1).status, HVIFDHStatusNoCard);
    }
    std::sort(leaveMs.begin(), leaveMs.end());
    std::sort(returnMs.begin(), returnMs.end());
    std::cout << "emulator leaves -> card removed: median " << leaveMs[1] << " ms, max "
              << leaveMs[2] << " ms; emulator connects -> card inserted: median " << returnMs[1]
              << " ms, max " << returnMs[2] << " ms\n";
}

// An exchange in flight when the emulator leaves ends as a removal, and the next emulator's
// card answers with its own bytes.
TEST_P(Emulator, ExchangeInFlightWhenTheEmulatorLeavesEndsAsARemoval) {
    openEmpty();
    FakeEmulator &first = connectEmulator(kT0Atr);
    powerT0(1);
    auto pending = std::async(std::launch::async, [&] {
        return transmit({0x00, 0xDE, 0x00, 0x00, 0x01}, 1);
    });
    ASSERT_TRUE(waitUntil([&] { return first.commands().size() == 1; }));
    first.hangUp();
    ASSERT_EQ(pending.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(pending.get().status, HVIFDHStatusNoCard);
    ASSERT_TRUE(EventRecorder::shared().waitFor(HVIFDHEventCardRemoved));

    FakeEmulator &second = connectEmulator(kOtherT0Atr);
    powerT0(2);
    EXPECT_EQ(atr(), kOtherT0Atr);
    EXPECT_EQ(transmit({0x00, 0xB0, 0x00, 0x00, 0x01}, 1).response, (Bytes{0x00, 0x90, 0x00}));
    EXPECT_EQ(second.commands(), (std::vector<Bytes>{{0x00, 0xB0, 0x00, 0x00, 0x01}}));
}

// The slot given back: the emulator no longer moves the card.
TEST_P(Emulator, AStoppedSlotNoLongerFollows) {
    openEmpty();
    slot->stop();
    FakeEmulator &emulator = connectEmulator(kT0Atr);
    ASSERT_TRUE(waitUntil([&] { return bridge->connected(); }));
    EXPECT_FALSE(EventRecorder::shared().waitFor(HVIFDHEventCardInserted, 1, 300ms));
    kase->insertCard(hv::sim::makeCard("t0"));
    ASSERT_TRUE(EventRecorder::shared().waitFor(HVIFDHEventCardInserted));
    emulator.hangUp();
    EXPECT_FALSE(EventRecorder::shared().waitFor(HVIFDHEventCardRemoved, 1, 300ms));
    EXPECT_TRUE(reader().hasCard());
}

HV_READER_BACKENDS(Emulator);

}  // namespace
