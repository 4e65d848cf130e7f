// Reader events: card, accessory and application changes, queued from the threads that see
// them and handled in order on the driver's event thread, which relays them to the callback.
#include <mutex>

#include "Smartcard/IFDH/HVIFDH.h"
#include "Smartcard/IFDH/IFDHModule.h"
#include "vorasel/HVLog.h"

using namespace hv::ifdh;

void HVIFDH::ifd_event(uint32_t code) {
    {
        std::lock_guard lock(eventQueueLock_);
        eventQueue_.push_back(code);
    }
    eventSemaphore_.signal();
}

void HVIFDH::accessoryConnected(const hv::platform::Notification &) {
    ifd_event(HVIFDHEventAccessoryConnected);
}

void HVIFDH::accessoryDisconnected(const hv::platform::Notification &) {
    ifd_event(HVIFDHEventAccessoryDisconnected);
}

void HVIFDH::applicationDidEnterBackground(const hv::platform::Notification &) {
    ifd_event(HVIFDHEventDidEnterBackground);
}

void HVIFDH::applicationWillEnterForeground(const hv::platform::Notification &) {
    ifd_event(HVIFDHEventWillEnterForeground);
}

void HVIFDH::eventHandler() {
    for (;;) {
        eventSemaphore_.wait();
        uint32_t code;
        {
            std::lock_guard lock(eventQueueLock_);
            if (eventQueue_.empty()) continue;
            code = eventQueue_.front();
            eventQueue_.pop_front();
        }
        handleEvent(code);
    }
}

void HVIFDH::relay(uint32_t code) {
    if (HVIFDHEventCallback callback = cb.load())
        callback(static_cast<uint8_t>(code));
    else
        HVLogDebug("Callback disabled - not relaying message");
}

void HVIFDH::handleEvent(uint32_t code) {
    // Card changes act on the driver the interrupt pipe belongs to (the single instance).
    HVIFDH *driver = driverInstance.load();
    if (!driver) driver = this;
    switch (code) {
        case HVIFDHEventAccessoryConnected:
            if (accessory_state_.load() & HVIFDHAccessoryReaderOpen) {
                HVLogDebug("Ignoring accessory connect\n");
                return;
            }
            accessory_state_.store(HVIFDHAccessoryPresent);
            HVLogDebug("accessory connect\n");
            break;
        case HVIFDHEventAccessoryDisconnected:
            if (voraselAvailable()) {
                HVLogDebug("ignore accessory disconnect\n");
                return;
            }
            accessory_state_.store(0);
            slot_state_.store(HVIFDHSlotStateUnknown);
            endBulkWait();
            HVLogDebug("accessory disconnect");
            break;
        case HVIFDHEventCardInserted: {
            HVLogInfo("Card inserted\n");
            driver->setSlot_state(HVIFDHSlotStateSwallowed);
            if (driver->auto_power_on()) {
                const HVIFDHStatus res = driver->powerOnICC();
                if (res != HVIFDHStatusSuccess)
                    HVLogError("Auto power on failed %d", static_cast<int>(res));
            }
            break;
        }
        case HVIFDHEventCardRemoved:
            HVLogInfo("Card removed\n");
            driver->clearATR();
            driver->setSlot_state(HVIFDHSlotStateAbsent);
            break;
        case HVIFDHEventDidEnterBackground:
            if (!voraselAvailable()) {
                HVLogDebug("ignoring applicationDidEnterBackground");
                return;
            }
            HVLogDebug("applicationDidEnterBackground");
            break;
        case HVIFDHEventWillEnterForeground:
            if (!voraselAvailable()) {
                HVLogDebug("ignoring applicationWillEnterForeground");
                return;
            }
            HVLogDebug("applicationWillEnterForeground");
            break;
        default:
            HVLogError("unknown event! %ld\n", static_cast<long>(code));
            break;
    }
    relay(code);
}
