// The driver's event thread with no accessory attached: card changes from the interrupt pipe,
// accessory and application notifications, the callback's view of the driver's state, and
// the order of events queued while the thread is busy.
#include <condition_variable>
#include <thread>

#include "DriverFixture.h"
#include "Platform/Application.h"
#include "Platform/NotificationCenter.h"
#include "vorasel/HVAccessory.h"
#include "vorasel/sim/VirtualCard.h"

using namespace hv::test;
using hv::platform::Application;
using hv::platform::NotificationCenter;

namespace {

class Events : public DriverTest {
protected:
    void interrupt(Bytes b) { reader->deliverInterrupt(Delivery::of(std::move(b))); }
    static void postAccessory(const char *name) {
        NotificationCenter::defaultCenter().post(name, &HVAccessory::sharedClass());
    }
    static EventRecorder &events() { return EventRecorder::shared(); }
};

TEST_F(Events, InsertionWithoutAutomaticPowerOn) {
    open();
    ScopedCapture capture;
    interrupt({0x50, 0x03});
    ASSERT_TRUE(events().waitFor(HVIFDHEventCardInserted));
    const auto e = events().withCode(HVIFDHEventCardInserted)[0];
    EXPECT_EQ(e.slotState, HVIFDHSlotStateSwallowed);
    EXPECT_TRUE(capture.logger().contains("HVInfo: "));
    EXPECT_TRUE(capture.logger().contains("] Card inserted\n"));
    EXPECT_TRUE(reader->commands().empty());
}

TEST_F(Events, InsertionWithAutomaticPowerOnReachesTheCallbackPowered) {
    open();
    auto card = std::make_shared<hv::sim::VirtualCard>();
    serve(card);
    driver().setAuto_power_on(true);
    interrupt({0x50, 0x03});
    ASSERT_TRUE(events().waitFor(HVIFDHEventCardInserted));
    const auto e = events().withCode(HVIFDHEventCardInserted)[0];
    EXPECT_EQ(e.slotState, HVIFDHSlotStatePowered);
    EXPECT_EQ(Bytes(e.atr.data, e.atr.data + e.atr.length), card->atr());
    ASSERT_EQ(reader->commands().size(), 1u);
    EXPECT_EQ(reader->commands()[0][0], 0x62);
}

TEST_F(Events, FailedAutomaticPowerOnIsLoggedAndStillRelayed) {
    open();
    hv::sim::CardConfig mute;
    mute.voltages = 0;
    serve(std::make_shared<hv::sim::VirtualCard>(mute));
    driver().setAuto_power_on(true);
    ScopedCapture capture;
    interrupt({0x50, 0x03});
    ASSERT_TRUE(events().waitFor(HVIFDHEventCardInserted));
    EXPECT_TRUE(capture.logger().contains("] Auto power on failed 11"));
    EXPECT_EQ(events().withCode(HVIFDHEventCardInserted)[0].slotState, HVIFDHSlotStatePresent);
}

TEST_F(Events, RemovalClearsTheAtrBeforeTheCallback) {
    open();
    serve(std::make_shared<hv::sim::VirtualCard>());
    ASSERT_EQ(driver().powerOnICC(), HVIFDHStatusSuccess);
    ScopedCapture capture;
    interrupt({0x50, 0x02});
    ASSERT_TRUE(events().waitFor(HVIFDHEventCardRemoved));
    const auto e = events().withCode(HVIFDHEventCardRemoved)[0];
    EXPECT_EQ(e.slotState, HVIFDHSlotStateAbsent);
    EXPECT_EQ(Bytes(reinterpret_cast<const uint8_t *>(&e.atr),
                    reinterpret_cast<const uint8_t *>(&e.atr) + sizeof e.atr),
              Bytes(34, 0));
    EXPECT_TRUE(capture.logger().contains("] Card removed\n"));
}

TEST_F(Events, WithoutACallbackTheStateStillChanges) {
    open();
    serve(std::make_shared<hv::sim::VirtualCard>());
    ASSERT_EQ(driver().powerOnICC(), HVIFDHStatusSuccess);
    driver().unregisterEventCallback();
    ScopedCapture capture;
    interrupt({0x50, 0x02});
    ASSERT_TRUE(waitUntil(
        [&] { return capture.logger().contains("] Callback disabled - not relaying message"); }));
    EXPECT_EQ(driver().slot_state(), HVIFDHSlotStateAbsent);
    EXPECT_EQ(driver().ATR().length, 0u);
    EXPECT_TRUE(events().events().empty());
}

TEST_F(Events, AccessoryConnectWhileOpenIsIgnored) {
    open();
    ScopedCapture capture;
    postAccessory(HVAccessoryDidConnectNotificationPriority);
    ASSERT_TRUE(
        waitUntil([&] { return capture.logger().contains("] Ignoring accessory connect\n"); }));
    EXPECT_EQ(driver().accessory_state(), HVIFDHAccessoryPresent | HVIFDHAccessoryReaderOpen);
    // The public notification is not the driver's.
    postAccessory(HVAccessoryDidConnectNotification);
    interrupt({0x50, 0x03});
    ASSERT_TRUE(events().waitFor(HVIFDHEventCardInserted));
    EXPECT_TRUE(events().withCode(HVIFDHEventAccessoryConnected).empty());
}

TEST_F(Events, AccessoryConnectWhileClosedMarksItPresent) {
    ScopedCapture capture;
    ASSERT_EQ(driver().accessory_state() & HVIFDHAccessoryReaderOpen, 0);
    postAccessory(HVAccessoryDidConnectNotificationPriority);
    ASSERT_TRUE(events().waitFor(HVIFDHEventAccessoryConnected));
    EXPECT_EQ(driver().accessory_state(), HVIFDHAccessoryPresent);
    EXPECT_TRUE(capture.logger().contains("] accessory connect\n"));
}

TEST_F(Events, DisconnectWithNoAccessoryLeftResetsTheStates) {
    open();
    driver().setSlot_state(HVIFDHSlotStateSpecific);
    ScopedCapture capture;
    postAccessory(HVAccessoryDidDisconnectNotificationPriority);
    ASSERT_TRUE(events().waitFor(HVIFDHEventAccessoryDisconnected));
    const auto e = events().withCode(HVIFDHEventAccessoryDisconnected)[0];
    EXPECT_EQ(e.slotState, HVIFDHSlotStateUnknown);
    EXPECT_EQ(driver().accessory_state(), 0);
    EXPECT_TRUE(capture.logger().contains("] accessory disconnect"));
    // Every exchange now finds the reader unavailable.
    serve(std::make_shared<hv::sim::VirtualCard>());
    EXPECT_EQ(driver().powerOnICC(), HVIFDHStatusReaderUnavailable);
}

TEST_F(Events, ApplicationMovesWithoutTheAccessoryAreIgnored) {
    ScopedCapture capture;
    Application::shared().postDidEnterBackground();
    Application::shared().postWillEnterForeground();
    ASSERT_TRUE(waitUntil(
        [&] { return capture.logger().contains("] ignoring applicationWillEnterForeground"); }));
    EXPECT_TRUE(capture.logger().contains("] ignoring applicationDidEnterBackground"));
    EXPECT_TRUE(events().events().empty());
}

TEST_F(Events, UnknownCodesAreLoggedAndRelayed) {
    ScopedCapture capture;
    driver().ifd_event(9);
    ASSERT_TRUE(events().waitFor(9));
    EXPECT_TRUE(capture.logger().contains("] unknown event! 9\n"));
    driver().ifd_event(0x1FE);  // reduced to 8 bits for the callback
    ASSERT_TRUE(events().waitFor(0xFE));
}

TEST_F(Events, EventsQueuedMeanwhileAreHandledInPostingOrder) {
    open();
    // Posted back to back, before the event thread can have woken.
    interrupt({0x50, 0x03, 0x50, 0x02, 0x50, 0x03});
    ASSERT_TRUE(waitUntil([] { return EventRecorder::shared().cardCodes().size() >= 3; }));
    EXPECT_EQ(events().cardCodes(),
              (std::vector<uint8_t>{HVIFDHEventCardInserted, HVIFDHEventCardRemoved,
                                    HVIFDHEventCardInserted}));
}

// While the callback runs, new events wait in the queue, then come one by one in order.
std::mutex gateMutex;
std::condition_variable gateChanged;
bool gateOpen = false;
bool gateEntered = false;
std::vector<uint8_t> gated;

void gatedCallback(uint8_t code) {
    std::unique_lock lock(gateMutex);
    gated.push_back(code);
    gateEntered = true;
    gateChanged.notify_all();
    gateChanged.wait(lock, [] { return gateOpen; });
}

TEST_F(Events, CallbackRunsOnTheEventThreadOneEventAtATime) {
    open();
    driver().registerEventCallback(gatedCallback);
    interrupt({0x50, 0x03});
    {
        std::unique_lock lock(gateMutex);
        ASSERT_TRUE(
            gateChanged.wait_for(lock, std::chrono::seconds(5), [] { return gateEntered; }));
    }
    // Posted from several threads while the callback holds the thread.
    std::thread a([] { HVIFDH::sharedInstance().ifd_event(HVIFDHEventCardRemoved); });
    a.join();
    std::thread b([] { HVIFDH::sharedInstance().ifd_event(HVIFDHEventDidEnterBackground); });
    b.join();
    driver().ifd_event(7);
    {
        std::lock_guard lock(gateMutex);
        EXPECT_EQ(gated, std::vector<uint8_t>{HVIFDHEventCardInserted});
        gateOpen = true;
    }
    gateChanged.notify_all();
    ASSERT_TRUE(waitUntil([] {
        std::lock_guard lock(gateMutex);
        return gated.size() >= 3;
    }));
    std::lock_guard lock(gateMutex);
    // The background move is ignored without the accessory.
    EXPECT_EQ(gated, (std::vector<uint8_t>{HVIFDHEventCardInserted, HVIFDHEventCardRemoved, 7}));
}

TEST_F(Events, ManyPostingThreadsLoseNothing) {
    constexpr int kThreads = 4, kEach = 250;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < kEach; ++i)
                HVIFDH::sharedInstance().ifd_event(42);
        });
    for (auto &t : threads)
        t.join();
    EXPECT_TRUE(events().waitFor(42, kThreads * kEach));
    EXPECT_EQ(events().withCode(42).size(), size_t{kThreads * kEach});
}

}  // namespace
