#include "TransportFixture.h"
#include "vorasel/sim/SinkDevice.h"

using namespace hv::test;

// Back-to-back maximal writes against a device that drains the pipe as fast as it can: every
// write must eventually be taken (a lost space event would stall the writer for good).
TEST_P(TransportTest, BackToBackLargeWritesToADrainingDeviceNeverStall) {
    auto sink = std::make_shared<hv::sim::SinkDevice>();
    accessory->addDevice(sink, {"sensor"});
    ASSERT_EQ(start(HVAccessoryProtocolSensor), HVSessionStatusSuccess);
    const std::vector<uint8_t> block(65535, 0x5A);
    constexpr size_t kTotal = 8u << 20;
    size_t sent = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (sent < kTotal && std::chrono::steady_clock::now() < deadline) {
        if (write(HVAccessoryProtocolSensor, block) == HVSessionStatusSuccess)
            sent += block.size();
        else
            hv::platform::RunLoop::current().runUntil(std::chrono::steady_clock::now() +
                                                      std::chrono::microseconds(100));
    }
    ASSERT_GE(sent, kTotal);
    EXPECT_TRUE(waitUntil([&] { return sink->consumed() == sent; }, std::chrono::seconds(20)));
}
