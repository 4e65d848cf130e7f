// The object smart-card interface over the PC/SC functions: one shared context, reader list
// and card connection for every HVSmartcard object, serialised by one class-wide lock.
#include "vorasel/HVSmartcard.h"

#include <syslog.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "Platform/Application.h"
#include "Platform/ExternalAccessory/EAAccessoryManager.h"
#include "Platform/NotificationCenter.h"
#include "Smartcard/HVSmartcardConnection.h"
#include "vorasel/HVAccessory.h"
#include "vorasel/HVLog.h"
#include "vorasel/winscard.h"

using hv::platform::Application;
using hv::platform::NotificationCenter;

namespace {

constexpr uint32_t kRemovedCard = 0xFFFFFFFE;  // never a live handle
constexpr DWORD kReadersCapacity = 128;

struct SharedState {
    std::recursive_mutex classLock;
    // Guarded by classLock.
    SCARDCONTEXT context = 0;
    char readers[kReadersCapacity + 1] = {};
    SCARD_IO_REQUEST send_pci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};
    // Also written by the removal handler, which takes no lock.
    std::atomic<SCARDHANDLE> card{0};
    // Numbers the successful connects, so a handle issued for an earlier one is known as such.
    std::atomic<uint64_t> connection{0};
    // The notification observers follow the shared context: whichever object closes it
    // removes them, so a dropped object never leaves observers behind.
    std::mutex observersMutex;
    std::vector<hv::platform::ObserverToken> observers;
};

thread_local uint64_t lastConnection = 0;

SharedState &shared() {
    // Never destroyed: card notifications may still arrive while the process exits.
    static auto *state = new SharedState;
    return *state;
}

void startObserving() {
    SharedState &s = shared();
    hv::platform::EAAccessoryManager::sharedAccessoryManager().registerForLocalNotifications();
    auto &center = NotificationCenter::defaultCenter();
    const void *accessory = &HVAccessory::sharedClass();
    std::vector<hv::platform::ObserverToken> tokens;
    tokens.push_back(center.addObserver("HV_CARD_INSERTED", nullptr,
                                        [](const auto &) { HVSmartcard().smartcardInserted(); }));
    tokens.push_back(center.addObserver("HV_CARD_REMOVED", nullptr,
                                        [](const auto &) { HVSmartcard().smartcardRemoved(); }));
    tokens.push_back(center.addObserver(HVAccessoryDidConnectNotification, accessory,
                                        [](const auto &) { HVSmartcard().accessoryConnected(); }));
    tokens.push_back(
        center.addObserver(HVAccessoryDidDisconnectNotification, accessory,
                           [](const auto &) { HVSmartcard().accessoryDisconnected(); }));
    std::lock_guard lock(s.observersMutex);
    s.observers.insert(s.observers.end(), tokens.begin(), tokens.end());
}

void stopObserving() {
    SharedState &s = shared();
    std::vector<hv::platform::ObserverToken> tokens;
    {
        std::lock_guard lock(s.observersMutex);
        tokens.swap(s.observers);
    }
    for (auto token : tokens)
        NotificationCenter::defaultCenter().removeObserver(token);
}

const SCARD_IO_REQUEST &pciFor(DWORD protocol) {
    return protocol == SCARD_PROTOCOL_T0   ? g_rgSCardT0Pci
           : protocol == SCARD_PROTOCOL_T1 ? g_rgSCardT1Pci
                                           : g_rgSCardRawPci;
}

bool validProtocolMask(int32_t protocol) {
    return protocol >= 1 && protocol <= 3;
}

}  // namespace

uint64_t hv::smartcard::currentConnection() {
    return shared().connection.load();
}

std::unique_lock<std::recursive_mutex> hv::smartcard::holdConnections() {
    return std::unique_lock(shared().classLock);
}

uint64_t hv::smartcard::lastConnectionOnThisThread() {
    return lastConnection;
}

void HVSmartcard::checkMainThreadExecution(const std::string &operation) {
    if (!Application::shared().isMainThread()) return;
    // Straight to the system log: the warning must be seen whatever the log level.
    Application::shared().systemLog(LOG_WARNING, "Warning: Calling " + operation +
                                                     " in the main thread is not recommended "
                                                     "and may cause unpredictable behavior.");
}

HVSmartcardStatus HVSmartcard::open() {
    return openWithPowerManagement(nullptr);
}

HVSmartcardStatus HVSmartcard::openWithDisabledBackgroundManagement() {
    return openWithPowerManagement(&g_bgm_disable);
}

HVSmartcardStatus HVSmartcard::openWithPowerManagement(const void *setting) {
    checkMainThreadExecution("HVSmartcard:open(WithDisabledBackgroundManagement)");
    SharedState &s = shared();
    std::lock_guard lock(s.classLock);
    if (s.context != 0) return HVSmartcardStatusSuccess;
    startObserving();
    SCARDCONTEXT context = 0;
    const LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, setting, nullptr, &context);
    if (rv != SCARD_S_SUCCESS) {
        s.context = 0;
        stopObserving();
        return pcsc_to_hvsc(static_cast<uint32_t>(rv));
    }
    s.context = context;
    return HVSmartcardStatusSuccess;
}

HVSmartcardStatus HVSmartcard::close() {
    checkMainThreadExecution("HVSmartcard:close");
    SharedState &s = shared();
    std::lock_guard lock(s.classLock);
    SCardReleaseContext(s.context);
    s.context = 0;
    stopObserving();
    return HVSmartcardStatusSuccess;
}

HVSmartcardStatus HVSmartcard::connect(int32_t protocol) {
    checkMainThreadExecution("HVSmartcard:connect");
    SharedState &s = shared();
    std::lock_guard lock(s.classLock);
    if (!validProtocolMask(protocol)) return HVSmartcardStatusInvalidValue;

    DWORD length = kReadersCapacity;
    LONG rv = SCardListReaders(s.context, nullptr, s.readers, &length);
    if (rv != SCARD_S_SUCCESS) return pcsc_to_hvsc(static_cast<uint32_t>(rv));

    SCARDHANDLE card = 0;
    DWORD active = 0;
    rv = SCardConnect(s.context, s.readers, SCARD_SHARE_EXCLUSIVE, static_cast<DWORD>(protocol),
                      &card, &active);
    if (rv != SCARD_S_SUCCESS) return pcsc_to_hvsc(static_cast<uint32_t>(rv));
    s.card.store(card);
    s.send_pci = pciFor(active);
    lastConnection = s.connection.fetch_add(1) + 1;
    return HVSmartcardStatusSuccess;
}

HVSmartcardStatus HVSmartcard::disconnect(int32_t disposition) {
    checkMainThreadExecution("HVSmartcard:disconnect");
    SharedState &s = shared();
    std::lock_guard lock(s.classLock);
    if (disposition < 0 || disposition > 2) return HVSmartcardStatusInvalidValue;
    const LONG rv = SCardDisconnect(s.card.load(), static_cast<DWORD>(disposition));
    if (rv == SCARD_E_INVALID_HANDLE) return HVSmartcardStatusSuccess;
    return pcsc_to_hvsc(static_cast<uint32_t>(rv));
}

HVSmartcardStatus HVSmartcard::reconnect(int32_t protocol, int32_t slotAction) {
    checkMainThreadExecution("HVSmartcard:reconnect");
    SharedState &s = shared();
    std::lock_guard lock(s.classLock);
    if (!validProtocolMask(protocol)) return HVSmartcardStatusInvalidValue;
    DWORD initialization;
    if (slotAction == 0)
        initialization = SCARD_UNPOWER_CARD;  // cold reset
    else if (slotAction == 1)
        initialization = SCARD_RESET_CARD;  // warm reset
    else
        return HVSmartcardStatusInvalidValue;

    DWORD active = static_cast<DWORD>(protocol);
    const LONG rv = SCardReconnect(s.card.load(), SCARD_SHARE_EXCLUSIVE,
                                   static_cast<DWORD>(protocol), initialization, &active);
    if (rv == SCARD_E_INVALID_HANDLE) return HVSmartcardStatusNotConnected;
    if (rv == SCARD_S_SUCCESS) {
        s.send_pci = pciFor(active);
        return HVSmartcardStatusSuccess;
    }
    HVLogVerbose("SCardReconnect returns: %i", rv);
    return pcsc_to_hvsc(static_cast<uint32_t>(rv));
}

HVSmartcardStatus HVSmartcard::transmit(const uint8_t *command, uint16_t commandLength,
                                        uint8_t *response, uint16_t *responseLength) {
    // Without a place for the length there is no capacity to honour.
    if (!responseLength) return HVSmartcardStatusInvalidParameter;
    SharedState &s = shared();
    std::lock_guard lock(s.classLock);
    DWORD received = *responseLength;
    const LONG rv = SCardTransmit(s.card.load(), &s.send_pci, command, commandLength, nullptr,
                                  response, &received);
    if (rv == SCARD_S_SUCCESS) {
        *responseLength = static_cast<uint16_t>(received);
        return HVSmartcardStatusSuccess;
    }
    *responseLength = 0;
    if (rv == SCARD_E_INVALID_HANDLE) return HVSmartcardStatusNotConnected;
    return pcsc_to_hvsc(static_cast<uint32_t>(rv));
}

HVSmartcardSlotStatus HVSmartcard::getSlotStatus() {
    SharedState &s = shared();
    std::lock_guard lock(s.classLock);
    if (s.readers[0] == '\0') {
        DWORD length = kReadersCapacity;
        if (SCardListReaders(s.context, nullptr, s.readers, &length) != SCARD_S_SUCCESS)
            s.readers[0] = '\0';
    }

    SCARD_READERSTATE state{};
    state.szReader = s.readers;
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    if (SCardGetStatusChange(s.context, 0, &state, 1) != SCARD_S_SUCCESS)
        return HVSmartcardSlotStatusUnknown;
    if (state.dwEventState & SCARD_STATE_UNKNOWN) {
        state.dwCurrentState = state.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
        if (SCardGetStatusChange(s.context, 1000, &state, 1) != SCARD_S_SUCCESS)
            return HVSmartcardSlotStatusUnknown;
    }
    if (state.dwEventState & SCARD_STATE_EMPTY) return HVSmartcardSlotStatusAbsent;

    DWORD cardState = 0;
    if (SCardStatus(s.card.load(), nullptr, nullptr, &cardState, nullptr, nullptr, nullptr) !=
        SCARD_S_SUCCESS)
        return HVSmartcardSlotStatusPresent;
    switch (cardState) {
        case SCARD_ABSENT:
            return HVSmartcardSlotStatusAbsent;
        case SCARD_PRESENT:
        case SCARD_SWALLOWED:
            return HVSmartcardSlotStatusPresent;
        case SCARD_POWERED:
        case SCARD_NEGOTIABLE:
        case SCARD_SPECIFIC:
            return HVSmartcardSlotStatusPowered;
        default:
            return HVSmartcardSlotStatusUnknown;
    }
}

int32_t HVSmartcard::getCurrentProtocol() {
    SharedState &s = shared();
    std::lock_guard lock(s.classLock);
    DWORD protocol = 0;
    if (SCardStatus(s.card.load(), nullptr, nullptr, nullptr, &protocol, nullptr, nullptr) !=
        SCARD_S_SUCCESS)
        return 0;
    return protocol == SCARD_PROTOCOL_T0 || protocol == SCARD_PROTOCOL_T1
               ? static_cast<int32_t>(protocol)
               : 0;
}

std::optional<std::vector<uint8_t>> HVSmartcard::getATR() {
    SharedState &s = shared();
    std::lock_guard lock(s.classLock);
    uint8_t atr[MAX_ATR_SIZE];
    DWORD length = sizeof atr;
    if (SCardStatus(s.card.load(), nullptr, nullptr, nullptr, nullptr, atr, &length) !=
        SCARD_S_SUCCESS)
        return std::nullopt;
    if (length > sizeof atr) length = sizeof atr;
    return std::vector<uint8_t>(atr, atr + length);
}

void HVSmartcard::playSound(const std::string &name) {
    // The sound thread calls the host's hook; nothing here waits for it.
    if (auto path = Application::shared().pathForResource(name, "wav"))
        Application::shared().playSystemSound(*path);
}

void HVSmartcard::smartcardInserted() {
    HVLogVerbose("Card inserted!");
    if (Application::shared().boolForKey("HVPlaySounds")) playSound("HVSmartcardInserted");
}

void HVSmartcard::smartcardRemoved() {
    HVLogVerbose("Card removed!");
    shared().card.store(kRemovedCard);
    if (Application::shared().boolForKey("HVPlaySounds")) playSound("HVSmartcardRemoved");
}

void HVSmartcard::accessoryConnected() {
    HVLogVerbose("Accessory connected!");
}

void HVSmartcard::accessoryDisconnected() {
    HVLogVerbose("Accessory disconnected!");
}
