// PC/SC applications against a real vorasel-accessoryd that dies, stops or restarts under
// them. Each case has a deadline and says what the application sees.
#include <gtest/gtest.h>

#include <future>

#include "Platform/ExternalAccessory/EAAccessoryManager.h"
#include "Platform/Linux/SocketAccessoryProvider.h"
#include "Smartcard/IFDH/HVIFDH.h"
#include "TransportProcess.h"
#include "Wait.h"
#include "vorasel/HVHost.h"
#include "vorasel/winscard.h"

namespace hv::test::transport {
namespace {

using namespace std::chrono_literals;
using platform::EAAccessoryManager;
using platform::SocketAccessoryProvider;
using Clock = std::chrono::steady_clock;

// ECHO of four bytes: the card answers them and 90 00.
const BYTE kEcho[] = {0x00, 0xEE, 0x00, 0x00, 0x04, 1, 2, 3, 4, 0x00};

class DaemonFaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        daemon = std::make_unique<DaemonProcess>(socketPath);
        ASSERT_TRUE(daemon->start());
        ASSERT_TRUE(HVHost::useAccessoryDaemon(socketPath));
        context = establish();
        ASSERT_TRUE(waitForState(context, SCARD_STATE_PRESENT));
    }
    void TearDown() override {
        for (SCARDCONTEXT c : contexts)
            SCardReleaseContext(c);
        auto &manager = EAAccessoryManager::sharedAccessoryManager();
        if (auto p = std::dynamic_pointer_cast<SocketAccessoryProvider>(manager.provider())) {
            EXPECT_TRUE(finishesWithin(1s, [p] { p->stop(); }));
            manager.setProvider(nullptr);
        }
        if (daemon) daemon->kill(SIGKILL);
        EXPECT_TRUE(waitUntil([] { return HVIFDH::sharedInstance().accessory_state() == 0; }));
    }

    SCARDCONTEXT establish() {
        SCARDCONTEXT c = 0;
        EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &c), SCARD_S_SUCCESS);
        if (c) contexts.push_back(c);
        return c;
    }
    static DWORD readerState(SCARDCONTEXT c) {
        SCARD_READERSTATE s{};
        s.szReader = sc_reader_name;
        s.dwCurrentState = SCARD_STATE_UNAWARE;
        return SCardGetStatusChange(c, 0, &s, 1) == SCARD_S_SUCCESS
                   ? s.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED)
                   : 0;
    }
    static bool waitForState(SCARDCONTEXT c, DWORD bits, std::chrono::milliseconds limit = 5s) {
        return waitUntil([&] { return (readerState(c) & bits) == bits; }, limit);
    }
    SCARDHANDLE connect() {
        SCARDHANDLE h = 0;
        DWORD protocol = 0;
        EXPECT_EQ(SCardConnect(context, sc_reader_name, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &h,
                               &protocol),
                  SCARD_S_SUCCESS);
        return h;
    }
    static LONG transmit(SCARDHANDLE h) {
        BYTE rsp[64];
        DWORD len = sizeof rsp;
        return SCardTransmit(h, SCARD_PCI_T1, kEcho, sizeof kEcho, nullptr, rsp, &len);
    }

    ScratchDir dir;
    const std::string socketPath = dir.path("accessoryd.sock");
    std::unique_ptr<DaemonProcess> daemon;
    SCARDCONTEXT context = 0;
    std::vector<SCARDCONTEXT> contexts;
};

struct WaitResult {
    LONG rv;
    DWORD eventState;
};

// kill -9 while one client waits without a time-out and another holds a connection: the wait
// ends at once with the reader gone, the connection's calls fail, and nothing spins.
TEST_F(DaemonFaultTest, KilledDaemonEndsEveryWaiterAndLeavesTheCpuIdle) {
    const SCARDHANDLE h = connect();
    ASSERT_EQ(transmit(h), SCARD_S_SUCCESS);
    const SCARDCONTEXT waiting = establish();
    const DWORD seen = readerState(waiting);
    ASSERT_TRUE(seen & SCARD_STATE_PRESENT);
    std::promise<WaitResult> result;
    auto waited = result.get_future();
    std::thread waiter([&] {
        SCARD_READERSTATE s{};
        s.szReader = sc_reader_name;
        s.dwCurrentState = seen;
        const LONG rv = SCardGetStatusChange(waiting, INFINITE, &s, 1);
        result.set_value({rv, s.dwEventState});
    });

    const auto killedAt = Clock::now();
    daemon->kill(SIGKILL);
    ASSERT_EQ(waited.wait_for(2s), std::future_status::ready) << "the INFINITE wait did not end";
    const auto ended = Clock::now() - killedAt;
    waiter.join();
    const WaitResult r = waited.get();
    EXPECT_LT(ended, 1s);
    if (r.rv == SCARD_S_SUCCESS) {
        EXPECT_TRUE(r.eventState & SCARD_STATE_CHANGED);
        EXPECT_FALSE(r.eventState & SCARD_STATE_PRESENT);
    } else {
        EXPECT_TRUE(r.rv == SCARD_E_READER_UNAVAILABLE || r.rv == SCARD_E_UNKNOWN_READER ||
                    r.rv == SCARD_E_NO_READERS_AVAILABLE)
            << std::hex << r.rv;
    }

    LONG rv = SCARD_S_SUCCESS;
    EXPECT_TRUE(finishesWithin(2s, [&] { rv = transmit(h); }));
    EXPECT_NE(rv, SCARD_S_SUCCESS);

    const auto cpuBefore = processCpuTime();
    const auto wallBefore = Clock::now();
    std::this_thread::sleep_for(300ms);  // the window measured
    EXPECT_LT(processCpuTime() - cpuBefore, (Clock::now() - wallBefore) / 5);
    EXPECT_TRUE(finishesWithin(1s, [&] { SCardDisconnect(h, SCARD_LEAVE_CARD); }));
}

// SIGSTOP in the middle of a transmit: the transmit waits (within its own time-out, which the
// card's ATR makes long), and the application can still let go of the stopped daemon: closing
// the transport takes less than 1 s and ends the transmit at once.
TEST_F(DaemonFaultTest, StoppedDaemonMidTransmitCanBeLetGo) {
    const SCARDHANDLE h = connect();
    ASSERT_EQ(transmit(h), SCARD_S_SUCCESS);
    ASSERT_TRUE(daemon->stop());
    std::promise<LONG> result;
    auto transmitted = result.get_future();
    std::thread pending([&] { result.set_value(transmit(h)); });
    EXPECT_EQ(transmitted.wait_for(200ms), std::future_status::timeout);

    auto provider = std::dynamic_pointer_cast<SocketAccessoryProvider>(
        EAAccessoryManager::sharedAccessoryManager().provider());
    ASSERT_NE(provider, nullptr);
    const auto stopping = Clock::now();
    EXPECT_TRUE(finishesWithin(1s, [provider] { provider->stop(); }));
    EXPECT_EQ(transmitted.wait_for(2s), std::future_status::ready) << "the transmit never ended";
    pending.join();
    EXPECT_LT(Clock::now() - stopping, 1s);
    EXPECT_NE(transmitted.get(), SCARD_S_SUCCESS);
    EXPECT_TRUE(finishesWithin(1s, [&] { SCardDisconnect(h, SCARD_LEAVE_CARD); }));
}

// A daemon restarted on the same path is found again without the program restarting: the
// reader and its card are back within about a second of the daemon listening.
TEST_F(DaemonFaultTest, RestartedDaemonIsFoundAgain) {
    daemon->kill(SIGTERM);
    ASSERT_TRUE(waitUntil([&] { return !(readerState(context) & SCARD_STATE_PRESENT); }, 2s));
    daemon = std::make_unique<DaemonProcess>(socketPath);
    ASSERT_TRUE(daemon->start());
    const auto listening = Clock::now();
    EXPECT_TRUE(waitForState(context, SCARD_STATE_PRESENT, 3s));
    EXPECT_LT(Clock::now() - listening, 1500ms);
    const SCARDHANDLE h = connect();
    EXPECT_EQ(transmit(h), SCARD_S_SUCCESS);
    SCardDisconnect(h, SCARD_LEAVE_CARD);

    // The same after kill -9, which leaves the old socket file behind.
    daemon->kill(SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return !(readerState(context) & SCARD_STATE_PRESENT); }, 2s));
    daemon = std::make_unique<DaemonProcess>(socketPath);
    ASSERT_TRUE(daemon->start());
    EXPECT_TRUE(waitForState(context, SCARD_STATE_PRESENT, 3s));
}

}  // namespace
}  // namespace hv::test::transport
