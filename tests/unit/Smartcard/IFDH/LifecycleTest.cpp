// Opening and closing the driver against scripted session results: attempts, pauses, states,
// the settling time, and what close leaves alone.
#include <algorithm>
#include "DriverFixture.h"
#include "vorasel/sim/VirtualCard.h"

using namespace hv::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

using Lifecycle = DriverTest;

// Runs first in its process (CTest runs every test in one of its own); skipped otherwise.
TEST_F(Lifecycle, FreshDriverHasNothingUntilItOpens) {
    if (driver().rsp_timeout() != 0) GTEST_SKIP() << "the driver was opened earlier";
    const HVIFDHCCIDDescriptor before = driver().dsc();
    EXPECT_EQ(before.dwDefaultClock, 0u);
    EXPECT_EQ(before.dwMaxCCIDMessageLength, 0u);
    EXPECT_EQ(before.bMaxCCIDBusySlots, 0u);
    const HVIFDHATR atr = driver().ATR();
    EXPECT_EQ(Bytes(atr.data, atr.data + 33), Bytes(33, 0));
    EXPECT_EQ(atr.length, 0u);
    EXPECT_EQ(driver().accessory_state(), 0);
    EXPECT_EQ(driver().slot_state(), HVIFDHSlotStateUnknown);
    EXPECT_FALSE(driver().auto_power_on());
    EXPECT_STREQ(driver().getName(), "Halvane Smart Card Reader");

    // A failed open fills nothing in.
    reader->scriptStarts({HVSessionStatusAccessoryNotFound});
    EXPECT_EQ(driver().open(), HVIFDHStatusReaderUnavailable);
    EXPECT_EQ(driver().dsc().dwDefaultClock, 0u);

    open();
    const HVIFDHCCIDDescriptor d = driver().dsc();
    EXPECT_EQ(d.bMaxSlotIndex, 0u);
    EXPECT_EQ(d.bVoltageSupport, 3u);
    EXPECT_EQ(d.dwProtocols, 3u);
    EXPECT_EQ(d.dwDefaultClock, 4000u);
    EXPECT_EQ(d.dwMaximumClock, 10000u);
    EXPECT_EQ(d.dwDataRate, 9600u);
    EXPECT_EQ(d.dwMaxDataRate, 500000u);
    EXPECT_EQ(d.dwMaxIFSD, 254u);
    EXPECT_EQ(d.dwFeatures, 0x00010030u);
    EXPECT_EQ(d.dwMaxCCIDMessageLength, 270u);
    EXPECT_EQ(d.bMaxCCIDBusySlots, 1u);
    EXPECT_EQ(driver().rsp_timeout(), 3000u);
    EXPECT_STREQ(driver().getName(), "Halvane Smart Card Reader");
}

TEST_F(Lifecycle, SessionStatusesTranslate) {
    EXPECT_EQ(HVIFDH::convert_error(0), HVIFDHStatusSuccess);
    EXPECT_EQ(HVIFDH::convert_error(1), HVIFDHStatusSessionCreateFailed);
    EXPECT_EQ(HVIFDH::convert_error(2), HVIFDHStatusReaderUnavailable);
    EXPECT_EQ(HVIFDH::convert_error(3), HVIFDHStatusCommunicationError);
    EXPECT_EQ(HVIFDH::convert_error(4), HVIFDHStatusFailed);
    EXPECT_EQ(HVIFDH::convert_error(-1), HVIFDHStatusFailed);
}

TEST_F(Lifecycle, NoAccessoryMeansOneAttemptAndNoError) {
    ScopedCapture capture;
    reader->scriptStarts({HVSessionStatusAccessoryNotFound});
    EXPECT_EQ(driver().open(), HVIFDHStatusReaderUnavailable);
    EXPECT_EQ(driver().accessory_state(), 0);
    EXPECT_EQ(reader->starts(), std::vector<int32_t>{2});
    EXPECT_FALSE(capture.logger().contains("Open FAILED"));
}

TEST_F(Lifecycle, RegistryErrorsAreRetriedSevenTimesHalfASecondApart) {
    ScopedCapture capture;
    reader->scriptStarts(std::vector<HVSessionStatus>(7, HVSessionStatusError));
    EXPECT_EQ(driver().open(), HVIFDHStatusCommunicationError);
    EXPECT_EQ(driver().accessory_state(), 0);
    EXPECT_EQ(capture.logger().count("] Open FAILED 19"), 7u);
    for (int n = 1; n <= 6; ++n)
        EXPECT_EQ(capture.logger().count("] Previouse called to open failed, new attempt " +
                                         std::to_string(n)),
                  1u);
    EXPECT_FALSE(capture.logger().contains("new attempt 7"));
    const auto times = reader->startTimes();
    ASSERT_EQ(times.size(), 7u);
    for (size_t i = 1; i < times.size(); ++i)
        EXPECT_GE(times[i] - times[i - 1], 500ms) << i;
}

TEST_F(Lifecycle, EachFailedAttemptLeavesItsState) {
    ScopedCapture capture;
    reader->scriptStarts({HVSessionStatusCreateFailed, static_cast<HVSessionStatus>(4),
                          HVSessionStatusError, static_cast<HVSessionStatus>(4),
                          HVSessionStatusError, HVSessionStatusCreateFailed,
                          HVSessionStatusCreateFailed});
    EXPECT_EQ(driver().open(), HVIFDHStatusSessionCreateFailed);
    EXPECT_EQ(driver().accessory_state(), HVIFDHAccessoryPresent);
    EXPECT_EQ(capture.logger().count("] Open FAILED 17"), 3u);
    EXPECT_EQ(capture.logger().count("] Open FAILED 11"), 2u);
    EXPECT_EQ(capture.logger().count("] Open FAILED 19"), 2u);
}

TEST_F(Lifecycle, InterruptSessionFailureEndsTheBulkSessionAndRetries) {
    reader->scriptStarts({HVSessionStatusSuccess, HVSessionStatusError});
    EXPECT_EQ(driver().open(), HVIFDHStatusSuccess);
    EXPECT_EQ(reader->starts(), (std::vector<int32_t>{2, 3, 2, 3}));
    EXPECT_EQ(reader->ends(), std::vector<int32_t>{2});
    EXPECT_EQ(driver().accessory_state(), HVIFDHAccessoryPresent | HVIFDHAccessoryReaderOpen);
}

// A refused restart leaves no bulk session behind the old one: success only comes with a new
// pair, and a reader that never gets one is reported closed.
TEST_F(Lifecycle, OpenOnAnOpenDriverStartsAfreshAndARefusalIsRetriedNotSuccess) {
    open();
    open();
    EXPECT_EQ(reader->starts(), (std::vector<int32_t>{2, 3, 2, 3}));
    ScopedCapture capture;
    reader->scriptStarts({HVSessionStatusCreateFailed});
    EXPECT_EQ(driver().open(), HVIFDHStatusSuccess);
    EXPECT_EQ(driver().accessory_state(), HVIFDHAccessoryPresent | HVIFDHAccessoryReaderOpen);
    EXPECT_EQ(capture.logger().count("] Open FAILED 17"), 1u);
    // The refused start, then a whole new pair.
    EXPECT_EQ(reader->starts(), (std::vector<int32_t>{2, 3, 2, 3, 2, 2, 3}));

    reader->scriptStarts(std::vector<HVSessionStatus>(7, HVSessionStatusCreateFailed));
    EXPECT_EQ(driver().open(), HVIFDHStatusSessionCreateFailed);
    EXPECT_EQ(driver().accessory_state(), HVIFDHAccessoryPresent);
    // The rest of the old pair was ended, not left registered.
    const auto ends = reader->ends();
    ASSERT_GE(ends.size(), 2u);
    EXPECT_NE(std::find(ends.end() - 2, ends.end(), 2), ends.end());
    EXPECT_NE(std::find(ends.end() - 2, ends.end(), 3), ends.end());
}

TEST_F(Lifecycle, SessionsStartNoSoonerThanTheSettlingTimeAfterClose) {
    open();
    driver().close();
    const auto closed = Clock::now();
    open();
    EXPECT_GE(reader->startTimes().back() - closed, 150ms - 1ms);
}

TEST_F(Lifecycle, CloseClearsTheOpenBitAndLeavesTheRest) {
    open();
    serve(std::make_shared<hv::sim::VirtualCard>());
    ASSERT_EQ(driver().powerOnICC(), HVIFDHStatusSuccess);
    driver().setAuto_power_on(true);
    EXPECT_EQ(driver().close(), HVIFDHStatusSuccess);
    EXPECT_EQ(driver().accessory_state(), HVIFDHAccessoryPresent);
    EXPECT_EQ(driver().slot_state(), HVIFDHSlotStatePowered);
    EXPECT_GT(driver().ATR().length, 0u);
    EXPECT_TRUE(driver().auto_power_on());
    EXPECT_EQ(reader->ends(), (std::vector<int32_t>{3, 2}));
    // Opening zeroes the ATR again.
    open();
    EXPECT_EQ(driver().ATR().length, 0u);
}

TEST_F(Lifecycle, NoAccessoryNoManagementProtocol) {
    EXPECT_FALSE(driver().voraselAvailable());
}

}  // namespace
