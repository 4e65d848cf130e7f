// The driver object: construction, open and close, the accessors and the result translation.
#include "Smartcard/IFDH/HVIFDH.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <string>

#include "Accessory/HVSessionProtocolDriver.h"
#include "Platform/Application.h"
#include "Platform/ExternalAccessory/EAAccessoryManager.h"
#include "Platform/RunLoop.h"
#include "Smartcard/IFDH/IFDHModule.h"
#include "vorasel/HVAccessory.h"
#include "vorasel/HVLog.h"

using hv::platform::SteadyClock;

namespace hv::ifdh {

std::atomic<HVIFDHEventCallback> cb{nullptr};
std::atomic<HVIFDH *> driverInstance{nullptr};

namespace {

HVSessionStatus registryStart(int32_t protocol, HVSessionReceiveCallback callback) {
    return HVSessionProtocolDriver::sharedClass().startSessionWithProtocol(protocol, callback);
}

HVSessionStatus registryEnd(int32_t protocol) {
    return HVSessionProtocolDriver::sharedClass().endSessionWithProtocol(protocol);
}

HVSessionStatus registryWrite(const uint8_t *data, uint16_t length, int32_t protocol) {
    // A wait after a time extension sends nothing.
    if (length == 0) return HVSessionStatusSuccess;
    return HVSessionProtocolDriver::sharedClass().writeData(data, length, protocol);
}

constexpr HVIFDHSessionOps kRegistryOps = {registryStart, registryEnd, registryWrite, false};
std::atomic<const HVIFDHSessionOps *> ops{&kRegistryOps};

constexpr uint32_t kOpenTimeout = 3000;
constexpr int kOpenAttempts = 7;
constexpr auto kOpenSlice = std::chrono::milliseconds(20);
constexpr auto kSettling = std::chrono::milliseconds(150);
constexpr auto kRetryPause = std::chrono::milliseconds(500);

double secondsNow() {
    return std::chrono::duration<double>(SteadyClock::now().time_since_epoch()).count();
}

// Turns the calling thread's run loop for the whole interval.
void runLoopFor(SteadyClock::duration interval) {
    static const std::function<bool()> never = [] { return false; };
    hv::platform::runCurrentLoopUntil(SteadyClock::now() + interval, never, kOpenSlice);
}

constexpr HVIFDHCCIDDescriptor kDescriptor = {
    .bMaxSlotIndex = 0,
    .bVoltageSupport = 3,  // 5.0 V and 3.0 V
    .dwProtocols = 3,      // T=0 and T=1
    .dwDefaultClock = 4000,
    .dwMaximumClock = 10000,
    .bNumClockSupported = 0,
    .dwDataRate = 9600,
    .dwMaxDataRate = 500000,
    .bNumDataRatesSupported = 0,
    .dwMaxIFSD = 254,
    .dwSynchProtocols = 0,
    .dwMechanical = 0,
    .dwFeatures = 0x00010030,  // TPDU exchange, automatic baud rate and clock frequency
    .dwMaxCCIDMessageLength = 270,
    .bClassGetResponse = 0,
    .bClassEnvelope = 0,
    .wLCDLayout = 0,
    .bPINSupport = 0,
    .bMaxCCIDBusySlots = 1,
};

}  // namespace

const HVIFDHSessionOps &sessionOps() {
    return *ops.load(std::memory_order_acquire);
}

}  // namespace hv::ifdh

using namespace hv::ifdh;

HVIFDH &HVIFDH::sharedInstance() {
    // Never destroyed: its event thread runs for the life of the process.
    static HVIFDH *instance = new HVIFDH;
    return *instance;
}

HVIFDH::HVIFDH() : eventHandlerThread_([this] { eventHandler(); }, "hv.ifdh.events") {
    eventHandlerThread_.start();
    auto &center = hv::platform::NotificationCenter::defaultCenter();
    const void *application = &hv::platform::Application::shared();
    const void *accessory = &HVAccessory::sharedClass();
    center.addObserver(hv::platform::Application::WillEnterForegroundNotification, application,
                       [this](const auto &n) { applicationWillEnterForeground(n); });
    center.addObserver(hv::platform::Application::DidEnterBackgroundNotification, application,
                       [this](const auto &n) { applicationDidEnterBackground(n); });
    center.addObserver(HVAccessoryDidConnectNotificationPriority, accessory,
                       [this](const auto &n) { accessoryConnected(n); });
    center.addObserver(HVAccessoryDidDisconnectNotificationPriority, accessory,
                       [this](const auto &n) { accessoryDisconnected(n); });
}

void HVIFDH::setSessionOps(const HVIFDHSessionOps *sessionOps) {
    hv::ifdh::ops.store(sessionOps ? sessionOps : &kRegistryOps, std::memory_order_release);
}

HVIFDHStatus HVIFDH::convert_error(int32_t status) {
    switch (status) {
        case HVSessionStatusSuccess:
            return HVIFDHStatusSuccess;
        case HVSessionStatusCreateFailed:
            return HVIFDHStatusSessionCreateFailed;
        case HVSessionStatusAccessoryNotFound:
            return HVIFDHStatusReaderUnavailable;
        case HVSessionStatusError:
            return HVIFDHStatusCommunicationError;
        default:
            return HVIFDHStatusFailed;
    }
}

HVIFDHStatus HVIFDH::startSessions() {
    const HVIFDHSessionOps &sessions = sessionOps();
    HVSessionStatus status = sessions.start(HVAccessoryProtocolCCIDBulk, cb_bulk);
    if (status == HVSessionStatusSuccess) {
        status = sessions.start(HVAccessoryProtocolCCIDInterrupt, cb_interrupt);
        // No half-open pair stays registered.
        if (status != HVSessionStatusSuccess) sessions.end(HVAccessoryProtocolCCIDBulk);
    }
    if (status == HVSessionStatusSuccess) dsc_ = kDescriptor;
    return convert_error(status);
}

HVIFDHStatus HVIFDH::open() {
    std::lock_guard lock(lock_);
    driverInstance.store(this);
    rsp_timeout_.store(kOpenTimeout);
    clearATR();
    resetPipes();

    // Sessions start no sooner than the settling time after the last close.
    const double since = std::fabs(secondsNow() - timestamp_);
    const double settling = std::chrono::duration<double>(kSettling).count();
    if (since < settling)
        runLoopFor(std::chrono::duration_cast<SteadyClock::duration>(
            std::chrono::duration<double>(settling - since)));

    for (int attempt = 1;; ++attempt) {
        const HVIFDHStatus r = startSessions();
        switch (r) {
            case HVIFDHStatusSuccess:
                accessory_state_.store(HVIFDHAccessoryPresent | HVIFDHAccessoryReaderOpen);
                return HVIFDHStatusSuccess;
            case HVIFDHStatusReaderUnavailable:
                accessory_state_.store(0);
                return r;
            case HVIFDHStatusSessionCreateFailed:
                // A refused restart of an open reader is no success: the registry ended the
                // old bulk session before trying the new one. What is left of the old pair
                // goes, and the reader counts as closed until a start succeeds.
                if (accessory_state_.load() & HVIFDHAccessoryReaderOpen) {
                    const HVIFDHSessionOps &sessions = sessionOps();
                    sessions.end(HVAccessoryProtocolCCIDInterrupt);
                    sessions.end(HVAccessoryProtocolCCIDBulk);
                }
                accessory_state_.store(HVIFDHAccessoryPresent);
                break;
            case HVIFDHStatusCommunicationError:
                accessory_state_.store(0);
                break;
            default:
                accessory_state_.store(HVIFDHAccessoryPresent);
                break;
        }
        HVLogError("Open FAILED %d", static_cast<int>(r));
        if (attempt == kOpenAttempts) return r;
        runLoopFor(kRetryPause);
        HVLogVerbose("Previouse called to open failed, new attempt %d", attempt);
    }
}

HVIFDHStatus HVIFDH::close() {
    // Before the lock: an exchange waiting on another thread holds it, and ends now with 16
    // instead of running to its time-out.
    accessory_state_.fetch_and(HVIFDHAccessoryPresent);
    endBulkWait();
    std::lock_guard lock(lock_);
    accessory_state_.fetch_and(HVIFDHAccessoryPresent);
    endBulkWait();
    const HVIFDHSessionOps &sessions = sessionOps();
    sessions.end(HVAccessoryProtocolCCIDInterrupt);
    sessions.end(HVAccessoryProtocolCCIDBulk);
    timestamp_ = secondsNow();
    return HVIFDHStatusSuccess;
}

void HVIFDH::registerEventCallback(HVIFDHEventCallback callback) {
    cb.store(callback);
}

void HVIFDH::unregisterEventCallback() {
    cb.store(nullptr);
}

HVIFDHATR HVIFDH::ATR() const {
    std::lock_guard lock(atrLock_);
    return atr_;
}

void HVIFDH::storeATR(const uint8_t *atr, uint8_t length) {
    std::lock_guard lock(atrLock_);
    if (length > sizeof atr_.data) length = sizeof atr_.data;
    std::memcpy(atr_.data, atr, length);
    atr_.length = length;
}

void HVIFDH::clearATR() {
    std::lock_guard lock(atrLock_);
    atr_ = HVIFDHATR{};
}

HVIFDHCCIDDescriptor HVIFDH::dsc() const {
    std::lock_guard lock(lock_);
    return dsc_;
}

bool HVIFDH::voraselAvailable() const {
    static const std::string manager =
        HVProtocolSession::stringFromProtocol(HVAccessoryProtocolManager);
    for (const auto &accessory :
         hv::platform::EAAccessoryManager::sharedAccessoryManager().connectedAccessories())
        if (accessory->offersProtocol(manager)) return true;
    return false;
}
