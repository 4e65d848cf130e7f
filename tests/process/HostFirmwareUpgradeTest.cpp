// A host that turns the main loop itself upgrades the firmware from that very thread: the
// reset wait keeps the loop turning, so the case's return is announced and seen.
#include <chrono>
#include <vector>

#include <gtest/gtest.h>

#include "Wait.h"
#include "vorasel/EAAccessory.h"
#include "vorasel/HVAccessory.h"
#include "vorasel/HVHost.h"
#include "vorasel/HVManager.h"
#include "vorasel/sim/FirmwareReceiver.h"
#include "vorasel/sim/InProcessLink.h"
#include "vorasel/sim/VoraselCase.h"

using namespace std::chrono_literals;

TEST(HostMainLoop, AFirmwareUpgradeOnTheHostsMainThreadSeesTheCaseComeBack) {
    ASSERT_TRUE(HVHost::isMainThread());
    hv::sim::VoraselCaseConfig config;
    config.reattachDelay = 200ms;
    hv::sim::VoraselCase simCase(config);
    HVAccessory &accessory = HVAccessory::sharedClass();
    hv::sim::inprocess::connect(simCase.sharedAccessory());
    simCase.accessory().attach();
    ASSERT_TRUE(hv::test::runLoopUntil([&] { return accessory.isConnected(); }));

    const std::vector<uint8_t> payload(990, 0x42);
    const auto image = hv::sim::FirmwareReceiver::makeImage("8.0", payload);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(HVManager::sharedClass().upgradeFirmwareWithImage(
                  image.data(), static_cast<uint32_t>(image.size()), nullptr),
              HVManagerStatusSuccess);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s) << "the reset wait ran out";
    auto attached = accessory.getAccessory();
    ASSERT_NE(attached, nullptr);
    EXPECT_EQ(attached->firmwareRevision(), "8.0");

    hv::sim::inprocess::disconnect(simCase.sharedAccessory());
    EXPECT_TRUE(hv::test::runLoopUntil([&] { return !accessory.isConnected(); }));
}
