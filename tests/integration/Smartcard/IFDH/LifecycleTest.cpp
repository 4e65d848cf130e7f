// Opening and closing the driver on the simulated case over both transports: refused sessions,
// streams that fail to open, no accessory, and what close does to the wire.
#include "ReaderFixture.h"

using namespace hv::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

using Lifecycle = ReaderTest;

TEST_P(Lifecycle, OpenStartsBothSessionsAndCloseEndsThem) {
    ASSERT_EQ(driver().open(), HVIFDHStatusSuccess);
    EXPECT_EQ(driver().accessory_state(), HVIFDHAccessoryPresent | HVIFDHAccessoryReaderOpen);
    auto &registry = HVSessionProtocolDriver::sharedClass();
    EXPECT_NE(registry.sessionForProtocol(HVAccessoryProtocolCCIDBulk), nullptr);
    EXPECT_NE(registry.sessionForProtocol(HVAccessoryProtocolCCIDInterrupt), nullptr);
    EXPECT_EQ(kase->accessory().sessionsOpened("ccidbulk"), 1u);
    EXPECT_EQ(kase->accessory().sessionsOpened("ccidinterrupt"), 1u);
    EXPECT_EQ(driver().close(), HVIFDHStatusSuccess);
    EXPECT_EQ(registry.sessionForProtocol(HVAccessoryProtocolCCIDBulk), nullptr);
    EXPECT_EQ(registry.sessionForProtocol(HVAccessoryProtocolCCIDInterrupt), nullptr);
    EXPECT_EQ(driver().accessory_state(), HVIFDHAccessoryPresent);
    // Closed: nothing reaches the reader.
    const size_t before = commands().size();
    EXPECT_EQ(driver().powerOnICC(), HVIFDHStatusReaderUnavailable);
    EXPECT_EQ(commands().size(), before);
    // And it opens again, no sooner than the settling time.
    const auto closed = Clock::now();
    ASSERT_EQ(driver().open(), HVIFDHStatusSuccess);
    EXPECT_GE(Clock::now() - closed, 150ms - 1ms);
    EXPECT_EQ(kase->accessory().sessionsOpened("ccidbulk"), 2u);
}

TEST_P(Lifecycle, NoAccessoryOfferingTheReader) {
    kase->accessory().detach();
    ASSERT_TRUE(waitUntil([] {
        return hv::platform::EAAccessoryManager::sharedAccessoryManager()
            .connectedAccessories()
            .empty();
    }));
    ScopedCapture capture;
    EXPECT_EQ(driver().open(), HVIFDHStatusReaderUnavailable);
    EXPECT_EQ(driver().accessory_state(), 0);
    EXPECT_FALSE(capture.logger().contains("Open FAILED"));
}

TEST_P(Lifecycle, RefusedSessionIsRetried) {
    {
        auto lock = kase->accessory().lock();
        kase->accessory().faults("ccidinterrupt").refuse = hv::sim::FaultCount::once();
    }
    ScopedCapture capture;
    EXPECT_EQ(driver().open(), HVIFDHStatusSuccess);
    EXPECT_EQ(capture.logger().count("] Open FAILED 17"), 1u);
    EXPECT_EQ(capture.logger().count("] Previouse called to open failed, new attempt 1"), 1u);
    // The bulk session of the failed attempt was ended; the second pair is the one in use.
    EXPECT_EQ(kase->accessory().sessionsOpened("ccidbulk"), 2u);
    EXPECT_TRUE(waitUntil(
        [&] { return kase->accessory().sessions("ccidbulk")[0]->toDevice().isClosed(); }));
    EXPECT_EQ(driver().accessory_state(), HVIFDHAccessoryPresent | HVIFDHAccessoryReaderOpen);
}

TEST_P(Lifecycle, SessionsRefusedEveryTime) {
    {
        auto lock = kase->accessory().lock();
        kase->accessory().faults("ccidbulk").refuse = hv::sim::FaultCount::always();
    }
    ScopedCapture capture;
    EXPECT_EQ(driver().open(), HVIFDHStatusSessionCreateFailed);
    EXPECT_EQ(capture.logger().count("] Open FAILED 17"), 7u);
    EXPECT_EQ(driver().accessory_state(), HVIFDHAccessoryPresent);
}

TEST_P(Lifecycle, StreamsThatFailToOpen) {
    {
        auto lock = kase->accessory().lock();
        kase->accessory().faults("ccidbulk").failInputOpen = hv::sim::FaultCount::once();
        kase->accessory().faults("ccidbulk").failOutputOpen = hv::sim::FaultCount::once();
    }
    ScopedCapture capture;
    EXPECT_EQ(driver().open(), HVIFDHStatusSuccess);
    EXPECT_EQ(capture.logger().count("] Open FAILED 19"), 1u);
    EXPECT_EQ(driver().accessory_state(), HVIFDHAccessoryPresent | HVIFDHAccessoryReaderOpen);
    kase->insertCard(hv::sim::makeCard("t1"));
    ASSERT_TRUE(EventRecorder::shared().waitFor(HVIFDHEventCardInserted));
    EXPECT_EQ(driver().powerOnICC(), HVIFDHStatusSuccess);
}

HV_READER_BACKENDS(Lifecycle);

}  // namespace
