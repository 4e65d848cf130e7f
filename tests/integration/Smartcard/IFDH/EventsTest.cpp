// The driver's event thread against the simulated case over both transports: the reader's
// slot changes, the accessory's announcements with and without another accessory, and the
// application's moves.
#include "Platform/Application.h"
#include "ReaderFixture.h"
#include "vorasel/sim/VirtualCard.h"

using namespace hv::test;
using namespace std::chrono_literals;

namespace {

class Events : public ReaderTest {
protected:
    static EventRecorder &events() { return EventRecorder::shared(); }

    // Another accessory offering the management protocol, attached beside the case.
    void attachAnother() {
        hv::sim::AccessoryIdentity identity;
        identity.serialNumber = "SIM-0002";
        identity.protocols = {"manager"};
        other = hv::sim::SimAccessory::create(identity);
        if (inProcess()) {
            hv::sim::inprocess::connect(other);
        } else {
            server->addAccessory(other);
        }
        other->attach();
        ASSERT_TRUE(waitUntil([] {
            return hv::platform::EAAccessoryManager::sharedAccessoryManager()
                       .connectedAccessories()
                       .size() == 2;
        }));
    }
    void TearDown() override {
        if (other && inProcess()) hv::sim::inprocess::disconnect(other);
        ReaderTest::TearDown();
    }

    std::shared_ptr<hv::sim::SimAccessory> other;
};

TEST_P(Events, AttachAnnouncedWhileClosedMarksTheAccessoryPresent) {
    ASSERT_TRUE(events().waitFor(HVIFDHEventAccessoryConnected));
    EXPECT_EQ(driver().accessory_state(), HVIFDHAccessoryPresent);
}

TEST_P(Events, ConnectWhileOpenIsIgnored) {
    ASSERT_TRUE(events().waitFor(HVIFDHEventAccessoryConnected));
    ASSERT_EQ(driver().open(), HVIFDHStatusSuccess);
    ScopedCapture capture(HVLogLevelDebug);
    attachAnother();
    ASSERT_TRUE(
        runLoopUntil([&] { return capture.logger().contains("] Ignoring accessory connect\n"); }));
    EXPECT_EQ(events().withCode(HVIFDHEventAccessoryConnected).size(), 1u);
    EXPECT_EQ(driver().accessory_state(), HVIFDHAccessoryPresent | HVIFDHAccessoryReaderOpen);
}

// The reader reports its slot when it comes up: an empty one reads as absent at once.
TEST_P(Events, EmptySlotIsReportedWhenTheReaderOpens) {
    ASSERT_EQ(driver().open(), HVIFDHStatusSuccess);
    ASSERT_TRUE(events().waitFor(HVIFDHEventCardRemoved));
    EXPECT_EQ(events().withCode(HVIFDHEventCardRemoved)[0].slotState, HVIFDHSlotStateAbsent);
    EXPECT_EQ(events().cardCodes(), std::vector<uint8_t>{HVIFDHEventCardRemoved});
    EXPECT_TRUE(commandsOfType(hv::sim::ccid::kGetSlotStatus).empty());
}

TEST_P(Events, InsertionAndRemoval) {
    openEmpty();
    auto card = hv::sim::makeCard("t1");
    kase->insertCard(card);
    ASSERT_TRUE(events().waitFor(HVIFDHEventCardInserted));
    EXPECT_EQ(events().withCode(HVIFDHEventCardInserted)[0].slotState, HVIFDHSlotStateSwallowed);
    EXPECT_TRUE(commandsOfType(hv::sim::ccid::kIccPowerOn).empty());
    ASSERT_EQ(driver().powerOnICC(), HVIFDHStatusSuccess);
    kase->removeCard();
    ASSERT_TRUE(events().waitFor(HVIFDHEventCardRemoved));
    const auto removed = events().withCode(HVIFDHEventCardRemoved)[0];
    EXPECT_EQ(removed.slotState, HVIFDHSlotStateAbsent);
    EXPECT_EQ(removed.atr.length, 0u);
    EXPECT_EQ(events().cardCodes(),
              (std::vector<uint8_t>{HVIFDHEventCardInserted, HVIFDHEventCardRemoved}));
}

TEST_P(Events, InsertionWithAutomaticPowerOn) {
    driver().setAuto_power_on(true);
    ASSERT_EQ(driver().open(), HVIFDHStatusSuccess);
    auto card = hv::sim::makeCard("t1");
    kase->insertCard(card);
    ASSERT_TRUE(events().waitFor(HVIFDHEventCardInserted));
    const auto e = events().withCode(HVIFDHEventCardInserted)[0];
    EXPECT_EQ(e.slotState, HVIFDHSlotStatePowered);
    EXPECT_EQ(Bytes(e.atr.data, e.atr.data + e.atr.length), card->atr());
    EXPECT_EQ(commandsOfType(hv::sim::ccid::kIccPowerOn).size(), 1u);
}

TEST_P(Events, CardAlreadyInTheSlotIsReportedWhenTheReaderOpens) {
    kase->insertCard(hv::sim::makeCard("t0"));
    ASSERT_EQ(driver().open(), HVIFDHStatusSuccess);
    ASSERT_TRUE(events().waitFor(HVIFDHEventCardInserted));
}

TEST_P(Events, DetachWithNoAccessoryLeft) {
    ASSERT_EQ(driver().open(), HVIFDHStatusSuccess);
    kase->insertCard(hv::sim::makeCard("t1"));
    ASSERT_TRUE(events().waitFor(HVIFDHEventCardInserted));
    kase->accessory().detach();
    ASSERT_TRUE(events().waitFor(HVIFDHEventAccessoryDisconnected));
    EXPECT_EQ(events().withCode(HVIFDHEventAccessoryDisconnected)[0].slotState,
              HVIFDHSlotStateUnknown);
    EXPECT_EQ(driver().accessory_state(), 0);
    EXPECT_EQ(driver().powerOnICC(), HVIFDHStatusReaderUnavailable);
}

TEST_P(Events, DetachWhileAnotherAccessoryRemainsIsIgnored) {
    attachAnother();
    ASSERT_EQ(driver().open(), HVIFDHStatusSuccess);
    ScopedCapture capture(HVLogLevelDebug);
    kase->accessory().detach();
    ASSERT_TRUE(
        runLoopUntil([&] { return capture.logger().contains("] ignore accessory disconnect\n"); }));
    EXPECT_TRUE(events().withCode(HVIFDHEventAccessoryDisconnected).empty());
    EXPECT_EQ(driver().accessory_state(), HVIFDHAccessoryPresent | HVIFDHAccessoryReaderOpen);
}

TEST_P(Events, ApplicationMovesWithTheAccessoryAttached) {
    hv::platform::Application::shared().postDidEnterBackground();
    hv::platform::Application::shared().postWillEnterForeground();
    ASSERT_TRUE(events().waitFor(HVIFDHEventWillEnterForeground));
    ASSERT_EQ(events().withCode(HVIFDHEventDidEnterBackground).size(), 1u);
    // In posting order.
    std::vector<uint8_t> moves;
    for (const auto &e : events().events())
        if (e.code == HVIFDHEventDidEnterBackground || e.code == HVIFDHEventWillEnterForeground)
            moves.push_back(e.code);
    EXPECT_EQ(moves, (std::vector<uint8_t>{HVIFDHEventDidEnterBackground,
                                           HVIFDHEventWillEnterForeground}));
}

HV_READER_BACKENDS(Events);

}  // namespace
