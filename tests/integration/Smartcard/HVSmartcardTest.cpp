// The object smart-card interface end to end, against the simulated case over both transports.
#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "Platform/Application.h"
#include "Platform/RunLoop.h"
#include "vorasel/HVSmartcard.h"
#include "vorasel/sim/Ccid.h"
#include "winscard/PcscFixture.h"

namespace hv::test::pcsc {
namespace {

class SmartcardTest : public PcscTest {
protected:
    void TearDown() override {
        HVSmartcard().close();
        platform::Application::shared().setSystemLogHook(nullptr);
        HVHost::setSoundHook(nullptr);
        HVHost::removeUserDefault("HVPlaySounds");
        if (!soundDir.empty()) std::filesystem::remove_all(soundDir);
        PcscTest::TearDown();
    }

    // A card of `kind` in the reader, seen by an open HVSmartcard.
    void openWithCard(const std::string &kind) {
        card = insert(kind);
        ASSERT_EQ(sc.open(), HVSmartcardStatusSuccess);
        ASSERT_TRUE(waitUntil([&] { return sc.getSlotStatus() == HVSmartcardSlotStatusPresent; }));
    }

    Response send(const Bytes &apdu, uint16_t room = 2048) {
        Response r{0, Bytes(room)};
        uint16_t length = room;
        r.rv = sc.transmit(apdu.data(), static_cast<uint16_t>(apdu.size()), r.data.data(), &length);
        r.data.resize(length);
        return r;
    }

    // Sound resources in a folder of their own; the hook records what it is asked to play.
    void enableSounds() {
        soundDir =
            std::filesystem::temp_directory_path() / ("hv-sounds-" + std::to_string(::getpid()));
        std::filesystem::create_directories(soundDir);
        for (const char *name : {"HVSmartcardInserted", "HVSmartcardRemoved"})
            std::ofstream(soundDir / (std::string(name) + ".wav")) << "RIFF";
        HVHost::setResourceDirectory(soundDir.string());
        HVHost::setUserDefault("HVPlaySounds", true);
    }

    HVSmartcard sc;
    std::filesystem::path soundDir;
};
HV_PCSC_BACKENDS(SmartcardTest);

TEST_P(SmartcardTest, ConnectsWithEachProtocolTransmitsReconnectsAndDisconnects) {
    openWithCard("dual");
    const Bytes select = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
    const struct {
        int32_t mask, protocol, disposition;
    } rounds[] = {{1, 1, 2}, {2, 2, 1}, {3, 2, 0}};
    for (const auto &round : rounds) {
        ASSERT_EQ(sc.connect(round.mask), HVSmartcardStatusSuccess) << round.mask;
        EXPECT_EQ(sc.getCurrentProtocol(), round.protocol);
        EXPECT_EQ(sc.getProt(), round.protocol);
        EXPECT_EQ(sc.getATR(), card->atr());
        Response r = send(select);
        EXPECT_EQ(r.rv, HVSmartcardStatusSuccess);
        EXPECT_EQ(r.data, (Bytes{0x90, 0x00}));
        if (round.protocol == 2) {
            const Bytes apdu = echoApdu(200);
            r = send(apdu);
            EXPECT_EQ(r.rv, HVSmartcardStatusSuccess);
            EXPECT_EQ(r.data, echoed(apdu));
        }
        EXPECT_EQ(sc.disconnect(round.disposition), HVSmartcardStatusSuccess);
        EXPECT_EQ(sc.getCurrentProtocol(), 0);
    }
    // Left powered in T=1: T=0 alone no longer fits.
    EXPECT_EQ(sc.connect(1), HVSmartcardStatusProtocolMismatch);

    // Cold reset powers the card off first, warm reset does not; the protocol may change.
    ASSERT_EQ(sc.connect(2), HVSmartcardStatusSuccess);
    const size_t offs = commandsOfType(sim::ccid::kIccPowerOff);
    const size_t ons = commandsOfType(sim::ccid::kIccPowerOn);
    ASSERT_EQ(sc.reconnect(1, 0), HVSmartcardStatusSuccess);
    EXPECT_EQ(commandsOfType(sim::ccid::kIccPowerOff), offs + 1);
    EXPECT_EQ(commandsOfType(sim::ccid::kIccPowerOn), ons + 1);
    EXPECT_EQ(sc.getCurrentProtocol(), 1);
    EXPECT_EQ(send(select).data, (Bytes{0x90, 0x00}));  // carried as T=0 now
    ASSERT_EQ(sc.reconnect(2, 1), HVSmartcardStatusSuccess);
    EXPECT_EQ(commandsOfType(sim::ccid::kIccPowerOff), offs + 1);
    EXPECT_EQ(commandsOfType(sim::ccid::kIccPowerOn), ons + 2);
    EXPECT_EQ(sc.getCurrentProtocol(), 2);
    EXPECT_EQ(send(echoApdu(300)).data, echoed(echoApdu(300)));
    EXPECT_EQ(sc.disconnect(2), HVSmartcardStatusSuccess);
    EXPECT_EQ(sc.close(), HVSmartcardStatusSuccess);
    EXPECT_EQ(sc.getSlotStatus(), HVSmartcardSlotStatusUnknown);
}

TEST_P(SmartcardTest, BadArgumentsAreRefusedBeforeTheReaderIsTouched) {
    openWithCard("t1");
    const size_t ons = commandsOfType(sim::ccid::kIccPowerOn);
    for (int32_t mask : {0, 4, -1, 0x10000})
        EXPECT_EQ(sc.connect(mask), HVSmartcardStatusInvalidValue) << mask;
    EXPECT_EQ(commandsOfType(sim::ccid::kIccPowerOn), ons);
    ASSERT_EQ(sc.connect(3), HVSmartcardStatusSuccess);
    for (int32_t disposition : {3, -1})
        EXPECT_EQ(sc.disconnect(disposition), HVSmartcardStatusInvalidValue);
    EXPECT_EQ(sc.reconnect(3, 2), HVSmartcardStatusInvalidValue);
    EXPECT_EQ(sc.reconnect(0, 0), HVSmartcardStatusInvalidValue);
    EXPECT_EQ(commandsOfType(sim::ccid::kIccPowerOn), ons + 1);
    // The connection survived all of it.
    EXPECT_EQ(send({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}).rv, HVSmartcardStatusSuccess);
    // No place for the response length: refused, nothing sent.
    const Bytes apdu = echoApdu(4);
    uint8_t out[16];
    EXPECT_EQ(sc.transmit(apdu.data(), static_cast<uint16_t>(apdu.size()), out, nullptr),
              HVSmartcardStatusInvalidParameter);
    // A response larger than the buffer: InvalidValue, length 0.
    const Response small = send(echoApdu(100), 16);
    EXPECT_EQ(small.rv, HVSmartcardStatusInvalidValue);
    EXPECT_TRUE(small.data.empty());
}

TEST_P(SmartcardTest, CardRemovalInvalidatesTheConnection) {
    openWithCard("t1");
    ASSERT_EQ(sc.connect(2), HVSmartcardStatusSuccess);
    ASSERT_EQ(send(echoApdu(8)).rv, HVSmartcardStatusSuccess);
    kase->removeCard();
    ASSERT_TRUE(waitUntil([&] { return sc.getSlotStatus() == HVSmartcardSlotStatusAbsent; }));

    const Response r = send(echoApdu(8));
    EXPECT_EQ(r.rv, HVSmartcardStatusNotConnected);
    EXPECT_TRUE(r.data.empty());
    EXPECT_EQ(sc.reconnect(3, 1), HVSmartcardStatusNotConnected);
    EXPECT_EQ(sc.getCurrentProtocol(), 0);
    EXPECT_FALSE(sc.getATR().has_value());
    EXPECT_EQ(sc.disconnect(0), HVSmartcardStatusSuccess);
    EXPECT_EQ(sc.connect(3), HVSmartcardStatusNoSmartcard);

    // A new card gives a new, working connection.
    card = insert("t1");
    ASSERT_TRUE(waitUntil([&] { return sc.getSlotStatus() == HVSmartcardSlotStatusPresent; }));
    ASSERT_EQ(sc.connect(3), HVSmartcardStatusSuccess);
    EXPECT_EQ(send(echoApdu(8)).data, echoed(echoApdu(8)));
}

TEST_P(SmartcardTest, SlotStatusFollowsTheCard) {
    // Closed: the reader state cannot be read.
    EXPECT_EQ(sc.getSlot(), HVSmartcardSlotStatusUnknown);
    openWithCard("t0");
    EXPECT_EQ(sc.getSlot(), HVSmartcardSlotStatusPresent);
    ASSERT_EQ(sc.connect(1), HVSmartcardStatusSuccess);
    EXPECT_EQ(sc.getSlot(), HVSmartcardSlotStatusPowered);
    ASSERT_EQ(sc.disconnect(2), HVSmartcardStatusSuccess);
    EXPECT_EQ(sc.getSlot(), HVSmartcardSlotStatusPresent);
    kase->removeCard();
    EXPECT_TRUE(waitUntil([&] { return sc.getSlot() == HVSmartcardSlotStatusAbsent; }));
    card = insert("t1");
    EXPECT_TRUE(waitUntil([&] { return sc.getSlot() == HVSmartcardSlotStatusPresent; }));
    ASSERT_EQ(sc.connect(3), HVSmartcardStatusSuccess);
    EXPECT_EQ(sc.getSlotStatus(), HVSmartcardSlotStatusPowered);
    // Removed while connected: absent, not powered.
    kase->removeCard();
    EXPECT_TRUE(waitUntil([&] { return sc.getSlot() == HVSmartcardSlotStatusAbsent; }));
    EXPECT_EQ(sc.close(), HVSmartcardStatusSuccess);
    EXPECT_EQ(sc.getSlot(), HVSmartcardSlotStatusUnknown);
}

// Opened on an empty reader, the interface reads the slot as absent without waiting out the
// unknown state, and the first card put in is announced with its sound.
TEST_P(SmartcardTest, AnEmptyReaderReadsAbsentAtOnceAndItsFirstCardIsAnnounced) {
    enableSounds();
    std::atomic<int> inserted{0};
    HVHost::setSoundHook([&](const std::string &path) {
        if (std::filesystem::path(path).filename() == "HVSmartcardInserted.wav") ++inserted;
    });
    ASSERT_EQ(sc.open(), HVSmartcardStatusSuccess);
    ASSERT_TRUE(
        waitUntil([&] { return HVIFDH::sharedInstance().slot_state() == HVIFDHSlotStateAbsent; }));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(sc.getSlotStatus(), HVSmartcardSlotStatusAbsent);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 900ms);  // not the unknown state's 1 s wait
    card = insert("t1");
    EXPECT_TRUE(waitUntil([&] { return inserted.load() == 1; }));
    EXPECT_EQ(sc.getSlotStatus(), HVSmartcardSlotStatusPresent);
}

TEST_P(SmartcardTest, OpeningTwiceKeepsOneContextSharedByAllObjects) {
    ScopedCapture capture(HVLogLevelDebug);
    ASSERT_EQ(sc.open(), HVSmartcardStatusSuccess);
    HVSmartcard other;
    EXPECT_EQ(other.openWithDisabledBackgroundManagement(), HVSmartcardStatusSuccess);
    EXPECT_EQ(capture.logger().count("dwScope = "), 1u);
    // Any object's close ends the one context: the reader closes.
    EXPECT_EQ(other.close(), HVSmartcardStatusSuccess);
    EXPECT_TRUE(waitUntil(
        [] { return !(HVIFDH::sharedInstance().accessory_state() & HVIFDHAccessoryReaderOpen); }));
    EXPECT_EQ(sc.getSlotStatus(), HVSmartcardSlotStatusUnknown);
    // Closing a closed interface is harmless.
    EXPECT_EQ(sc.close(), HVSmartcardStatusSuccess);
}

TEST_P(SmartcardTest, NotificationsLogAndPlaySoundsOnlyWhileOpen) {
    ScopedCapture capture;
    enableSounds();
    std::mutex mutex;
    std::vector<std::string> played;
    HVHost::setSoundHook([&](const std::string &path) {
        std::lock_guard lock(mutex);
        played.push_back(std::filesystem::path(path).filename().string());
    });
    auto playedCopy = [&] {
        std::lock_guard lock(mutex);
        return played;
    };

    // The card in the reader when it opens is its first state, no news; its leaving and a new
    // card's arrival are.
    openWithCard("t1");
    kase->removeCard();
    ASSERT_TRUE(waitUntil([&] { return playedCopy().size() == 1; }));
    card = insert("t1");
    ASSERT_TRUE(waitUntil([&] { return playedCopy().size() == 2; }));
    EXPECT_EQ(playedCopy(),
              (std::vector<std::string>{"HVSmartcardRemoved.wav", "HVSmartcardInserted.wav"}));
    EXPECT_TRUE(capture.logger().contains("] Card inserted!"));
    EXPECT_TRUE(capture.logger().contains("] Card removed!"));

    // Without the user default: logged, silent.
    HVHost::setUserDefault("HVPlaySounds", false);
    kase->removeCard();
    ASSERT_TRUE(waitUntil([&] { return capture.logger().count("] Card removed!") == 2; }));

    // The accessory's comings and goings are logged too.
    detachCase();
    attachCase();
    EXPECT_TRUE(waitUntil([&] { return capture.logger().contains("] Accessory connected!"); }));
    EXPECT_TRUE(capture.logger().contains("] Accessory disconnected!"));

    // Closed: nobody listens any more. An observer added now runs after any observer the
    // interface could have left behind.
    HVHost::setUserDefault("HVPlaySounds", true);
    ASSERT_EQ(sc.close(), HVSmartcardStatusSuccess);
    std::atomic<int> laterSeen{0};
    const auto token =
        HVHost::addObserver("HV_CARD_REMOVED", [&](const char *, const void *) { ++laterSeen; });
    const SCARDCONTEXT c = establish();  // keeps the reader open, so card events still flow
    card = insert("t1");
    ASSERT_TRUE(waitForState(c, SCARD_STATE_PRESENT));
    kase->removeCard();
    ASSERT_TRUE(waitUntil([&] { return laterSeen.load() == 1; }));
    EXPECT_EQ(capture.logger().count("] Card removed!"), 2u);
    EXPECT_EQ(playedCopy().size(), 2u);
    HVHost::removeObserver(token);
    release(c);
}

TEST_P(SmartcardTest, ADroppedOpenerLeavesNoListenerBehindAClose) {
    ScopedCapture capture;
    card = insert("t1");
    {
        HVSmartcard opener;  // as the plug-in's initialisation does
        ASSERT_EQ(opener.open(), HVSmartcardStatusSuccess);
    }
    const SCARDCONTEXT c = establish();  // keeps the reader open after the close
    ASSERT_TRUE(waitForState(c, SCARD_STATE_PRESENT));
    EXPECT_EQ(sc.close(), HVSmartcardStatusSuccess);
    std::atomic<int> laterSeen{0};
    const auto token =
        HVHost::addObserver("HV_CARD_REMOVED", [&](const char *, const void *) { ++laterSeen; });
    kase->removeCard();
    ASSERT_TRUE(waitUntil([&] { return laterSeen.load() == 1; }));
    EXPECT_FALSE(capture.logger().contains("] Card removed!"));
    HVHost::removeObserver(token);
    release(c);
}

TEST_P(SmartcardTest, ASlowSoundHookHoldsUpNoCardOperation) {
    enableSounds();
    std::atomic<bool> release{false};
    std::atomic<int> entered{0};
    HVHost::setSoundHook([&](const std::string &) {
        ++entered;
        waitUntil([&] { return release.load(); }, std::chrono::seconds(20));
    });
    openWithCard("t1");
    kase->removeCard();
    ASSERT_TRUE(waitUntil([&] { return entered.load() == 1; }));
    // The hook is stuck; the card path is not.
    card = insert("t1");
    ASSERT_TRUE(waitUntil([&] { return sc.getSlotStatus() == HVSmartcardSlotStatusPresent; }));
    ASSERT_EQ(sc.connect(3), HVSmartcardStatusSuccess);
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(send(echoApdu(16)).rv, HVSmartcardStatusSuccess);
    kase->removeCard();
    ASSERT_TRUE(waitUntil([&] { return sc.getSlotStatus() == HVSmartcardSlotStatusAbsent; }));
    EXPECT_EQ(send(echoApdu(16)).rv, HVSmartcardStatusNotConnected);
    EXPECT_EQ(entered.load(), 1);
    release = true;
    EXPECT_TRUE(waitUntil([&] { return entered.load() == 3; }));
}

TEST_P(SmartcardTest, MainThreadCallsWarnInTheSystemLogWhateverTheLevel) {
    ASSERT_EQ(hvLogLevel.load(), 0u);
    std::mutex mutex;
    std::vector<std::pair<int, std::string>> lines;
    platform::Application::shared().setSystemLogHook([&](int priority, const std::string &text) {
        std::lock_guard lock(mutex);
        lines.emplace_back(priority, text);
    });
    // Off the main thread: nothing.
    EXPECT_EQ(sc.close(), HVSmartcardStatusSuccess);
    {
        std::lock_guard lock(mutex);
        EXPECT_TRUE(lines.empty());
    }

    std::atomic<bool> done{false};
    HVSmartcardStatus opened = HVSmartcardStatusUnexpected, connected = opened;
    card = insert("t1");
    platform::RunLoop::main().perform([&] {
        opened = sc.open();
        connected = sc.connect(9);
        sc.close();
        done = true;
    });
    ASSERT_TRUE(waitUntil([&] { return done.load(); }, std::chrono::seconds(10)));
    EXPECT_EQ(opened, HVSmartcardStatusSuccess);
    EXPECT_EQ(connected, HVSmartcardStatusInvalidValue);
    std::lock_guard lock(mutex);
    ASSERT_EQ(lines.size(), 3u);
    const char *names[] = {"HVSmartcard:open(WithDisabledBackgroundManagement)",
                           "HVSmartcard:connect", "HVSmartcard:close"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(lines[i].first, 4);  // warning
        EXPECT_EQ(lines[i].second, std::string("Warning: Calling ") + names[i] +
                                       " in the main thread is not recommended and may cause "
                                       "unpredictable behavior.");
    }
}

}  // namespace
}  // namespace hv::test::pcsc
