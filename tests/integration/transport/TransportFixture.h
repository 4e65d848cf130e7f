// A simulated accessory connected in process, with a loopback device on every protocol, and the
// session registry torn down after each test.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "Accessory/HVSessionProtocolDriver.h"
#include "CaptureLogger.h"
#include "SessionReceiver.h"
#include "Wait.h"
#include "vorasel/sim/EchoDevice.h"
#include "vorasel/sim/InProcessLink.h"
#include "vorasel/sim/SimAccessory.h"

namespace hv::test {

// A device that only keeps the ports, so that a test writes as the accessory.
class HeldPortDevice final : public sim::Device {
  public:
    void attachPort(std::shared_ptr<sim::SessionPort> port) override {
        std::lock_guard lock(mutex_);
        ports_.push_back(std::move(port));
    }
    void powerLost() override {
        std::lock_guard lock(mutex_);
        for (auto &p : ports_)
            p->close();
    }
    std::shared_ptr<sim::SessionPort> latest() {
        std::lock_guard lock(mutex_);
        return ports_.empty() ? nullptr : ports_.back();
    }

  private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<sim::SessionPort>> ports_;
};

class TransportTest : public ::testing::Test {
  protected:
    static constexpr const char *kAllProtocols[] = {"sensor",        "ccidcontrol", "ccidbulk",
                                                    "ccidinterrupt", "trace",       "manager"};

    void SetUp() override {
        sim::AccessoryIdentity identity;
        identity.protocols.assign(std::begin(kAllProtocols), std::end(kAllProtocols));
        accessory = sim::SimAccessory::create(identity);
        echo = std::make_shared<sim::EchoDevice>();
        accessory->addDevice(echo, {"ccidbulk", "manager", "trace"});
        held = std::make_shared<HeldPortDevice>();
        accessory->addDevice(held, {"ccidinterrupt", "sensor", "ccidcontrol"});
        sim::inprocess::connect(accessory);
        accessory->attach();
        for (int p = 0; p < 6; ++p)
            SessionReceiver::of(p).clear();
    }

    void TearDown() override {
        auto &registry = HVSessionProtocolDriver::sharedClass();
        for (int p = 0; p < 6; ++p)
            if (registry.sessionForProtocol(p)) registry.endSessionWithProtocol(p);
        sim::inprocess::disconnect(accessory);
        echo->powerLost();
        held->powerLost();
    }

    HVSessionStatus start(int protocol) {
        return HVSessionProtocolDriver::sharedClass().startSessionWithProtocol(
            protocol, SessionReceiver::callback(protocol));
    }
    HVSessionStatus write(int protocol, const std::vector<uint8_t> &bytes) {
        return HVSessionProtocolDriver::sharedClass().writeData(
            bytes.data(), static_cast<uint16_t>(bytes.size()), protocol);
    }
    SessionReceiver &received(int protocol) { return SessionReceiver::of(protocol); }

    std::shared_ptr<sim::SimAccessory> accessory;
    std::shared_ptr<sim::EchoDevice> echo;
    std::shared_ptr<HeldPortDevice> held;
};

inline std::vector<uint8_t> pattern(size_t n, uint8_t seed = 0) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return v;
}

}  // namespace hv::test
