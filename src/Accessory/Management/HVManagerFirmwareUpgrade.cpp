// The firmware upgrade: chunks, each acknowledged, then a reset and the wait for the accessory
// to come back.
#include <condition_variable>
#include <memory>
#include <mutex>

#include "Accessory/Management/ManagerOperation.h"
#include "Platform/NotificationCenter.h"
#include "Platform/RunLoop.h"
#include "vorasel/EAAccessory.h"
#include "vorasel/HVAccessory.h"
#include "vorasel/HVLog.h"
#include "vorasel/HVManager.h"
#include "vorasel/dez_message.h"

using hv::management::ManagerAnswer;
using hv::management::ManagerSession;
using hv::platform::RunLoop;
using SteadyClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kChunkSize = 512;
constexpr uint32_t kHandlerCapacity = 512;
constexpr auto kChunkTimeout = 3s;
constexpr auto kResetTimeout = 10s;

// The wait for the accessory to connect again; armed only while an upgrade waits.
struct ResetWait {
    std::mutex mutex;
    std::condition_variable connected;
    bool armed = false;
    bool seen = false;
    uint32_t resetConnection = 0;   // the connection that was told to reset
    std::shared_ptr<RunLoop> loop;  // the waiting thread's loop, when it keeps it turning
};

ResetWait &resetWait() {
    static auto *wait = new ResetWait;
    return *wait;
}

// Waits for the connect announcement. On the thread that runs the main loop the announcement
// is delivered by that very loop, so the wait keeps it turning; elsewhere it blocks.
bool awaitReconnect(SteadyClock::time_point deadline) {
    ResetWait &w = resetWait();
    if (RunLoop::main().isCurrent()) {
        return hv::platform::runCurrentLoopUntil(deadline, [&w] {
            std::lock_guard lock(w.mutex);
            return w.seen;
        });
    }
    std::unique_lock lock(w.mutex);
    return w.connected.wait_until(lock, deadline, [&w] { return w.seen; });
}

// Ends the reset wait, if one is armed.
void signalReconnect() {
    ResetWait &w = resetWait();
    std::lock_guard lock(w.mutex);
    if (!w.armed) return;
    w.seen = true;
    w.connected.notify_all();
    if (w.loop) w.loop->wakeUp();
}

// The library's own observer of connect announcements during a reset wait. One still on its
// way from before the reset (the accessory that was told to reset is still the one attached)
// says nothing about the accessory coming back.
void reconnectAnnounced() {
    const auto attached = HVAccessory::sharedClass().getAccessory();
    {
        ResetWait &w = resetWait();
        std::lock_guard lock(w.mutex);
        if (!attached || (w.resetConnection != 0 && attached->connectionID() == w.resetConnection))
            return;
    }
    signalReconnect();
}

}  // namespace

HVManagerDelegate::~HVManagerDelegate() = default;

void HVManagerDelegate::hvManagerFirmwareUpgradeProgress(float) {}

// A host that sees the accessory come back by its own means says so here; it is taken at its
// word, whatever connection the platform reports.
void HVManager::hvAccessoryDidConnect() {
    signalReconnect();
}

HVManagerStatus HVManager::upgradeFirmwareWithImage(const uint8_t *image, uint32_t size,
                                                    HVManagerDelegate *delegate) {
    if (!image && size != 0) return HVManagerStatusEncodeFailed;
    std::lock_guard lock(hv::management::operationLock());
    ManagerSession session(kHandlerCapacity);
    if (session.status() != HVManagerStatusSuccess) return session.status();

    uint32_t remaining = size;
    const uint8_t *chunk = image;
    while (remaining > 0) {
        const uint32_t length = remaining < kChunkSize ? remaining : kChunkSize;
        // The builder turns these into big-endian in place.
        uint32_t imageSize = size;
        uint32_t offset = size - remaining;
        const HVManagerStatus sent =
            session.send(dez_build_firmware_image(&imageSize, &offset, chunk, length));
        if (sent != HVManagerStatusSuccess) return session.finish(sent);
        HVLogVerbose("Wait for firmware operation to complete.");
        const ManagerAnswer answer = session.await(kChunkTimeout);
        HVLogVerbose("Firmware operation completed.");
        remaining -= length;
        if (delegate)
            delegate->hvManagerFirmwareUpgradeProgress(1.0f - static_cast<float>(remaining) /
                                                                  static_cast<float>(size));
        chunk += length;
        if (!answer.acknowledged()) return session.finish(HVManagerStatusFailed);
    }

    const HVManagerStatus sent = session.send(dez_build_simple(DEZ_RESET));
    if (sent != HVManagerStatusSuccess) return session.finish(sent);

    // Armed before the observer is registered, so an announcement right after it counts.
    ResetWait &w = resetWait();
    {
        std::lock_guard waitLock(w.mutex);
        w.armed = true;
        w.seen = false;
        w.resetConnection = session.connectionID();
        w.loop = RunLoop::main().isCurrent() ? RunLoop::currentShared() : nullptr;
    }
    auto &center = hv::platform::NotificationCenter::defaultCenter();
    const auto observer =
        center.addObserver(HVAccessoryDidConnectNotification, &HVAccessory::sharedClass(),
                           [](const hv::platform::Notification &) { reconnectAnnounced(); });
    HVLogVerbose("Wait for reset operation to complete.");
    HVManagerStatus result = HVManagerStatusFailed;
    if (awaitReconnect(SteadyClock::now() + kResetTimeout)) {
        HVLogVerbose("Reset operation completed.");
        result = HVManagerStatusSuccess;
    } else {
        HVLogVerbose("Reset operation timed out.");
    }
    {
        std::lock_guard waitLock(w.mutex);
        w.armed = false;
        w.loop.reset();
    }
    center.removeObserver(observer);
    return session.finish(result);
}
