#include "TransportFixture.h"

using namespace hv::test;

namespace {

// Reads and discards everything, counting.
class SinkDevice final : public hv::sim::Device {
  public:
    ~SinkDevice() override { powerLost(); }
    void attachPort(std::shared_ptr<hv::sim::SessionPort> port) override {
        std::lock_guard lock(mutex_);
        ports_.push_back(port);
        threads_.emplace_back([this, port] {
            uint8_t buf[4096];
            for (;;) {
                const auto n =
                    port->read(buf, sizeof buf, hv::sim::Clock::now() + std::chrono::seconds(1));
                if (n < 0) return;
                consumed += static_cast<size_t>(n);
            }
        });
    }
    void powerLost() override {
        std::vector<std::thread> threads;
        {
            std::lock_guard lock(mutex_);
            for (auto &p : ports_)
                p->close();
            threads.swap(threads_);
        }
        for (auto &t : threads)
            t.join();
    }
    std::atomic<size_t> consumed{0};

  private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<hv::sim::SessionPort>> ports_;
    std::vector<std::thread> threads_;
};
}  // namespace
// Back-to-back maximal writes against a device that drains the pipe as fast as it can: every
// write must eventually be taken (a lost space event would stall the writer for good).
TEST_P(TransportTest, BackToBackLargeWritesToADrainingDeviceNeverStall) {
    auto sink = std::make_shared<SinkDevice>();
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
    EXPECT_TRUE(waitUntil([&] { return sink->consumed.load() == sent; }, std::chrono::seconds(20)));
}
