// A simulated accessory connected in process, with a loopback device on every protocol, and the
// session registry torn down after each test.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "Accessory/HVSessionProtocolDriver.h"
#include "CaptureLogger.h"
#include "Platform/ExternalAccessory/EAAccessoryManager.h"
#include "Platform/Linux/SocketAccessoryProvider.h"
#include "SessionReceiver.h"
#include "Wait.h"
#include "vorasel/sim/AccessoryServer.h"
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

// The same contract holds over both transports of the accessory service.
enum class Backend { InProcess, Socket };

inline std::string backendName(const ::testing::TestParamInfo<Backend> &info) {
    return info.param == Backend::InProcess ? "InProcess" : "Socket";
}

class TransportTest : public ::testing::TestWithParam<Backend> {
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
        if (GetParam() == Backend::InProcess) {
            sim::inprocess::connect(accessory);
            accessory->attach();
        } else {
            socketPath = "/tmp/hv-transport-" + std::to_string(::getpid()) + ".sock";
            server = std::make_unique<sim::AccessoryServer>(socketPath);
            ASSERT_TRUE(server->start());
            server->addAccessory(accessory);
            accessory->attach();
            auto &manager = platform::EAAccessoryManager::sharedAccessoryManager();
            provider = platform::SocketAccessoryProvider::connect(socketPath, manager);
            ASSERT_NE(provider, nullptr);
            manager.setProvider(provider);
            ASSERT_FALSE(manager.connectedAccessories().empty());
        }
        for (int p = 0; p < 7; ++p)
            SessionReceiver::of(p).clear();
    }

    bool inProcess() const { return GetParam() == Backend::InProcess; }

    void TearDown() override {
        auto &registry = HVSessionProtocolDriver::sharedClass();
        for (int p = 0; p < 6; ++p)
            if (registry.sessionForProtocol(p)) registry.endSessionWithProtocol(p);
        if (inProcess()) {
            sim::inprocess::disconnect(accessory);
        } else {
            if (provider) provider->stop();
            platform::EAAccessoryManager::sharedAccessoryManager().setProvider(nullptr);
            if (server) server->stop();
        }
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
    std::string socketPath;
    std::unique_ptr<sim::AccessoryServer> server;
    std::shared_ptr<platform::SocketAccessoryProvider> provider;
};

#define HV_TRANSPORT_BACKENDS(suite)          \
    INSTANTIATE_TEST_SUITE_P(Backends, suite, \
                             ::testing::Values(Backend::InProcess, Backend::Socket), backendName)

inline std::vector<uint8_t> pattern(size_t n, uint8_t seed = 0) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return v;
}

}  // namespace hv::test
