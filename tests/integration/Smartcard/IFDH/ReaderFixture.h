// The reader driver against the simulated Vorasel case, over both transports of the accessory
// service: in process, and a socket to an accessory server (the daemon's wire).
#pragma once

#include <unistd.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Accessory/HVSessionProtocolDriver.h"
#include "CaptureLogger.h"
#include "EventRecorder.h"
#include "Platform/ExternalAccessory/EAAccessoryManager.h"
#include "Platform/Linux/SocketAccessoryProvider.h"
#include "Smartcard/IFDH/HVIFDH.h"
#include "Wait.h"
#include "vorasel/sim/AccessoryServer.h"
#include "vorasel/sim/CardCatalogue.h"
#include "vorasel/sim/Ccid.h"
#include "vorasel/sim/InProcessLink.h"
#include "vorasel/sim/VoraselCase.h"

namespace hv::test {

using sim::Bytes;

enum class Backend { InProcess, Socket };

inline std::string backendName(const ::testing::TestParamInfo<Backend> &info) {
    return info.param == Backend::InProcess ? "InProcess" : "Socket";
}

class ReaderTest : public ::testing::TestWithParam<Backend> {
protected:
    // Tests may change the case before SetUp builds it.
    virtual sim::VoraselCaseConfig caseConfig() {
        sim::VoraselCaseConfig config;
        config.reader.muteTimeout = std::chrono::milliseconds(5);
        return config;
    }

    void SetUp() override {
        // The driver (and with it the accessory's announcements) exists before the case
        // attaches, so every test sees the attach announced.
        driver().registerEventCallback(EventRecorder::callback);
        EventRecorder::shared().clear();
        kase = std::make_unique<sim::VoraselCase>(caseConfig());
        connectCase();
    }

    void TearDown() override {
        driver().close();
        driver().unregisterEventCallback();
        driver().setAuto_power_on(false);
        disconnectCase();
        kase.reset();
        EventRecorder::shared().clear();
    }

    void connectCase() {
        if (GetParam() == Backend::InProcess) {
            sim::inprocess::connect(kase->sharedAccessory());
            kase->accessory().attach();
            return;
        }
        socketPath = "/tmp/hv-ifdh-" + std::to_string(::getpid()) + ".sock";
        server = std::make_unique<sim::AccessoryServer>(socketPath);
        ASSERT_TRUE(server->start());
        server->addAccessory(kase->sharedAccessory());
        kase->accessory().attach();
        auto &manager = platform::EAAccessoryManager::sharedAccessoryManager();
        provider = platform::SocketAccessoryProvider::connect(socketPath, manager);
        ASSERT_NE(provider, nullptr);
        manager.setProvider(provider);
        ASSERT_FALSE(manager.connectedAccessories().empty());
    }

    void disconnectCase() {
        if (GetParam() == Backend::InProcess) {
            sim::inprocess::disconnect(kase->sharedAccessory());
        } else {
            if (provider) provider->stop();
            platform::EAAccessoryManager::sharedAccessoryManager().setProvider(nullptr);
            if (server) server->stop();
            provider.reset();
            server.reset();
        }
    }

    bool inProcess() const { return GetParam() == Backend::InProcess; }
    static HVIFDH &driver() { return HVIFDH::sharedInstance(); }
    sim::CcidReader &reader() { return kase->reader(); }
    sim::WireRecorder &wire() { return kase->recorder(); }

    // Commands the reader received on the bulk pipe, in order.
    std::vector<Bytes> commands() {
        std::vector<Bytes> out;
        for (const auto &e : wire().select("ccidbulk", sim::Direction::Received))
            out.push_back(e.bytes);
        return out;
    }
    std::vector<Bytes> commandsOfType(uint8_t type) {
        std::vector<Bytes> out;
        for (auto &c : commands())
            if (!c.empty() && c[0] == type) out.push_back(c);
        return out;
    }

    // Opens the driver on the empty reader and waits for the reader's report of its empty
    // slot; the events recorded after that are the test's own.
    void openEmpty() {
        EXPECT_EQ(driver().open(), HVIFDHStatusSuccess);
        EXPECT_TRUE(EventRecorder::shared().waitFor(HVIFDHEventCardRemoved));
        EventRecorder::shared().clear();
    }
    // Opens the driver, inserts a card of this kind and waits until the driver has seen it.
    std::shared_ptr<sim::VirtualCard> openWithCard(const std::string &kind) {
        return openWithCard(sim::makeCard(kind));
    }
    std::shared_ptr<sim::VirtualCard> openWithCard(std::shared_ptr<sim::VirtualCard> card) {
        openEmpty();
        kase->insertCard(card);
        EXPECT_TRUE(EventRecorder::shared().waitFor(HVIFDHEventCardInserted));
        return card;
    }
    // Card in, powered, protocol set: ready for APDUs.
    std::shared_ptr<sim::VirtualCard> ready(std::shared_ptr<sim::VirtualCard> card,
                                            uint8_t protocol) {
        openWithCard(card);
        EXPECT_EQ(driver().powerOnICC(), HVIFDHStatusSuccess);
        EXPECT_EQ(driver().setProtocolParameters(protocol, 0, 0, 0, 0), HVIFDHStatusSuccess);
        return card;
    }
    std::shared_ptr<sim::VirtualCard> ready(const std::string &kind, uint8_t protocol) {
        return ready(sim::makeCard(kind), protocol);
    }

    // One APDU; the response copied out, or the driver's result.
    struct Answer {
        HVIFDHStatus status;
        Bytes response;
    };
    Answer transmit(const Bytes &apdu, uint32_t protocol) {
        const uint8_t *rsp = nullptr;
        uint32_t len = 0;
        const HVIFDHStatus s = driver().transmitToICC(
            apdu.data(), static_cast<uint32_t>(apdu.size()), protocol, &rsp, &len);
        Answer a{s, {}};
        if (s == HVIFDHStatusSuccess) a.response.assign(rsp, rsp + len);
        return a;
    }

    std::unique_ptr<sim::VoraselCase> kase;
    std::string socketPath;
    std::unique_ptr<sim::AccessoryServer> server;
    std::shared_ptr<platform::SocketAccessoryProvider> provider;
};

#define HV_READER_BACKENDS(suite)             \
    INSTANTIATE_TEST_SUITE_P(Backends, suite, \
                             ::testing::Values(Backend::InProcess, Backend::Socket), backendName)

// ECHO (INS EE) of n counting bytes, with Le.
inline Bytes echoApdu(size_t n) {
    Bytes apdu = {0x00, 0xEE, 0x00, 0x00};
    if (n == 0) {
        apdu.push_back(0x00);
        return apdu;
    }
    if (n <= 255) {
        apdu.push_back(static_cast<uint8_t>(n));
    } else {
        apdu.insert(apdu.end(), {0x00, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
    }
    for (size_t i = 0; i < n; ++i)
        apdu.push_back(static_cast<uint8_t>(i * 3 + 1));
    if (n <= 255)
        apdu.push_back(0x00);
    else
        apdu.insert(apdu.end(), {0x00, 0x00});
    return apdu;
}

}  // namespace hv::test
