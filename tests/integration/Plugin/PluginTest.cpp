// The flat plug-in interface against the simulated case, over both transports.
#include <algorithm>
#include <cstring>
#include <thread>

#include "../Smartcard/winscard/PcscFixture.h"
#include "vorasel/HVSmartcard.h"
#include "vorasel/plugin.h"
#include "vorasel/sim/Ccid.h"

namespace hv::test::pcsc {
namespace {

class PluginTest : public PcscTest {
protected:
    void TearDown() override {
        HVSmartcard().close();
        PcscTest::TearDown();
    }

    // Initialised, a card of `kind` seen, connected.
    PluginHandle *connected(const std::string &kind = "t1") {
        card = insert(kind);
        EXPECT_EQ(Plugin_Initialize(), PLUGIN_OK);
        EXPECT_TRUE(waitUntil(
            [] { return HVSmartcard().getSlotStatus() == HVSmartcardSlotStatusPresent; }));
        PluginHandle *handle = nullptr;
        EXPECT_EQ(Plugin_Connect("Vorasel", &handle), PLUGIN_OK);
        return handle;
    }

    PluginResult execute(PluginHandle *handle, const Bytes &apdu, Bytes *out, int32_t mode = 1) {
        uint8_t response[PLUGIN_RESPONSE_CAPACITY];
        uint32_t length = 0;
        const PluginResult rv = Plugin_ExecuteCommand(
            handle, apdu.data(), static_cast<uint32_t>(apdu.size()), response, &length, mode);
        if (out) out->assign(response, response + (rv == PLUGIN_OK ? length : 0));
        return rv;
    }
};
HV_PCSC_BACKENDS(PluginTest);

TEST_P(PluginTest, DrivesTheCardFromListingToRelease) {
    char *readers = nullptr;
    uint32_t readersLength = 0;
    ASSERT_EQ(Plugin_ListReaders(&readers, &readersLength), PLUGIN_OK);
    ASSERT_EQ(readersLength, 9u);
    EXPECT_EQ(std::memcmp(readers, "Vorasel\0\0", 9), 0);
    EXPECT_EQ(Plugin_FreeMemory(readers), PLUGIN_OK);

    PluginHandle *handle = connected("t1");
    ASSERT_NE(handle, nullptr);
    uint8_t *atr = nullptr;
    uint32_t atrLength = 0;
    ASSERT_EQ(Plugin_GetATR(handle, &atr, &atrLength), PLUGIN_OK);
    EXPECT_EQ(Bytes(atr, atr + atrLength), card->atr());
    EXPECT_EQ(Plugin_FreeMemory(atr), PLUGIN_OK);

    Bytes out;
    EXPECT_EQ(execute(handle, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}, &out), PLUGIN_OK);
    EXPECT_EQ(out, (Bytes{0x90, 0x00}));
    for (size_t n : {1u, 255u, 2000u}) {
        const Bytes apdu = echoApdu(n);
        EXPECT_EQ(execute(handle, apdu, &out, 2), PLUGIN_OK) << n;
        EXPECT_EQ(out, echoed(apdu)) << n;
    }
    const size_t offs = commandsOfType(sim::ccid::kIccPowerOff);
    EXPECT_EQ(Plugin_Disconnect(handle), PLUGIN_OK);
    EXPECT_EQ(commandsOfType(sim::ccid::kIccPowerOff), offs + 1);  // unpowered
    // The handle outlives the connection, until released.
    EXPECT_EQ(execute(handle, echoApdu(4), &out), PLUGIN_ERR_EXECUTE);
    EXPECT_EQ(Plugin_GetATR(handle, &atr, &atrLength), PLUGIN_ERR_ATR);
    EXPECT_EQ(Plugin_FreeMemory(handle), PLUGIN_OK);
    EXPECT_EQ(Plugin_Cleanup(), PLUGIN_OK);
}

TEST_P(PluginTest, ForeignAndReleasedHandlesAreRefusedWithoutBeingRead) {
    PluginHandle *handle = connected();
    ASSERT_NE(handle, nullptr);
    char *readers = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(Plugin_ListReaders(&readers, &length), PLUGIN_OK);
    int local = 0;
    // Addresses that would fault if read: the library must only look them up.
    PluginHandle *foreign[] = {reinterpret_cast<PluginHandle *>(&local),
                               reinterpret_cast<PluginHandle *>(readers),
                               reinterpret_cast<PluginHandle *>(uintptr_t{0x8}),
                               reinterpret_cast<PluginHandle *>(~uintptr_t{0} - 15)};
    uint8_t *atr = nullptr;
    uint32_t atrLength = 0;
    Bytes out;
    for (PluginHandle *h : foreign) {
        EXPECT_EQ(Plugin_Disconnect(h), PLUGIN_ERR_INVALID_HANDLE);
        EXPECT_EQ(Plugin_GetATR(h, &atr, &atrLength), PLUGIN_ERR_INVALID_HANDLE);
        EXPECT_EQ(execute(h, echoApdu(4), &out), PLUGIN_ERR_INVALID_HANDLE);
    }
    // The connection is untouched by all of it.
    EXPECT_EQ(execute(handle, echoApdu(4), &out), PLUGIN_OK);

    EXPECT_EQ(Plugin_FreeMemory(handle), PLUGIN_OK);
    EXPECT_EQ(Plugin_FreeMemory(handle), PLUGIN_ERR_INVALID_ARGUMENT);  // never a double free
    EXPECT_EQ(Plugin_Disconnect(handle), PLUGIN_ERR_INVALID_HANDLE);
    EXPECT_EQ(Plugin_GetATR(handle, &atr, &atrLength), PLUGIN_ERR_INVALID_HANDLE);
    EXPECT_EQ(execute(handle, echoApdu(4), &out), PLUGIN_ERR_INVALID_HANDLE);
    EXPECT_EQ(atr, nullptr);
    EXPECT_EQ(Plugin_FreeMemory(&local), PLUGIN_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(Plugin_FreeMemory(readers + 1), PLUGIN_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(Plugin_FreeMemory(readers), PLUGIN_OK);
    EXPECT_EQ(Plugin_FreeMemory(readers), PLUGIN_ERR_INVALID_ARGUMENT);
}

TEST_P(PluginTest, AHandleOfAReplacedConnectionIsStale) {
    PluginHandle *first = connected();
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(Plugin_Disconnect(first), PLUGIN_OK);
    PluginHandle *second = nullptr;
    ASSERT_EQ(Plugin_Connect("Vorasel", &second), PLUGIN_OK);
    ASSERT_NE(second, first);
    // The first handle must not reach the second connection.
    Bytes out;
    uint8_t *atr = nullptr;
    uint32_t atrLength = 0;
    EXPECT_EQ(execute(first, echoApdu(4), &out), PLUGIN_ERR_INVALID_HANDLE);
    EXPECT_EQ(Plugin_GetATR(first, &atr, &atrLength), PLUGIN_ERR_INVALID_HANDLE);
    EXPECT_EQ(Plugin_Disconnect(first), PLUGIN_ERR_INVALID_HANDLE);
    EXPECT_EQ(execute(second, echoApdu(4), &out), PLUGIN_OK);
    EXPECT_EQ(out, echoed(echoApdu(4)));
    // A stale handle is still a block to release.
    EXPECT_EQ(Plugin_FreeMemory(first), PLUGIN_OK);
    EXPECT_EQ(Plugin_Disconnect(second), PLUGIN_OK);
    EXPECT_EQ(Plugin_FreeMemory(second), PLUGIN_OK);
}

TEST_P(PluginTest, NullArgumentsAndBadModesComeFirst) {
    char *readers = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(Plugin_ListReaders(nullptr, &length), PLUGIN_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(Plugin_ListReaders(&readers, nullptr), PLUGIN_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(Plugin_FreeMemory(nullptr), PLUGIN_ERR_INVALID_ARGUMENT);

    PluginHandle *handle = connected();
    ASSERT_NE(handle, nullptr);
    PluginHandle *other = nullptr;
    EXPECT_EQ(Plugin_Connect(nullptr, &other), PLUGIN_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(Plugin_Connect("Vorasel", nullptr), PLUGIN_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(Plugin_Disconnect(nullptr), PLUGIN_ERR_INVALID_ARGUMENT);
    uint8_t *atr = nullptr;
    uint32_t atrLength = 0;
    EXPECT_EQ(Plugin_GetATR(nullptr, &atr, &atrLength), PLUGIN_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(Plugin_GetATR(handle, nullptr, &atrLength), PLUGIN_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(Plugin_GetATR(handle, &atr, nullptr), PLUGIN_ERR_INVALID_ARGUMENT);

    const Bytes apdu = echoApdu(4);
    uint8_t response[PLUGIN_RESPONSE_CAPACITY];
    uint32_t responseLength = 77;
    const auto size = static_cast<uint32_t>(apdu.size());
    EXPECT_EQ(Plugin_ExecuteCommand(nullptr, apdu.data(), size, response, &responseLength, 1),
              PLUGIN_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(Plugin_ExecuteCommand(handle, nullptr, size, response, &responseLength, 1),
              PLUGIN_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(Plugin_ExecuteCommand(handle, apdu.data(), size, nullptr, &responseLength, 1),
              PLUGIN_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(Plugin_ExecuteCommand(handle, apdu.data(), size, response, nullptr, 1),
              PLUGIN_ERR_INVALID_ARGUMENT);
    // The mode is checked before the handle is looked at.
    int local = 0;
    for (int32_t mode : {0, 3, -1})
        EXPECT_EQ(Plugin_ExecuteCommand(reinterpret_cast<PluginHandle *>(&local), apdu.data(), size,
                                        response, &responseLength, mode),
                  PLUGIN_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(responseLength, 77u);
    EXPECT_EQ(Plugin_FreeMemory(handle), PLUGIN_OK);
}

TEST_P(PluginTest, FailedExchangesLeaveTheHostBufferAlone) {
    PluginHandle *handle = connected();
    ASSERT_NE(handle, nullptr);
    uint8_t response[PLUGIN_RESPONSE_CAPACITY];
    std::memset(response, 0xA5, sizeof response);
    uint32_t responseLength = 77;
    // A response larger than the 2048-byte area.
    const Bytes big = echoApdu(3000);
    const size_t xfrs = commandsOfType(sim::ccid::kXfrBlock);
    EXPECT_EQ(Plugin_ExecuteCommand(handle, big.data(), static_cast<uint32_t>(big.size()), response,
                                    &responseLength, 1),
              PLUGIN_ERR_EXECUTE);
    EXPECT_EQ(responseLength, 77u);
    EXPECT_EQ(response[0], 0xA5);
    EXPECT_EQ(response[PLUGIN_RESPONSE_CAPACITY - 1], 0xA5);
    // A command too long to carry whole is refused rather than cut short.
    const size_t sent = commandsOfType(sim::ccid::kXfrBlock);
    EXPECT_GT(sent, xfrs);
    Bytes huge(0x10004, 0x00);
    huge[1] = 0xEE;
    EXPECT_EQ(Plugin_ExecuteCommand(handle, huge.data(), static_cast<uint32_t>(huge.size()),
                                    response, &responseLength, 1),
              PLUGIN_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(commandsOfType(sim::ccid::kXfrBlock), sent);
    // The card went away: the exchange fails.
    kase->removeCard();
    ASSERT_TRUE(
        waitUntil([] { return HVSmartcard().getSlotStatus() == HVSmartcardSlotStatusAbsent; }));
    const Bytes apdu = echoApdu(4);
    EXPECT_EQ(Plugin_ExecuteCommand(handle, apdu.data(), static_cast<uint32_t>(apdu.size()),
                                    response, &responseLength, 2),
              PLUGIN_ERR_EXECUTE);
    EXPECT_EQ(responseLength, 77u);
    uint8_t *atr = nullptr;
    uint32_t atrLength = 0;
    EXPECT_EQ(Plugin_GetATR(handle, &atr, &atrLength), PLUGIN_ERR_ATR);
    EXPECT_EQ(Plugin_Disconnect(handle), PLUGIN_OK);  // nothing left to end
    EXPECT_EQ(Plugin_FreeMemory(handle), PLUGIN_OK);
}

TEST_P(PluginTest, ConnectNeedsAnAccessoryWithAReaderAndACard) {
    ASSERT_EQ(Plugin_Initialize(), PLUGIN_OK);
    PluginHandle *handle = nullptr;
    EXPECT_EQ(Plugin_Connect("Vorasel", &handle), PLUGIN_ERR_CONNECT);  // no card
    kase->management().setCapabilities(sim::kCapabilityFingerprint);
    card = insert("t1");
    ASSERT_TRUE(
        waitUntil([] { return HVSmartcard().getSlotStatus() == HVSmartcardSlotStatusPresent; }));
    EXPECT_EQ(Plugin_Connect("Vorasel", &handle), PLUGIN_ERR_CONNECT);  // no reader said
    EXPECT_EQ(handle, nullptr);
    kase->management().setCapabilities(sim::kCapabilitySmartCard);
    ASSERT_EQ(Plugin_Connect("any name", &handle), PLUGIN_OK);
    // One connection at a time.
    PluginHandle *second = nullptr;
    EXPECT_EQ(Plugin_Connect("Vorasel", &second), PLUGIN_ERR_CONNECT);
    EXPECT_EQ(Plugin_Disconnect(handle), PLUGIN_OK);
    EXPECT_EQ(Plugin_FreeMemory(handle), PLUGIN_OK);

    detachCase();
    char *readers = reinterpret_cast<char *>(uintptr_t{1});
    uint32_t length = 5;
    EXPECT_EQ(Plugin_ListReaders(&readers, &length), PLUGIN_ERR_LIST_READERS);
    EXPECT_EQ(readers, reinterpret_cast<char *>(uintptr_t{1}));
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(Plugin_Connect("Vorasel", &handle), PLUGIN_ERR_CONNECT);
    attachCase();
}

TEST_P(PluginTest, CleanupLeavesTheReaderOpenAndInitialiseAgainFindsItOpen) {
    ScopedCapture capture(HVLogLevelDebug);
    ASSERT_EQ(Plugin_Initialize(), PLUGIN_OK);
    EXPECT_EQ(Plugin_Cleanup(), PLUGIN_OK);
    EXPECT_EQ(Plugin_Initialize(), PLUGIN_OK);
    EXPECT_EQ(capture.logger().count("dwScope = "), 1u);
    EXPECT_TRUE(waitUntil(
        [] { return HVIFDH::sharedInstance().accessory_state() & HVIFDHAccessoryReaderOpen; }));
}

TEST_P(PluginTest, AHandleReleasedWhileAnotherThreadUsesItIsSafe) {
    PluginHandle *handle = connected();
    ASSERT_NE(handle, nullptr);
    std::atomic<bool> stop{false};
    std::atomic<int> ok{0}, refused{0}, other{0};
    std::thread user([&] {
        const Bytes apdu = echoApdu(8);
        uint8_t response[PLUGIN_RESPONSE_CAPACITY];
        while (!stop.load()) {
            uint32_t length = 0;
            const PluginResult rv = Plugin_ExecuteCommand(
                handle, apdu.data(), static_cast<uint32_t>(apdu.size()), response, &length, 1);
            // A call already past the look-up when the release ended the connection fails
            // as an exchange; nothing else may come of it.
            if (rv == PLUGIN_OK)
                ++ok;
            else if (rv == PLUGIN_ERR_INVALID_HANDLE)
                ++refused;
            else if (rv != PLUGIN_ERR_EXECUTE)
                ++other;
            if (rv == PLUGIN_ERR_INVALID_HANDLE) break;
        }
    });
    EXPECT_TRUE(waitUntil([&] { return ok.load() >= 5; }));
    EXPECT_EQ(Plugin_FreeMemory(handle), PLUGIN_OK);
    EXPECT_TRUE(waitUntil([&] { return refused.load() == 1; }));
    stop = true;
    user.join();
    EXPECT_EQ(other.load(), 0);
}

TEST_P(PluginTest, ReleasingAConnectedHandleEndsItsConnection) {
    PluginHandle *handle = connected();
    ASSERT_NE(handle, nullptr);
    const size_t offs = commandsOfType(sim::ccid::kIccPowerOff);
    EXPECT_EQ(Plugin_FreeMemory(handle), PLUGIN_OK);
    EXPECT_EQ(commandsOfType(sim::ccid::kIccPowerOff), offs + 1);
    EXPECT_EQ(HVSmartcard().getSlotStatus(), HVSmartcardSlotStatusPresent);
    // Without it, the reader would stay taken: a new connection works.
    ASSERT_EQ(Plugin_Connect("Vorasel", &handle), PLUGIN_OK);
    // Released after its disconnection, or stale: nothing more is sent.
    ASSERT_EQ(Plugin_Disconnect(handle), PLUGIN_OK);
    EXPECT_EQ(Plugin_FreeMemory(handle), PLUGIN_OK);
    EXPECT_EQ(commandsOfType(sim::ccid::kIccPowerOff), offs + 2);
    PluginHandle *first = nullptr, *second = nullptr;
    ASSERT_EQ(Plugin_Connect("Vorasel", &first), PLUGIN_OK);
    ASSERT_EQ(Plugin_Disconnect(first), PLUGIN_OK);
    ASSERT_EQ(Plugin_Connect("Vorasel", &second), PLUGIN_OK);
    EXPECT_EQ(Plugin_FreeMemory(first), PLUGIN_OK);
    EXPECT_EQ(HVSmartcard().getSlotStatus(), HVSmartcardSlotStatusPowered);
    Bytes out;
    EXPECT_EQ(execute(second, echoApdu(4), &out), PLUGIN_OK);
    EXPECT_EQ(Plugin_FreeMemory(second), PLUGIN_OK);
}

// One thread keeps using a handle while another replaces its connection: none of the first
// handle's commands may reach the card once the replacing connection has powered it.
TEST_P(PluginTest, AStaleHandleNeverReachesTheReplacingConnection) {
    PluginHandle *first = connected();
    ASSERT_NE(first, nullptr);
    const Bytes marker = {0x5A, 0xC3, 0x3C, 0xA5, 0x96, 0x69};
    Bytes apdu = {0x00, 0xEE, 0x00, 0x00, static_cast<uint8_t>(marker.size())};
    apdu.insert(apdu.end(), marker.begin(), marker.end());
    apdu.push_back(0x00);
    auto carriesMarker = [&](const sim::WireEntry &e) {
        return !e.bytes.empty() && e.bytes[0] == sim::ccid::kXfrBlock &&
               std::search(e.bytes.begin(), e.bytes.end(), marker.begin(), marker.end()) !=
                   e.bytes.end();
    };
    constexpr int kRounds = 30;
    for (int round = 0; round < kRounds; ++round) {
        std::atomic<bool> stop{false};
        std::atomic<int> sent{0};
        std::thread user([&] {
            uint8_t response[PLUGIN_RESPONSE_CAPACITY];
            while (!stop.load()) {
                uint32_t length = 0;
                Plugin_ExecuteCommand(first, apdu.data(), static_cast<uint32_t>(apdu.size()),
                                      response, &length, 1);
                ++sent;
            }
        });
        ASSERT_TRUE(waitUntil([&] { return sent.load() >= 1; }));
        ASSERT_EQ(Plugin_Disconnect(first), PLUGIN_OK);
        PluginHandle *second = nullptr;
        ASSERT_EQ(Plugin_Connect("Vorasel", &second), PLUGIN_OK);
        // Let the user thread run on against the new connection for a few more calls.
        const int before = sent.load();
        EXPECT_TRUE(waitUntil([&] { return sent.load() >= before + 3; }));
        stop = true;
        user.join();

        const auto wire = kase->recorder().select("ccidbulk", sim::Direction::Received);
        size_t lastPowerOn = 0;
        for (size_t i = 0; i < wire.size(); ++i)
            if (!wire[i].bytes.empty() && wire[i].bytes[0] == sim::ccid::kIccPowerOn)
                lastPowerOn = i;
        const size_t stale = static_cast<size_t>(std::count_if(
            wire.begin() + static_cast<ptrdiff_t>(lastPowerOn), wire.end(), carriesMarker));
        ASSERT_EQ(stale, 0u) << "round " << round;
        EXPECT_EQ(Plugin_FreeMemory(first), PLUGIN_OK);
        first = second;
    }
    EXPECT_EQ(Plugin_Disconnect(first), PLUGIN_OK);
    EXPECT_EQ(Plugin_FreeMemory(first), PLUGIN_OK);
}

}  // namespace
}  // namespace hv::test::pcsc
