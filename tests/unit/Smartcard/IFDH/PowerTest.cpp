// Card power, PPS and SetParameters against a scripted reader holding a simulated card, with
// the messages the driver puts on the wire.
#include "DriverFixture.h"
#include "vorasel/sim/VirtualCard.h"

using namespace hv::test;
using hv::sim::AtrParams;
using hv::sim::CardConfig;
using hv::sim::PpsBehaviour;
using hv::sim::VirtualCard;

namespace {

std::shared_ptr<VirtualCard> cardWith(AtrParams atr, PpsBehaviour pps = PpsBehaviour::Accept,
                                      std::optional<uint8_t> otherFiDi = std::nullopt) {
    CardConfig config;
    config.atr = atr;
    config.pps = pps;
    config.ppsOtherFiDi = otherFiDi;
    return std::make_shared<VirtualCard>(config);
}

AtrParams t1Atr() {
    AtrParams a;
    a.t0 = false;
    a.t1 = true;
    return a;
}

class Power : public DriverTest {
protected:
    // Powers `card` and sets the protocol; returns the protocol setting's result.
    HVIFDHStatus connect(std::shared_ptr<VirtualCard> card, uint8_t protocol) {
        serve(card);
        EXPECT_EQ(driver().powerOnICC(), HVIFDHStatusSuccess);
        return driver().setProtocolParameters(protocol, 0, 0, 0, 0);
    }
    std::vector<Bytes> sent(uint8_t type) {
        std::vector<Bytes> out;
        for (auto &c : reader->commands())
            if (c[0] == type) out.push_back(c);
        return out;
    }
    // The data of the XfrBlocks sent (PPS requests, blocks).
    std::vector<Bytes> blocks() {
        std::vector<Bytes> out;
        for (auto &c : sent(0x6F))
            out.push_back(slice(c, 10, c.size()));
        return out;
    }
    Bytes parameters() {
        auto p = sent(0x61);
        return p.empty() ? Bytes{} : p.back();
    }
};

TEST_F(Power, PowerOnStoresTheAtr) {
    open();
    auto card = cardWith(t1Atr());
    serve(card);
    EXPECT_EQ(driver().ATR().length, 0u);
    EXPECT_EQ(driver().powerOnICC(), HVIFDHStatusSuccess);
    const HVIFDHATR atr = driver().ATR();
    EXPECT_EQ(Bytes(atr.data, atr.data + atr.length), card->atr());
    EXPECT_EQ(driver().slot_state(), HVIFDHSlotStatePowered);
    const auto on = sent(0x62);
    ASSERT_EQ(on.size(), 1u);
    EXPECT_EQ(on[0].size(), 10u);
    EXPECT_EQ(on[0][5], 0);  // bSlot
    EXPECT_EQ(on[0][7], 1);  // 5.0 V
}

TEST_F(Power, CardMuteAt5VIsPoweredAt3V) {
    open();
    CardConfig config;
    config.voltages = hv::sim::kClassB;
    serve(std::make_shared<VirtualCard>(config));
    EXPECT_EQ(driver().powerOnICC(), HVIFDHStatusSuccess);
    const auto on = sent(0x62);
    ASSERT_EQ(on.size(), 2u);
    EXPECT_EQ(on[0][7], 1);
    EXPECT_EQ(on[1][7], 2);
    EXPECT_EQ(on[1][6], static_cast<uint8_t>(on[0][6] + 1));
    EXPECT_EQ(driver().slot_state(), HVIFDHSlotStatePowered);
}

TEST_F(Power, CardMuteAtBothVoltagesFails) {
    open();
    CardConfig config;
    config.voltages = hv::sim::kClassC;
    serve(std::make_shared<VirtualCard>(config));
    ScopedCapture capture;
    EXPECT_EQ(driver().powerOnICC(), HVIFDHStatusFailed);
    EXPECT_EQ(sent(0x62).size(), 2u);
    EXPECT_TRUE(capture.logger().contains("] bmCommandStatus = 1 bmICCStatus = 1 bError = 254"));
    EXPECT_EQ(driver().slot_state(), HVIFDHSlotStatePresent);
}

TEST_F(Power, PowerOnAnswersThatAreNotAnAtr) {
    open();
    ScopedCapture capture;
    // No card.
    reader->setResponder([](const Bytes &c) -> std::vector<Delivery> {
        return {Delivery::of(answer(c, 0x42, {}, 0xFE))};
    });
    EXPECT_EQ(driver().powerOnICC(), HVIFDHStatusNoCard);
    EXPECT_EQ(driver().slot_state(), HVIFDHSlotStateAbsent);
    // A time extension is not waited out here.
    reader->setResponder(
        [](const Bytes &c) -> std::vector<Delivery> { return {Delivery::of(answer(c, 0x80))}; });
    EXPECT_EQ(driver().powerOnICC(), HVIFDHStatusFailed);
    EXPECT_TRUE(capture.logger().contains("] bmCommandStatus = 2 bmICCStatus = 0 bError = 128"));
    // More than the 33 bytes an ATR may have: refused, nothing stored.
    reader->setResponder([](const Bytes &c) -> std::vector<Delivery> {
        return {Delivery::of(answer(c, 0x00, Bytes(34, 0x3B)))};
    });
    EXPECT_EQ(driver().powerOnICC(), HVIFDHStatusFailed);
    EXPECT_EQ(driver().ATR().length, 0u);
}

TEST_F(Power, PowerOffKeepsTheAtrAndColdResetPowersAgain) {
    open();
    auto card = cardWith(t1Atr());
    serve(card);
    ASSERT_EQ(driver().powerOnICC(), HVIFDHStatusSuccess);
    EXPECT_EQ(driver().powerOffICC(), HVIFDHStatusSuccess);
    EXPECT_EQ(driver().slot_state(), HVIFDHSlotStatePresent);
    EXPECT_EQ(driver().ATR().length, card->atr().size());
    EXPECT_EQ(sent(0x63).size(), 1u);
    EXPECT_EQ(driver().coldresetICC(), HVIFDHStatusSuccess);
    const auto commands = reader->commands();
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(commands[commands.size() - 2][0], 0x63);
    EXPECT_EQ(commands.back()[0], 0x62);
    EXPECT_EQ(driver().slot_state(), HVIFDHSlotStatePowered);
    EXPECT_EQ(driver().warmResetICC(), HVIFDHStatusSuccess);
    EXPECT_EQ(reader->commands().back()[0], 0x62);
}

TEST_F(Power, SpecificModeSetsTheProtocolWithoutPps) {
    open();
    AtrParams a = t1Atr();
    a.ta2 = 0x01;
    ScopedCapture capture;
    EXPECT_EQ(connect(cardWith(a), 2), HVIFDHStatusSuccess);
    EXPECT_TRUE(blocks().empty());
    EXPECT_EQ(driver().slot_state(), HVIFDHSlotStateSpecific);
    const Bytes p = parameters();
    ASSERT_EQ(p.size(), 17u);
    EXPECT_EQ(p[7], 1);  // bProtocolNum
    EXPECT_EQ(slice(p, 10, 17), (Bytes{0x11, 0x00, 0xFF, 0x4D, 0x00, 0x20, 0x00}));
    EXPECT_TRUE(capture.logger().contains("] Parameters has been set for T=1\n"));
    EXPECT_TRUE(capture.logger().contains("] Communication timeout is 200069 ms\n"));
    EXPECT_EQ(driver().rsp_timeout(), 200069u);

    ASSERT_EQ(driver().powerOnICC(), HVIFDHStatusSuccess);
    EXPECT_EQ(driver().setProtocolParameters(1, 0, 0, 0, 0), HVIFDHStatusProtocolNotSupported);
    EXPECT_TRUE(
        capture.logger().contains("] Card in specific mode but request unsupported protocol"));
}

TEST_F(Power, Ta1NeedsAPps) {
    open();
    AtrParams a = t1Atr();
    a.ta1 = 0x96;
    ScopedCapture capture;
    EXPECT_EQ(connect(cardWith(a), 2), HVIFDHStatusSuccess);
    ASSERT_EQ(blocks().size(), 1u);
    EXPECT_EQ(blocks()[0], (Bytes{0xFF, 0x11, 0x96, 0x78}));
    EXPECT_EQ(sent(0x6F)[0][7], 0);  // bBWI
    EXPECT_TRUE(capture.logger().contains("] PPS handshake complete\n"));
    EXPECT_EQ(driver().slot_state(), HVIFDHSlotStateSpecific);
    EXPECT_EQ(parameters()[10], 0x96);
    // F 512, D 32: T=1 time-out with BWI 4, CWI 13.
    EXPECT_EQ(driver().rsp_timeout(), HVIFDH::t1_max_timeout(0x96, 0, 4, 13, 4000));
}

TEST_F(Power, NoTa1AndTheFirstProtocolNeedsNoPps) {
    open();
    AtrParams a;  // T=0 only
    ScopedCapture capture;
    EXPECT_EQ(connect(cardWith(a), 1), HVIFDHStatusSuccess);
    EXPECT_TRUE(blocks().empty());
    EXPECT_TRUE(
        capture.logger().contains("] ATR has no TA1 and requested protocol same as first offered"));
    const Bytes p = parameters();
    EXPECT_EQ(p[7], 0);
    EXPECT_EQ(slice(p, 10, p.size()), (Bytes{0x11, 0x00, 0x00, 0x0A, 0x00}));
    EXPECT_TRUE(capture.logger().contains("] Parameters has been set for T=0\n"));
    EXPECT_EQ(driver().rsp_timeout(), 232134u);

    // T=0 first, T=1 asked for: PPS with the default rate.
    AtrParams dual;
    dual.t1 = true;
    EXPECT_EQ(connect(cardWith(dual), 2), HVIFDHStatusSuccess);
    ASSERT_FALSE(blocks().empty());
    EXPECT_EQ(blocks().back(), (Bytes{0xFF, 0x11, 0x11, 0xFF}));
}

TEST_F(Power, PpsAnswers) {
    open();
    AtrParams a = t1Atr();
    a.ta1 = 0x96;
    {
        // PPS1 declined: the default rate.
        EXPECT_EQ(connect(cardWith(a, PpsBehaviour::DeclinePps1), 2), HVIFDHStatusSuccess);
        EXPECT_EQ(parameters()[10], 0x11);
    }
    {
        ScopedCapture capture;
        EXPECT_EQ(connect(cardWith(a, PpsBehaviour::OtherFD, 0x95), 2),
                  HVIFDHStatusNegotiationFailed);
        EXPECT_TRUE(capture.logger().contains("] Exchange PPS echoed different F/D\n"));
    }
    {
        ScopedCapture capture;
        EXPECT_EQ(connect(cardWith(a, PpsBehaviour::OtherProtocol), 2),
                  HVIFDHStatusNegotiationFailed);
        EXPECT_TRUE(capture.logger().contains("] Exchange of PPS echoed different protocol\n"));
    }
    {
        ScopedCapture capture;
        EXPECT_EQ(connect(cardWith(a, PpsBehaviour::NoAnswer), 2), HVIFDHStatusNegotiationFailed);
        EXPECT_TRUE(capture.logger().contains("] Exchange of PPS failed\n"));
    }
}

TEST_F(Power, OddPpsAnswersAndLostSessions) {
    open();
    AtrParams a = t1Atr();
    a.ta1 = 0x96;
    auto card = cardWith(a);
    auto respond = [&](std::function<std::vector<Delivery>(const Bytes &)> onPps) {
        reader->setResponder([&, card, onPps](const Bytes &c) -> std::vector<Delivery> {
            if (c.empty()) return {};
            if (c[0] == 0x6F) return onPps(c);
            return {Delivery::of(readerAnswer(*card, c))};
        });
        EXPECT_EQ(driver().powerOnICC(), HVIFDHStatusSuccess);
        return driver().setProtocolParameters(2, 0, 0, 0, 0);
    };
    ScopedCapture capture;
    EXPECT_EQ(respond([](const Bytes &c) -> std::vector<Delivery> {
                  return {Delivery::of(answer(c, 0x00, {0xFF, 0x11, 0x96, 0x78, 0x00}))};
              }),
              HVIFDHStatusNegotiationFailed);
    EXPECT_TRUE(capture.logger().contains("] Exchange of PPS odd length 5\n"));
    EXPECT_EQ(respond([](const Bytes &) -> std::vector<Delivery> { return {Delivery::lost()}; }),
              HVIFDHStatusCommunicationError);
    EXPECT_TRUE(capture.logger().contains("] Session lost!\n"));
    // Answered with an intact PPS1 but PCK and PPSS not checked.
    EXPECT_EQ(respond([](const Bytes &c) -> std::vector<Delivery> {
                  return {Delivery::of(answer(c, 0x00, {0x00, 0x11, 0x96, 0x00}))};
              }),
              HVIFDHStatusSuccess);
}

TEST_F(Power, ConventionAndEdcInTheParameters) {
    open();
    AtrParams inverse;
    inverse.inverse = true;
    EXPECT_EQ(connect(cardWith(inverse), 1), HVIFDHStatusSuccess);
    EXPECT_EQ(parameters()[11], 0x02);  // bmTCCKST0
    AtrParams crc = t1Atr();
    crc.inverse = true;
    crc.crc = true;
    EXPECT_EQ(connect(cardWith(crc), 2), HVIFDHStatusSuccess);
    EXPECT_EQ(parameters()[11], 0x03);  // bmTCCKST1
}

TEST_F(Power, ProtocolSettingFailures) {
    open();
    ScopedCapture capture;
    auto card = cardWith(t1Atr());
    reader->setResponder([](const Bytes &c) -> std::vector<Delivery> {
        return {Delivery::of(answer(c, 0x00, {0x3B, 0x81, 0x80, 0x01, 0x00}))};  // bad TCK
    });
    ASSERT_EQ(driver().powerOnICC(), HVIFDHStatusSuccess);
    EXPECT_EQ(driver().setProtocolParameters(2, 0, 0, 0, 0), HVIFDHStatusNegotiationFailed);
    EXPECT_TRUE(capture.logger().contains("] Bad ATR"));

    serve(card);
    ASSERT_EQ(driver().powerOnICC(), HVIFDHStatusSuccess);
    const size_t before = reader->commands().size();
    EXPECT_EQ(driver().setProtocolParameters(3, 0, 0, 0, 0), HVIFDHStatusProtocolNotSupported);
    EXPECT_EQ(driver().setProtocolParameters(0, 0, 0, 0, 0), HVIFDHStatusProtocolNotSupported);
    EXPECT_EQ(reader->commands().size(), before);

    // The reader refuses the parameters: the state and the time-out stay as set.
    reader->setResponder([](const Bytes &c) -> std::vector<Delivery> {
        return {Delivery::of(answer(c, 0x40, {}, 13))};
    });
    EXPECT_EQ(driver().setProtocolParameters(2, 0, 0, 0, 0), HVIFDHStatusFailed);
    EXPECT_TRUE(capture.logger().contains("] invaild parameter at offset 13\n"));
    EXPECT_TRUE(capture.logger().contains("] Failed setting parameters\n"));
    EXPECT_EQ(driver().slot_state(), HVIFDHSlotStateSpecific);
    EXPECT_EQ(driver().rsp_timeout(), 200069u);
}

TEST_F(Power, ProtocolSettingResetsTheT1Engine) {
    open();
    serve(cardWith(t1Atr()));
    ASSERT_EQ(driver().powerOnICC(), HVIFDHStatusSuccess);
    ASSERT_EQ(driver().setProtocolParameters(2, 0, 0, 0, 0), HVIFDHStatusSuccess);
    const Bytes apdu = {0x00, 0xEE, 0x00, 0x00, 0x02, 0x01, 0x02, 0x00};
    const uint8_t *rsp = nullptr;
    uint32_t len = 0;
    ASSERT_EQ(driver().transmitToICC(apdu.data(), 8, 2, &rsp, &len), HVIFDHStatusSuccess);
    EXPECT_EQ(Bytes(rsp, rsp + len), (Bytes{0x01, 0x02, 0x90, 0x00}));
    ASSERT_GE(blocks().size(), 2u);
    EXPECT_EQ(blocks()[0], (Bytes{0x00, 0xC1, 0x01, 0xFA, 0x3A}));  // IFS request, LRC
    EXPECT_EQ(blocks()[1][1], 0x00);                                // then I(0)
}

TEST(Timeouts, WorkedValues) {
    EXPECT_EQ(HVIFDH::t0_max_timeout(0x11, 0, 10, 4000), 232134u);
    EXPECT_EQ(HVIFDH::t0_max_timeout(0x94, 0, 10, 4000), 319489u);
    EXPECT_EQ(HVIFDH::t0_max_timeout(0x61, 0, 10, 4000), HVIFDH::kMaxWaitingTime);  // 1160668
    EXPECT_EQ(HVIFDH::t1_max_timeout(0x11, 0, 4, 13, 4000), 200069u);
    EXPECT_EQ(HVIFDH::t1_max_timeout(0x94, 0, 4, 13, 4000), 35604u);
    // Never below 3000 ms; N 255 counts as 0.
    EXPECT_EQ(HVIFDH::t1_max_timeout(0x11, 0, 0, 0, 4000), 3000u);
    EXPECT_EQ(HVIFDH::t0_max_timeout(0x11, 255, 10, 4000), 232134u);
    EXPECT_EQ(HVIFDH::t1_max_timeout(0x11, 255, 4, 13, 4000), 200069u);
    // A reserved Di (0) drops the terms divided by it.
    EXPECT_EQ(HVIFDH::t1_max_timeout(0x10, 0, 4, 13, 4000), 3000u);
    EXPECT_EQ(HVIFDH::t1_max_timeout(0x10, 0, 9, 13, 4000), (960u * 512 * 372 + 4000) / 4000);
    EXPECT_EQ(HVIFDH::t0_max_timeout(0x10, 0, 10, 4000), (4000u + 10 * 372 * 249600) / 4000);
}

// The worst an ATR can ask for (hours at a slow clock) is held to the cap, with a line saying
// so; values under it are left alone and say nothing.
TEST(Timeouts, HoursAreCappedAndTheCapIsLogged) {
    hv::test::ScopedCapture capture;
    EXPECT_EQ(HVIFDH::t1_max_timeout(0x11, 0, 4, 13, 4000), 200069u);
    EXPECT_EQ(HVIFDH::t0_max_timeout(0x11, 0, 10, 4000), 232134u);
    EXPECT_FALSE(capture.logger().contains("capped"));
    // No overflow on the way to the cap either.
    EXPECT_EQ(HVIFDH::t1_max_timeout(0xD1, 254, 15, 15, 4000), HVIFDH::kMaxWaitingTime);
    EXPECT_EQ(HVIFDH::t0_max_timeout(0x11, 0, 255, 1000), HVIFDH::kMaxWaitingTime);
    EXPECT_EQ(HVIFDH::t0_max_timeout(0xD1, 254, 255, 1), HVIFDH::kMaxWaitingTime);
    EXPECT_TRUE(capture.logger().contains("capped at 600000 ms"));
    EXPECT_EQ(HVIFDH::capWaitingTime(HVIFDH::kMaxWaitingTime), HVIFDH::kMaxWaitingTime);
    EXPECT_EQ(HVIFDH::capWaitingTime(uint64_t{HVIFDH::kMaxWaitingTime} * 255),
              HVIFDH::kMaxWaitingTime);
}

}  // namespace
