// The simulated Vorasel case reached over each transport of the accessory service (in process,
// and through the accessory daemon's socket), for the management tests.
#pragma once

#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Platform/ExternalAccessory/EAAccessoryManager.h"
#include "Platform/Linux/SocketAccessoryProvider.h"
#include "Wait.h"
#include "vorasel/HVAccessory.h"
#include "vorasel/sim/AccessoryServer.h"
#include "vorasel/sim/InProcessLink.h"
#include "vorasel/sim/VoraselCase.h"

namespace hv::test {

enum class CaseBackend { InProcess, Socket };

inline std::string caseBackendName(const ::testing::TestParamInfo<CaseBackend> &info) {
    return info.param == CaseBackend::InProcess ? "InProcess" : "Socket";
}

using Bytes = std::vector<uint8_t>;

class CaseTest : public ::testing::TestWithParam<CaseBackend> {
protected:
    // The configuration of the next start(); tests change it and call restart().
    sim::VoraselCaseConfig config = defaultConfig();

    static sim::VoraselCaseConfig defaultConfig() {
        sim::VoraselCaseConfig c;
        c.management.counters = {{"power_cycles", 3}, {"card_insertions", 41}};
        c.management.gpio = {{1, 0x00F0, 0x00FF}, {2, 0x0000, 0xFFFF}};
        c.management.properties = {{"serial_number", "SIM-0042"}, {"colour", "blue"}};
        c.management.capabilities = 3;
        c.reattachDelay = std::chrono::milliseconds(200);
        return c;
    }

    void SetUp() override { start(); }

    void restart(bool settle = false) {
        TearDown();
        start(settle);
    }

    // Makes the case and attaches it; with settle, waits until HVAccessory has announced it.
    void start(bool settle = false) {
        simCase = std::make_unique<sim::VoraselCase>(config);
        if (inProcess()) {
            sim::inprocess::connect(simCase->sharedAccessory());
            simCase->accessory().attach();
        } else {
            socketPath = "/tmp/hv-management-" + std::to_string(::getpid()) + ".sock";
            server = std::make_unique<sim::AccessoryServer>(socketPath);
            ASSERT_TRUE(server->start());
            server->addAccessory(simCase->sharedAccessory());
            simCase->accessory().attach();
            auto &manager = platform::EAAccessoryManager::sharedAccessoryManager();
            provider = platform::SocketAccessoryProvider::connect(socketPath, manager);
            ASSERT_NE(provider, nullptr);
            manager.setProvider(provider);
            ASSERT_FALSE(manager.connectedAccessories().empty());
        }
        if (settle) {
            ASSERT_TRUE(runLoopUntil([] { return HVAccessory::sharedClass().isConnected(); }));
        }
    }

    void TearDown() override {
        if (detacher_.joinable()) detacher_.join();
        if (!simCase) return;
        if (inProcess()) {
            sim::inprocess::disconnect(simCase->sharedAccessory());
        } else {
            if (provider) provider->stop();
            platform::EAAccessoryManager::sharedAccessoryManager().setProvider(nullptr);
            if (server) server->stop();
            server.reset();
            provider.reset();
        }
        simCase->accessory().detach();
        // Leave HVAccessory settled on "detached" for the next test.
        EXPECT_TRUE(runLoopUntil([] { return !HVAccessory::sharedClass().isConnected(); }));
        simCase.reset();
    }

    bool inProcess() const { return GetParam() == CaseBackend::InProcess; }
    sim::ManagementService &service() { return simCase->management(); }
    sim::WireRecorder &wire() { return simCase->recorder(); }

    // What the case received on the management protocol, one message per entry.
    std::vector<Bytes> requests() {
        std::vector<Bytes> out;
        for (const auto &e : wire().select("manager", sim::Direction::Received))
            out.push_back(e.bytes);
        return out;
    }
    size_t managerSessions() { return simCase->accessory().sessionsOpened("manager"); }

    // Session faults of the management protocol.
    void refuseSessions(int times = -1) {
        auto lock = simCase->accessory().lock();
        simCase->accessory().faults("manager").refuse = sim::FaultCount{times};
    }

    // Detaches the case once it has received `n` management requests.
    void detachAfterRequests(size_t n) {
        detacher_ = std::thread([this, n] {
            if (wire().waitFor("manager", sim::Direction::Received, n, std::chrono::seconds(10)))
                simCase->accessory().detach();
        });
    }

    std::thread detacher_;
    std::unique_ptr<sim::VoraselCase> simCase;
    std::string socketPath;
    std::unique_ptr<sim::AccessoryServer> server;
    std::shared_ptr<platform::SocketAccessoryProvider> provider;
};

#define HV_CASE_BACKENDS(suite)                                                              \
    INSTANTIATE_TEST_SUITE_P(Backends, suite,                                                \
                             ::testing::Values(CaseBackend::InProcess, CaseBackend::Socket), \
                             caseBackendName)

// Milliseconds since `t0`.
inline long long msSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 t0)
        .count();
}

}  // namespace hv::test
