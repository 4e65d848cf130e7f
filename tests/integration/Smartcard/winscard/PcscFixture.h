// The PC/SC interface against the simulated Vorasel case, as an application sees it: only the
// SCard* functions and the host API, over both transports of the accessory service (in
// process, and a socket to an accessory server speaking the daemon's wire). The case itself is
// driven from the test (cards, faults, attach and detach).
#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CaptureLogger.h"
#include "Platform/ExternalAccessory/EAAccessoryManager.h"
#include "Platform/Linux/SocketAccessoryProvider.h"
#include "Smartcard/IFDH/HVIFDH.h"
#include "Wait.h"
#include "vorasel/HVAccessory.h"
#include "vorasel/HVHost.h"
#include "vorasel/sim/AccessoryServer.h"
#include "vorasel/sim/CardCatalogue.h"
#include "vorasel/sim/InProcessLink.h"
#include "vorasel/sim/VoraselCase.h"
#include "vorasel/winscard.h"

namespace hv::test::pcsc {

using namespace std::chrono_literals;
using sim::Bytes;

enum class Backend { InProcess, Socket };

inline std::string backendName(const ::testing::TestParamInfo<Backend> &info) {
    return info.param == Backend::InProcess ? "InProcess" : "Socket";
}

// ECHO (INS EE) of n bytes with Le: the card answers the data and 90 00. Extended lengths
// above 255 bytes.
inline Bytes echoApdu(size_t n, uint8_t seed = 1) {
    Bytes apdu = {0x00, 0xEE, 0x00, 0x00};
    const bool extended = n > 255;
    if (extended)
        apdu.insert(apdu.end(), {0x00, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
    else
        apdu.push_back(static_cast<uint8_t>(n));
    for (size_t i = 0; i < n; ++i)
        apdu.push_back(static_cast<uint8_t>(seed + i * 3));
    if (extended)
        apdu.insert(apdu.end(), {0x00, 0x00});
    else
        apdu.push_back(0x00);
    return apdu;
}

// The response ECHO should give: the data, then 90 00.
inline Bytes echoed(const Bytes &apdu) {
    const bool extended = apdu[4] == 0 && apdu.size() > 7;
    const size_t start = extended ? 7 : 5;
    const size_t end = apdu.size() - (extended ? 2 : 1);
    Bytes out(apdu.begin() + static_cast<ptrdiff_t>(start),
              apdu.begin() + static_cast<ptrdiff_t>(end));
    out.insert(out.end(), {0x90, 0x00});
    return out;
}

struct Response {
    LONG rv;
    Bytes data;
};

class PcscTest : public ::testing::TestWithParam<Backend> {
protected:
    virtual sim::VoraselCaseConfig caseConfig() {
        sim::VoraselCaseConfig config;
        config.reader.muteTimeout = std::chrono::milliseconds(5);
        return config;
    }

    void SetUp() override {
        HVHost::setOperatingSystemVersion("17.2");
        HVHost::setSupportedAccessoryProtocols({"com.vorasel.sensor", "com.vorasel.ccidcontrol",
                                                "com.vorasel.ccidbulk", "com.vorasel.ccidinterrupt",
                                                "com.vorasel.trace", "com.vorasel.manager"});
        // The driver listens for the accessory from its creation on.
        HVIFDH::sharedInstance();
        kase = std::make_unique<sim::VoraselCase>(caseConfig());
        attachCase();
    }

    void TearDown() override {
        for (SCARDCONTEXT c : contexts)
            SCardReleaseContext(c);
        contexts.clear();
        detachCase();
        kase.reset();
    }

    bool inProcess() const { return GetParam() == Backend::InProcess; }

    // Attaches the case and waits until the reader driver has heard of it.
    void attachCase() {
        if (inProcess()) {
            sim::inprocess::connect(kase->sharedAccessory());
            kase->accessory().attach();
        } else {
            socketPath = "/tmp/hv-pcsc-" + std::to_string(::getpid()) + ".sock";
            server = std::make_unique<sim::AccessoryServer>(socketPath);
            ASSERT_TRUE(server->start());
            server->addAccessory(kase->sharedAccessory());
            kase->accessory().attach();
            auto &manager = platform::EAAccessoryManager::sharedAccessoryManager();
            provider = platform::SocketAccessoryProvider::connect(socketPath, manager);
            ASSERT_NE(provider, nullptr);
            manager.setProvider(provider);
        }
        ASSERT_TRUE(waitUntil([] {
            return HVAccessory::sharedClass().isConnected() &&
                   (HVIFDH::sharedInstance().accessory_state() & HVIFDHAccessoryPresent);
        }));
    }

    // Detaches the case and waits until the reader driver has let go of it, so that nothing
    // of this test reaches the next one.
    void detachCase() {
        if (inProcess()) {
            sim::inprocess::disconnect(kase->sharedAccessory());
        } else {
            if (provider) provider->stop();
            platform::EAAccessoryManager::sharedAccessoryManager().setProvider(nullptr);
            if (server) server->stop();
            provider.reset();
            server.reset();
        }
        EXPECT_TRUE(waitUntil([] {
            return !HVAccessory::sharedClass().isConnected() &&
                   HVIFDH::sharedInstance().accessory_state() == 0;
        }));
    }

    SCARDCONTEXT establish(LPCVOID reserved = nullptr) {
        SCARDCONTEXT c = 0;
        EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, reserved, nullptr, &c),
                  SCARD_S_SUCCESS);
        if (c) contexts.push_back(c);
        return c;
    }
    void release(SCARDCONTEXT c) {
        EXPECT_EQ(SCardReleaseContext(c), SCARD_S_SUCCESS);
        std::erase(contexts, c);
    }

    // One SCardGetStatusChange from `current`.
    LONG statusChange(SCARDCONTEXT c, DWORD timeout, DWORD current, SCARD_READERSTATE *out) {
        *out = SCARD_READERSTATE{};
        out->szReader = sc_reader_name;
        out->dwCurrentState = current;
        return SCardGetStatusChange(c, timeout, out, 1);
    }
    // The reader state as SCardGetStatusChange reports it right now.
    DWORD readerState(SCARDCONTEXT c) {
        SCARD_READERSTATE s;
        const LONG rv = statusChange(c, 0, SCARD_STATE_UNAWARE, &s);
        return rv == SCARD_S_SUCCESS ? s.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED)
                                     : 0;
    }
    // Waits until the reader state has all of `bits`.
    bool waitForState(SCARDCONTEXT c, DWORD bits, std::chrono::milliseconds timeout = 5s) {
        return waitUntil([&] { return (readerState(c) & bits) == bits; }, timeout);
    }

    std::shared_ptr<sim::VirtualCard> insert(const std::string &kind) {
        auto card = sim::makeCard(kind);
        kase->insertCard(card);
        return card;
    }

    // A context, a card of this kind seen in the reader, and a connection to it.
    SCARDHANDLE connectTo(const std::string &kind,
                          DWORD preferred = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1) {
        card = insert(kind);
        if (!context) context = establish();
        EXPECT_TRUE(waitForState(context, SCARD_STATE_PRESENT));
        SCARDHANDLE h = 0;
        EXPECT_EQ(
            SCardConnect(context, sc_reader_name, SCARD_SHARE_SHARED, preferred, &h, &protocol),
            SCARD_S_SUCCESS);
        return h;
    }

    const SCARD_IO_REQUEST *pci() const {
        return protocol == SCARD_PROTOCOL_T0   ? SCARD_PCI_T0
               : protocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1
                                               : SCARD_PCI_RAW;
    }

    Response transmit(SCARDHANDLE h, const Bytes &apdu, DWORD room = 70000) {
        Response r{0, Bytes(room)};
        DWORD length = room;
        r.rv = SCardTransmit(h, pci(), apdu.data(), static_cast<DWORD>(apdu.size()), nullptr,
                             r.data.data(), &length);
        r.data.resize(r.rv == SCARD_S_SUCCESS ? length : 0);
        return r;
    }

    // Commands the reader received on the bulk pipe, by bMessageType.
    size_t commandsOfType(uint8_t type) {
        size_t n = 0;
        for (const auto &e : kase->recorder().select("ccidbulk", sim::Direction::Received))
            if (!e.bytes.empty() && e.bytes[0] == type) ++n;
        return n;
    }

    std::unique_ptr<sim::VoraselCase> kase;
    std::shared_ptr<sim::VirtualCard> card;
    std::vector<SCARDCONTEXT> contexts;
    SCARDCONTEXT context = 0;
    DWORD protocol = 0;
    std::string socketPath;
    std::unique_ptr<sim::AccessoryServer> server;
    std::shared_ptr<platform::SocketAccessoryProvider> provider;
};

#define HV_PCSC_BACKENDS(suite)               \
    INSTANTIATE_TEST_SUITE_P(Backends, suite, \
                             ::testing::Values(Backend::InProcess, Backend::Socket), backendName)

}  // namespace hv::test::pcsc
