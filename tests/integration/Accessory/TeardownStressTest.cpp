// Sessions torn down while the case's devices are still at work on them, round after round,
// over both transports and beside a CPU hog: a device thread must never reach a session that
// has been freed (the sanitizer builds report it when one does).
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Accessory/HVSessionProtocolDriver.h"
#include "AccessoryLink.h"
#include "Wait.h"
#include "vorasel/sim/PortThreads.h"
#include "vorasel/sim/VoraselCase.h"

namespace {

using hv::test::AccessoryLink;
using Transport = AccessoryLink::Transport;
using Bytes = std::vector<uint8_t>;

// Keeps one CPU busy, as another process would.
class CpuHog {
public:
    CpuHog()
        : thread_([this] {
              while (!stop_.load(std::memory_order_relaxed)) {
              }
          }) {}
    ~CpuHog() {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Streams to the host until its session ends, on threads it joins only when it goes (as the
// case's reader and management service do).
class StreamingDevice final : public hv::sim::Device {
public:
    void attachPort(std::shared_ptr<hv::sim::SessionPort> port) override {
        threads_.start(std::move(port), [](const std::shared_ptr<hv::sim::SessionPort> &p) {
            const uint8_t chunk[8] = {};
            while (p->write(chunk, sizeof chunk)) {
            }
        });
    }
    void powerLost() override { threads_.closeAll(); }

private:
    hv::sim::PortThreads threads_;
};

std::atomic<size_t> received[6];
template <int Protocol>
void receive(uint8_t *, uint16_t length) {
    received[Protocol] += length;
}
constexpr HVSessionReceiveCallback kReceivers[6] = {receive<0>, receive<1>, receive<2>,
                                                    receive<3>, receive<4>, receive<5>};

Bytes repeated(const Bytes &message, size_t times) {
    Bytes out;
    for (size_t i = 0; i < times; ++i)
        out.insert(out.end(), message.begin(), message.end());
    return out;
}

class TeardownStress : public ::testing::TestWithParam<Transport> {};

bool hostFirst(int round) {
    return round % 2 == 0;
}

TEST_P(TeardownStress, SessionsEndWhileTheDevicesAreStillAtWork) {
    auto &registry = HVSessionProtocolDriver::sharedClass();
    // get_capabilities, and PC_to_RDR_GetSlotStatus: more than the devices answer at once.
    const Bytes capabilities = repeated({0xDE, 0x00}, 200);
    const Bytes slotStatus = repeated({0x65, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 40);
    const int protocols[] = {HVAccessoryProtocolSensor, HVAccessoryProtocolCCIDBulk,
                             HVAccessoryProtocolCCIDInterrupt, HVAccessoryProtocolTrace,
                             HVAccessoryProtocolManager};
    CpuHog hog;
    const int rounds = GetParam() == Transport::InProcess ? 40 : 30;
    for (int round = 0; round < rounds; ++round) {
        hv::sim::VoraselCaseConfig config;
        config.identity.protocols = {"sensor", "ccidbulk", "ccidinterrupt", "trace", "manager"};
        auto kase = std::make_unique<hv::sim::VoraselCase>(config);
        kase->accessory().addDevice(std::make_shared<StreamingDevice>(), {"sensor", "trace"});
        {
            AccessoryLink link(GetParam(), kase->sharedAccessory(), "teardown-stress");
            ASSERT_TRUE(link.connect());
            for (auto &r : received)
                r = 0;
            for (int p : protocols)
                ASSERT_EQ(registry.startSessionWithProtocol(p, kReceivers[p]),
                          HVSessionStatusSuccess)
                    << "protocol " << p << ", round " << round;
            registry.writeData(capabilities.data(), static_cast<uint16_t>(capabilities.size()),
                               HVAccessoryProtocolManager);
            registry.writeData(slotStatus.data(), static_cast<uint16_t>(slotStatus.size()),
                               HVAccessoryProtocolCCIDBulk);
            ASSERT_TRUE(hv::test::waitUntil([&] {
                return received[HVAccessoryProtocolTrace] > 0 &&
                       received[HVAccessoryProtocolManager] > 0;
            })) << "round "
                << round;
            // Either the host lets go first, or the case leaves under it; then the case goes
            // while its devices still drain, answer and stream.
            if (hostFirst(round))
                for (int p : protocols)
                    registry.endSessionWithProtocol(p);
        }
        kase.reset();
        for (int p : protocols)
            if (registry.sessionForProtocol(p)) registry.endSessionWithProtocol(p);
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, TeardownStress,
                         ::testing::Values(Transport::InProcess, Transport::Socket),
                         [](const auto &info) {
                             return info.param == Transport::InProcess ? "InProcess" : "Socket";
                         });

}  // namespace
