// The firmware upgrade against the simulated case: chunks and their acknowledgements on the
// wire, the progress, the reset and the case coming back with the new revision; and its faults.
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CaptureLogger.h"
#include "CaseFixture.h"
#include "Platform/RunLoop.h"
#include "vorasel/EAAccessory.h"
#include "vorasel/HVManager.h"
#include "vorasel/sim/FirmwareReceiver.h"

namespace hv::test {
namespace {

using namespace std::chrono_literals;
using sim::Fault;

class Progress final : public HVManagerDelegate {
public:
    void hvManagerFirmwareUpgradeProgress(float progress) override {
        std::lock_guard lock(mutex_);
        values_.push_back(progress);
    }
    std::vector<float> values() const {
        std::lock_guard lock(mutex_);
        return values_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<float> values_;
};

// A delegate that does not offer the progress operation.
class Silent final : public HVManagerDelegate {};

Bytes imageOf(size_t size, const std::string &revision = "2.0.0") {
    Bytes payload(size - 5 - revision.size());
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i * 13 + 1);
    return sim::FirmwareReceiver::makeImage(revision, payload);
}

// The header of a firmware_image message with a chunk of `chunk` bytes.
Bytes chunkHeader(uint32_t size, uint32_t offset, uint32_t chunk) {
    const uint32_t content = 6 + 6 + 4 + chunk;
    return {0xE8,
            0x82,
            uint8_t(content >> 8),
            uint8_t(content),
            0x02,
            0x04,
            uint8_t(size >> 24),
            uint8_t(size >> 16),
            uint8_t(size >> 8),
            uint8_t(size),
            0x02,
            0x04,
            uint8_t(offset >> 24),
            uint8_t(offset >> 16),
            uint8_t(offset >> 8),
            uint8_t(offset),
            0x04,
            0x82,
            uint8_t(chunk >> 8),
            uint8_t(chunk)};
}

class FirmwareTest : public CaseTest {
protected:
    void SetUp() override {
        CaseTest::SetUp();
        ASSERT_TRUE(runLoopUntil([] { return HVAccessory::sharedClass().isConnected(); }));
    }

    std::string attachedRevision() {
        auto accessory = HVAccessory::sharedClass().getAccessory();
        return accessory ? accessory->firmwareRevision() : "(detached)";
    }

    HVManager &manager = HVManager::sharedClass();
};

TEST_P(FirmwareTest, AThousandByteImageGoesInTwoChunksThenTheCaseResetsAndComesBack) {
    const Bytes image = imageOf(1000);
    Progress progress;
    ScopedCapture capture;
    EXPECT_EQ(attachedRevision(), "1.0.0");
    ASSERT_EQ(manager.upgradeFirmwareWithImage(image.data(), 1000, &progress),
              HVManagerStatusSuccess);

    const auto seen = progress.values();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_FLOAT_EQ(seen[0], 0.512f);
    EXPECT_FLOAT_EQ(seen[1], 1.0f);

    const auto sent = requests();
    ASSERT_EQ(sent.size(), 3u);
    ASSERT_EQ(sent[0].size(), 532u);
    EXPECT_EQ(Bytes(sent[0].begin(), sent[0].begin() + 20), chunkHeader(1000, 0, 512));
    EXPECT_EQ(Bytes(sent[0].begin() + 20, sent[0].end()),
              Bytes(image.begin(), image.begin() + 512));
    ASSERT_EQ(sent[1].size(), 508u);
    EXPECT_EQ(Bytes(sent[1].begin(), sent[1].begin() + 20), chunkHeader(1000, 512, 488));
    EXPECT_EQ(Bytes(sent[1].begin() + 20, sent[1].end()), Bytes(image.begin() + 512, image.end()));
    EXPECT_EQ(sent[2], (Bytes{0xCC, 0x00}));

    EXPECT_EQ(service().installedImage(), image);
    EXPECT_EQ(service().resets(), 1u);
    EXPECT_EQ(attachedRevision(), "2.0.0") << "success is reported once the case is back";
    EXPECT_EQ(capture.logger().count("] Wait for firmware operation to complete."), 2u);
    EXPECT_EQ(capture.logger().count("] Firmware operation completed."), 2u);
    EXPECT_TRUE(capture.logger().contains("] Wait for reset operation to complete."));
    EXPECT_TRUE(capture.logger().contains("] Reset operation completed."));
}

TEST_P(FirmwareTest, OneFullChunkAndAnEmptyImage) {
    const Bytes image = imageOf(512, "3.1");
    Progress progress;
    ASSERT_EQ(manager.upgradeFirmwareWithImage(image.data(), 512, &progress),
              HVManagerStatusSuccess);
    ASSERT_EQ(progress.values().size(), 1u);
    EXPECT_FLOAT_EQ(progress.values()[0], 1.0f);
    EXPECT_EQ(attachedRevision(), "3.1");

    // Nothing to send: straight to the reset, without progress.
    wire().clear();
    Progress none;
    EXPECT_EQ(manager.upgradeFirmwareWithImage(nullptr, 0, &none), HVManagerStatusSuccess);
    EXPECT_TRUE(none.values().empty());
    EXPECT_EQ(requests(), (std::vector<Bytes>{{0xCC, 0x00}}));
    EXPECT_EQ(service().resets(), 2u);
}

TEST_P(FirmwareTest, ARefusedChunkStopsTheUpgradeAfterItsProgress) {
    service().faults().add(Fault::replace({0xD0, 0x01, 0x01}).on(0xE8));
    const Bytes image = imageOf(1000);
    Progress progress;
    EXPECT_EQ(manager.upgradeFirmwareWithImage(image.data(), 1000, &progress),
              HVManagerStatusFailed);
    ASSERT_EQ(progress.values().size(), 1u);
    EXPECT_FLOAT_EQ(progress.values()[0], 0.512f);
    // Neither the second chunk nor the reset.
    ASSERT_EQ(requests().size(), 1u);
    EXPECT_EQ(requests()[0].size(), 532u);
    EXPECT_EQ(service().resets(), 0u);

    // The accessory's own refusal of a chunk: any other kind of answer is no acknowledgement.
    service().faults().add(Fault::replace({0xD1, 0x02, 0x00, 0x00}).on(0xE8).after(1));
    EXPECT_EQ(manager.upgradeFirmwareWithImage(image.data(), 1000, nullptr), HVManagerStatusFailed);
    EXPECT_EQ(requests().size(), 3u);
}

TEST_P(FirmwareTest, DelegatesWithoutTheProgressOperationAndNoDelegate) {
    const Bytes image = imageOf(700, "4.0");
    Silent silent;
    EXPECT_EQ(manager.upgradeFirmwareWithImage(image.data(), 700, &silent), HVManagerStatusSuccess);
    EXPECT_EQ(attachedRevision(), "4.0");
    const Bytes next = imageOf(700, "4.1");
    EXPECT_EQ(manager.upgradeFirmwareWithImage(next.data(), 700, nullptr), HVManagerStatusSuccess);
    EXPECT_EQ(attachedRevision(), "4.1");
    EXPECT_EQ(requests().size(), 6u);
    EXPECT_EQ(manager.upgradeFirmwareWithImage(nullptr, 700, nullptr), HVManagerStatusEncodeFailed);
}

TEST_P(FirmwareTest, DetachingDuringTheChunksEndsTheUpgradeAtOnce) {
    // The third chunk is never acknowledged; the case goes away while the upgrade waits.
    service().faults().add(Fault::drop().on(0xE8).after(2));
    detachAfterRequests(3);
    const Bytes image = imageOf(4096);
    Progress progress;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(manager.upgradeFirmwareWithImage(image.data(), 4096, &progress),
              HVManagerStatusFailed);
    EXPECT_LT(msSince(t0), 2500) << "the 3 s chunk time-out was waited out";
    EXPECT_EQ(progress.values().size(), 3u);
    EXPECT_EQ(service().resets(), 0u);
}

TEST_P(FirmwareTest, TheResetWaitKeepsTheMainLoopTurningOnItsThread) {
    const Bytes image = imageOf(1000, "5.0");
    std::atomic<bool> done{false};
    HVManagerStatus result = HVManagerStatusFailed;
    platform::RunLoop::main().perform([&] {
        result = manager.upgradeFirmwareWithImage(image.data(), 1000, nullptr);
        done = true;
    });
    ASSERT_TRUE(runLoopUntil([&] { return done.load(); }, 20s));
    EXPECT_EQ(result, HVManagerStatusSuccess);
    EXPECT_EQ(attachedRevision(), "5.0");
}

TEST_P(FirmwareTest, AnUpgradeOnAnotherThreadSeesTheCaseComeBack) {
    const Bytes image = imageOf(1000, "6.0");
    std::atomic<bool> done{false};
    HVManagerStatus result = HVManagerStatusFailed;
    std::thread upgrader([&] {
        result = manager.upgradeFirmwareWithImage(image.data(), 1000, nullptr);
        done = true;
    });
    // Announcements reach the main thread only while its loop turns.
    const bool finished = runLoopUntil([&] { return done.load(); }, 20s);
    upgrader.join();
    ASSERT_TRUE(finished);
    EXPECT_EQ(result, HVManagerStatusSuccess);
    EXPECT_EQ(attachedRevision(), "6.0");
}

TEST_P(FirmwareTest, AConnectAnnouncedFromBeforeTheResetDoesNotEndItsWait) {
    // The case attaches and the upgrade starts at once: its connect announcement is still on
    // its way while the reset is waited for.
    TearDown();
    start(false);
    const Bytes image = imageOf(600, "7.0");
    EXPECT_EQ(manager.upgradeFirmwareWithImage(image.data(), 600, nullptr), HVManagerStatusSuccess);
    EXPECT_EQ(attachedRevision(), "7.0") << "success was reported before the case came back";
}

// Time-outs do not depend on the transport: these run in process only.
class FirmwareTimingTest : public FirmwareTest {};

TEST_P(FirmwareTimingTest, AnUnansweredChunkTimesOutAfterThreeSeconds) {
    service().faults().add(Fault::drop().on(0xE8).after(1));
    const Bytes image = imageOf(1000);
    Progress progress;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(manager.upgradeFirmwareWithImage(image.data(), 1000, &progress),
              HVManagerStatusFailed);
    const auto ms = msSince(t0);
    EXPECT_GE(ms, 3000);
    EXPECT_LT(ms, 3800);
    EXPECT_EQ(progress.values().size(), 2u);
    EXPECT_EQ(requests().size(), 2u) << "no reset after an unacknowledged chunk";
}

TEST_P(FirmwareTimingTest, ACaseThatDoesNotComeBackTimesOutAfterTenSeconds) {
    config.reattachAfterReset = false;
    restart(true);
    ScopedCapture capture;
    const Bytes image = imageOf(1000);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(manager.upgradeFirmwareWithImage(image.data(), 1000, nullptr), HVManagerStatusFailed);
    const auto ms = msSince(t0);
    EXPECT_GE(ms, 10000);
    EXPECT_LT(ms, 11500);
    EXPECT_EQ(requests().back(), (Bytes{0xCC, 0x00}));
    EXPECT_TRUE(capture.logger().contains("] Reset operation timed out."));
    EXPECT_FALSE(capture.logger().contains("] Reset operation completed."));
}

// A host that sees the case come back by its own means says so through the public operation;
// it ends the wait even where the platform keeps the connection ID across the reset.
TEST_P(FirmwareTimingTest, TheHostsOwnReconnectCallEndsTheResetWait) {
    config.reattachAfterReset = false;
    restart(true);
    ScopedCapture capture;
    const Bytes image = imageOf(600);
    std::atomic<bool> done{false};
    HVManagerStatus result = HVManagerStatusFailed;
    std::thread upgrader([&] {
        result = manager.upgradeFirmwareWithImage(image.data(), 600, nullptr);
        done = true;
    });
    const bool waiting = runLoopUntil(
        [&] { return capture.logger().contains("] Wait for reset operation to complete."); }, 5s);
    const auto t0 = std::chrono::steady_clock::now();
    manager.hvAccessoryDidConnect();
    const bool finished = runLoopUntil([&] { return done.load(); }, 15s);
    upgrader.join();
    ASSERT_TRUE(waiting);
    ASSERT_TRUE(finished);
    EXPECT_EQ(result, HVManagerStatusSuccess);
    EXPECT_LT(msSince(t0), 2000);
    // Outside a reset wait the call does nothing.
    manager.hvAccessoryDidConnect();
}

HV_CASE_BACKENDS(FirmwareTest);
INSTANTIATE_TEST_SUITE_P(Backends, FirmwareTimingTest, ::testing::Values(CaseBackend::InProcess),
                         caseBackendName);

}  // namespace
}  // namespace hv::test
