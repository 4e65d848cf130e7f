#include <gtest/gtest.h>

#include <future>
#include <mutex>

#include "CardTestKit.h"
#include "FakeEmulator.h"
#include "Wait.h"
#include "vorasel/sim/VpcdBridge.h"

namespace hv::sim::test {
namespace {

using namespace std::chrono_literals;

const Bytes kAtr = hex("3B 95 13 81 01 80 73 FF 01 00 0B");

// Answers APDUs reversed with 90 00; stays silent to 00 DE AD 00.
class FakeEmulator : public hv::test::FakeEmulator {
public:
    explicit FakeEmulator(uint16_t port)
        : hv::test::FakeEmulator(port, kAtr, [](const Bytes &m) -> std::optional<Bytes> {
              if (m == hex("00 DE AD 00")) return std::nullopt;
              return cat(Bytes(m.rbegin(), m.rend()), hex("90 00"));
          }) {}
};

TEST(VpcdBridge, WithoutEmulatorTheCardIsMute) {
    auto bridge = std::make_shared<VpcdBridge>();
    EXPECT_NE(bridge->port(), 0);
    EXPECT_FALSE(bridge->connected());
    VirtualCard card({}, bridge);
    EXPECT_FALSE(card.powerOn(PowerSelect::V5));
    EXPECT_TRUE(card.exchange(hex("FF 11 13 FD")).mute);
}

TEST(VpcdBridge, ForwardsPowerAtrAndApdus) {
    auto bridge = std::make_shared<VpcdBridge>();
    std::mutex m;
    std::vector<bool> events;
    bridge->setConnectionListener([&](bool up) {
        std::lock_guard lock(m);
        events.push_back(up);
    });
    FakeEmulator emu(bridge->port());
    ASSERT_TRUE(emu.connected());
    ASSERT_TRUE(hv::test::waitUntil([&] { return bridge->connected(); }));

    VirtualCard card({}, bridge);
    EXPECT_EQ(card.powerOn(PowerSelect::V5), kAtr);
    EXPECT_EQ(card.status().protocol, 1);  // from the emulator's ATR
    EXPECT_EQ(answer(card, hex("FF 11 13 FD")), hex("FF 11 13 FD"));
    EXPECT_EQ(card.status().fidi, 0x13);
    T1Host host(card);
    host.negotiateIfsd(254);
    EXPECT_EQ(host.transmit(hex("00 A4 00 0C 02 3F 00")), hex("00 3F 02 0C 00 A4 00 90 00"));
    ASSERT_TRUE(card.powerOn(PowerSelect::V5));  // warm
    card.powerOff();

    ASSERT_TRUE(hv::test::waitUntil([&] { return emu.received().size() >= 6; }));
    const std::vector<Bytes> got = emu.received();
    // PPS and T=1 never reach the emulator: only power, ATR and the APDU.
    EXPECT_EQ(got, (std::vector<Bytes>{
                       {0x01}, {0x04}, hex("00 A4 00 0C 02 3F 00"), {0x02}, {0x04}, {0x00}}));
    emu.hangUp();
    ASSERT_TRUE(hv::test::waitUntil([&] { return !bridge->connected(); }));
    EXPECT_FALSE(card.powerOn(PowerSelect::V5));
    ASSERT_TRUE(hv::test::waitUntil([&] {
        std::lock_guard lock(m);
        return events.size() == 2;
    }));
    std::lock_guard lock(m);
    EXPECT_EQ(events, (std::vector<bool>{true, false}));
}

TEST(VpcdBridge, SilentEmulatorMakesTheCardMuteAndIsDropped) {
    auto bridge = std::make_shared<VpcdBridge>(VpcdBridge::Options{0, 100ms});
    FakeEmulator emu(bridge->port());
    ASSERT_TRUE(hv::test::waitUntil([&] { return bridge->connected(); }));
    VirtualCard card({}, bridge);
    ASSERT_TRUE(card.powerOn(PowerSelect::V5));
    EXPECT_TRUE(card.exchange(iBlock(0, false, hex("00 DE AD 00"))).mute);
    EXPECT_FALSE(bridge->connected());
    EXPECT_FALSE(card.powerOn(PowerSelect::V5));
}

// The emulator leaving while the card waits for its answer is the card leaving the slot, not
// a card that went silent.
TEST(VpcdBridge, EmulatorLeavingMidCommandIsTheCardsRemoval) {
    auto bridge = std::make_shared<VpcdBridge>();
    FakeEmulator emu(bridge->port());
    ASSERT_TRUE(hv::test::waitUntil([&] { return bridge->connected(); }));
    VirtualCard card({}, bridge);
    ASSERT_TRUE(card.powerOn(PowerSelect::V5));
    auto reply = std::async(std::launch::async,
                            [&] { return card.exchange(iBlock(0, false, hex("00 DE AD 00"))); });
    ASSERT_TRUE(hv::test::waitUntil([&] { return emu.received().size() == 3; }));
    emu.hangUp();
    const CardReply r = reply.get();
    EXPECT_TRUE(r.removed);
    EXPECT_FALSE(card.status().powered);
}

TEST(VpcdBridge, NewConnectionReplacesTheOld) {
    auto bridge = std::make_shared<VpcdBridge>();
    FakeEmulator first(bridge->port());
    ASSERT_TRUE(hv::test::waitUntil([&] { return bridge->connected(); }));
    FakeEmulator second(bridge->port());
    // The old one is closed once the new one is taken.
    ASSERT_TRUE(hv::test::waitUntil([&] { return first.closedByPeer(); }));
    EXPECT_TRUE(bridge->connected());
    VirtualCard card({}, bridge);
    EXPECT_TRUE(card.powerOn(PowerSelect::V5));
    EXPECT_TRUE(first.received().empty());
    EXPECT_EQ(second.received().size(), 2u);
}

TEST(VpcdBridge, ApduTooLongForTheWireIsRefusedLocally) {
    auto bridge = std::make_shared<VpcdBridge>();
    Bytes r;
    ASSERT_TRUE(bridge->process(Bytes(65544, 0), r));
    EXPECT_EQ(r, hex("67 00"));
}

}  // namespace
}  // namespace hv::sim::test
