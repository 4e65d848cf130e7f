// Contexts and the reader table: establishing and releasing contexts (the first opens the
// reader driver, the last closes it), listing the reader, freeing handed-out memory and
// cancelling a status-change wait.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Accessory/HVProtocolSession.h"
#include "Platform/Application.h"
#include "Smartcard/winscard/Calls.h"
#include "Smartcard/winscard/ReaderRecord.h"
#include "vorasel/HVAccessory.h"
#include "vorasel/HVLog.h"

extern "C" {
HV_EXPORT SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
HV_EXPORT SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
HV_EXPORT SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};
const int32_t g_bgm_disable = 1;
const char sc_reader_name[26] = "Halvane Smart Card Reader";
}
static_assert(sizeof(SCARD_IO_REQUEST) == 8);

namespace hv::pcsc {

ReaderRecord reader;

namespace {
std::atomic<uint32_t> pendingCancels{0};
std::atomic<uint32_t> statusWaits{0};
}  // namespace

void requestCancel() {
    uint32_t pending = pendingCancels.load();
    for (;;) {
        const uint32_t room = std::max<uint32_t>(1, statusWaits.load());
        if (pending >= room) return;
        if (pendingCancels.compare_exchange_weak(pending, pending + 1)) return;
    }
}

bool takeCancel() {
    uint32_t pending = pendingCancels.load();
    while (pending != 0)
        if (pendingCancels.compare_exchange_weak(pending, pending - 1)) return true;
    return false;
}

void beginStatusWait() {
    statusWaits.fetch_add(1);
}

void endStatusWait() {
    statusWaits.fetch_sub(1);
}

namespace {

struct Contexts {
    std::recursive_mutex contextLock;
    std::atomic<bool> lockPresent{false};
    std::mutex mutex;  // guards list; taken after contextLock, never the other way round
    std::vector<uint32_t> list;
    std::atomic<size_t> live{0};  // list.size(), for checks that take no lock
    std::atomic<uint32_t> counter{0x00010000};
};

Contexts &contexts() {
    // Never destroyed: application threads may still call in while the process exits.
    static Contexts *c = new Contexts;
    return *c;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// The application must declare the bulk, interrupt and control protocols of the reader.
bool applicationDeclaresReader() {
    const auto declared = platform::Application::shared().infoList(
        platform::Application::SupportedAccessoryProtocolsKey);
    for (const char *suffix : {".ccidbulk", ".ccidinterrupt", ".ccidcontrol"}) {
        const std::string wanted = lower(std::string(HVVendorProtocolPrefix) + suffix);
        const bool found = std::any_of(declared.begin(), declared.end(),
                                       [&](const std::string &p) { return lower(p) == wanted; });
        if (!found) return false;
    }
    return true;
}

// Multi-string of the one reader: its name, its zero byte, and the list's zero byte.
constexpr DWORD kReaderListLength = sizeof sc_reader_name + 1;

void fillReaderList(char *out) {
    std::memcpy(out, sc_reader_name, sizeof sc_reader_name);
    out[sizeof sc_reader_name] = '\0';
}

}  // namespace

bool contextsPresent() {
    return contexts().live.load() != 0;
}

bool isValidContext(uint32_t hContext) {
    Contexts &c = contexts();
    std::lock_guard lock(c.mutex);
    return std::find(c.list.begin(), c.list.end(), hContext) != c.list.end();
}

std::recursive_mutex &contextLock() {
    return contexts().contextLock;
}

bool contextLockPresent() {
    return contexts().lockPresent.load();
}

bool systemOlderThan5() {
    const std::string version = platform::Application::shared().operatingSystemVersion();
    return std::strtod(version.c_str(), nullptr) < 5.0;
}

}  // namespace hv::pcsc

using namespace hv::pcsc;

namespace hv::pcsc::calls {

LONG SCardEstablishContext(DWORD dwScope, LPCVOID pvReserved1, LPCVOID pvReserved2,
                           LPSCARDCONTEXT phContext) {
    (void)pvReserved2;
    HVLogDebug("dwScope = %d", dwScope);
    Contexts &c = contexts();
    c.lockPresent.store(true);

    if (!applicationDeclaresReader()) return SCARD_E_INVALID_TARGET;
    if (!phContext) return SCARD_E_INVALID_PARAMETER;
    if (dwScope & ~static_cast<DWORD>(SCARD_SCOPE_SYSTEM)) {
        *phContext = 0;
        return SCARD_E_INVALID_VALUE;
    }
    HVIFDH &ifd = driver();

    std::lock_guard lock(c.contextLock);
    // A last release may have run between the flag above and this lock.
    c.lockPresent.store(true);
    bool first;
    {
        std::lock_guard listLock(c.mutex);
        first = c.list.empty();
    }
    if (first) {
        reader.dwState.store(SCARD_STATE_UNKNOWN);
        reader.hActiveCard.store(kNoCard);
        reader.dwActiveProtocol.store(0);
        if (pvReserved1 && *static_cast<const uint8_t *>(pvReserved1) == 1) {
            if (systemOlderThan5()) return SCARD_E_READER_UNSUPPORTED;
            HVLogVerbose("Power management disabled");
            reader.bPowerManagement.store(0);
        } else {
            reader.bPowerManagement.store(1);
        }
        ifd.registerEventCallback(ifd_cb);
        const HVIFDHStatus status = ifd.open();
        wakeWaiters();
        if (status != HVIFDHStatusSuccess && status != HVIFDHStatusReaderUnavailable &&
            status != HVIFDHStatusSessionCreateFailed)
            return SCARD_E_NO_SERVICE;
    }
    const uint32_t value = c.counter.fetch_add(1) + 1;
    {
        std::lock_guard listLock(c.mutex);
        c.list.push_back(value);
        c.live.store(c.list.size());
    }
    *phContext = value;
    HVLogDebug("*phContext = 0x%08x", value);
    return SCARD_S_SUCCESS;
}

LONG SCardReleaseContext(SCARDCONTEXT hContext) {
    HVLogDebug("hContext = 0x%08x", hContext);
    Contexts &c = contexts();
    if (!c.lockPresent.load()) {
        HVLogVerbose("context_lock is nil!");
        return SCARD_E_INVALID_HANDLE;
    }
    std::lock_guard lock(c.contextLock);
    bool last;
    {
        std::lock_guard listLock(c.mutex);
        auto it = std::find(c.list.begin(), c.list.end(), hContext);
        if (it == c.list.end()) return SCARD_E_INVALID_HANDLE;
        c.list.erase(it);
        c.live.store(c.list.size());
        last = c.list.empty();
    }
    if (last) {
        HVIFDH &ifd = driver();
        ifd.unregisterEventCallback();
        const HVIFDHStatus closed = ifd.close();
        reader.dwState.store(SCARD_STATE_UNKNOWN);
        ifd.setAuto_power_on(false);
        HVLogVerbose("reader.pIfd close = %d\n", closed);
        c.lockPresent.store(false);
        wakeWaiters();
    }
    return SCARD_S_SUCCESS;
}

LONG SCardIsValidContext(SCARDCONTEXT hContext) {
    HVLogDebug("hContext = 0x%08x", hContext);
    return isValidContext(hContext) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG SCardListReaders(SCARDCONTEXT hContext, LPCSTR mszGroups, LPSTR mszReaders,
                      LPDWORD pcchReaders) {
    (void)mszGroups;
    HVLogDebug("hContext = 0x%08x", hContext);
    if (!isValidContext(hContext)) return SCARD_E_INVALID_HANDLE;
    if (!pcchReaders) return SCARD_E_INVALID_PARAMETER;
    if (!(driver().accessory_state() & HVIFDHAccessoryPresent) &&
        !HVAccessory::sharedClass().isConnected()) {
        *pcchReaders = 0;
        return SCARD_E_NO_READERS_AVAILABLE;
    }
    if (*pcchReaders == SCARD_AUTOALLOCATE) {
        if (!mszReaders) {
            *pcchReaders = kReaderListLength;
            return SCARD_E_INVALID_PARAMETER;
        }
        auto *block = static_cast<char *>(allocateOutputBlock(kReaderListLength));
        if (!block) {
            *pcchReaders = kReaderListLength;
            return SCARD_E_NO_MEMORY;
        }
        fillReaderList(block);
        std::memcpy(mszReaders, &block, sizeof block);
        *pcchReaders = kReaderListLength;
        return SCARD_S_SUCCESS;
    }
    if (!mszReaders) {
        *pcchReaders = kReaderListLength;
        return SCARD_S_SUCCESS;
    }
    if (*pcchReaders < kReaderListLength) {
        *pcchReaders = kReaderListLength;
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    fillReaderList(mszReaders);
    *pcchReaders = kReaderListLength;
    return SCARD_S_SUCCESS;
}

LONG SCardListReaderGroups(SCARDCONTEXT hContext, LPSTR mszGroups, LPDWORD pcchGroups) {
    (void)mszGroups;
    (void)pcchGroups;
    HVLogDebug("hContext = 0x%08x", hContext);
    return 78;
}

LONG SCardControl(SCARDHANDLE hCard, DWORD dwControlCode, LPCVOID pbSendBuffer, DWORD cbSendLength,
                  LPVOID pbRecvBuffer, DWORD cbRecvLength, LPDWORD lpBytesReturned) {
    (void)hCard, (void)dwControlCode, (void)pbSendBuffer, (void)cbSendLength;
    (void)pbRecvBuffer, (void)cbRecvLength, (void)lpBytesReturned;
    HVLogDebug("");
    return 78;
}

LONG SCardFreeMemory(SCARDCONTEXT hContext, LPCVOID pvMem) {
    HVLogDebug("hContext = 0x%08x", hContext);
    if (!isValidContext(hContext)) return SCARD_E_INVALID_HANDLE;
    return freeOutputBlock(pvMem) ? SCARD_S_SUCCESS : SCARD_E_INVALID_PARAMETER;
}

LONG SCardCancel(SCARDCONTEXT hContext) {
    HVLogDebug("hContext = 0x%08x", hContext);
    if (!isValidContext(hContext)) return SCARD_E_INVALID_HANDLE;
    requestCancel();
    wakeWaiters();
    return SCARD_S_SUCCESS;
}

}  // namespace hv::pcsc::calls
