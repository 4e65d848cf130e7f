// Reader events and status change: ifd_cb turns the driver's events into the reader state and
// the card notifications; SCardGetStatusChange waits for that state to differ from the
// caller's.
#include <cstring>

#include "Platform/NotificationCenter.h"
#include "Smartcard/winscard/Calls.h"
#include "Smartcard/winscard/ReaderRecord.h"
#include "vorasel/HVAccessory.h"
#include "vorasel/HVLog.h"

extern "C" {
HV_EXPORT void *callback_pointers[48 / sizeof(void *)] = {};
}
static_assert(sizeof callback_pointers == 48);

namespace {

using namespace hv::pcsc;

constexpr const char *kCardInserted = "HV_CARD_INSERTED";
constexpr const char *kCardRemoved = "HV_CARD_REMOVED";

// Reopens the reader for events 0 and 5. Under context_lock, so that it cannot reopen a
// reader that the last SCardReleaseContext has just closed; and not when it is open already,
// which would restart the sessions under a transmission in flight.
void reopenReader() {
    std::lock_guard lock(contextLock());
    if (!contextsPresent() || readerOpen()) return;
    driver().open();
    wakeWaiters();
}

void closeReader() {
    driver().close();
    wakeWaiters();
}

// A card change ends the old card's protocol: the next connect negotiates afresh even when the
// new card was powered on by itself. A connection already made to the new card keeps its own.
void cardInserted() {
    if (reader.hActiveCard.load() == kNoCard) reader.dwActiveProtocol.store(0);
    constexpr uint32_t cleared =
        SCARD_STATE_UNKNOWN | SCARD_STATE_EMPTY | SCARD_STATE_PRESENT | SCARD_STATE_UNPOWERED;
    uint32_t previous = reader.dwState.load();
    while (!reader.dwState.compare_exchange_weak(
        previous, (previous & ~cleared) | SCARD_STATE_PRESENT | SCARD_STATE_UNPOWERED)) {
    }
    wakeWaiters();
    // The first card state after the reader opened is no news.
    if (previous != SCARD_STATE_UNKNOWN)
        hv::platform::NotificationCenter::defaultCenter().post(kCardInserted);
}

void cardRemoved() {
    reader.hActiveCard.store(kNoCard);
    reader.dwActiveProtocol.store(0);
    const uint32_t previous = reader.dwState.exchange(SCARD_STATE_EMPTY);
    wakeWaiters();
    if (previous != SCARD_STATE_UNKNOWN)
        hv::platform::NotificationCenter::defaultCenter().post(kCardRemoved);
}

// Copies the driver's ATR into the reader state; false (after the Error line) when the driver
// reports more than fits.
bool copyAtr(SCARD_READERSTATE &state) {
    const HVIFDHATR atr = driver().ATR();
    if (atr.length > MAX_ATR_SIZE) {
        HVLogError("Invalid ATR length! %d bytes", atr.length);
        return false;
    }
    if (atr.length > 0) {
        std::memcpy(state.rgbAtr, atr.data, atr.length);
        state.cbAtr = atr.length;
    }
    return true;
}

}  // namespace

void ifd_cb(uint8_t event) {
    const bool powerManagement = reader.bPowerManagement.load() != 0;
    switch (event) {
        case HVIFDHEventAccessoryConnected:
            if (!powerManagement) HVLogVerbose("power management disabled\n");
            reopenReader();
            break;
        case HVIFDHEventAccessoryDisconnected:
            if (!powerManagement) HVLogVerbose("power management disabled\n");
            reader.hActiveCard.store(kNoCard);
            storeState(SCARD_STATE_UNKNOWN);
            closeReader();
            break;
        case HVIFDHEventCardInserted:
            cardInserted();
            break;
        case HVIFDHEventCardRemoved:
            cardRemoved();
            break;
        case HVIFDHEventDidEnterBackground:
            if (!powerManagement) {
                HVLogVerbose("power management disabled\n");
                break;
            }
            reader.hActiveCard.store(kNoCard);
            storeState(SCARD_STATE_UNKNOWN);
            closeReader();
            break;
        case HVIFDHEventWillEnterForeground:
            if (!powerManagement) {
                HVLogVerbose("power management disabled\n");
                break;
            }
            reopenReader();
            break;
        default:
            HVLogError("Unknown event %d\n", event);
            break;
    }
}

namespace hv::pcsc::calls {

LONG SCardGetStatusChange(SCARDCONTEXT hContext, DWORD dwTimeout,
                          LPSCARD_READERSTATE rgReaderStates, DWORD cReaders) {
    HVLogDebug("hContext = 0x%08x, dwTimeout = %d", hContext, dwTimeout);
    if (!isValidContext(hContext)) return SCARD_E_INVALID_HANDLE;
    if (cReaders != 1) return SCARD_E_INVALID_VALUE;
    if (!rgReaderStates) return SCARD_E_INVALID_PARAMETER;

    HVIFDH &ifd = driver();
    if (ifd.accessory_state() == 0 && HVAccessory::sharedClass().isConnected())
        waitForReaderConnect(250);
    SCARD_READERSTATE &state = rgReaderStates[0];
    if (!state.szReader || std::strcmp(state.szReader, ifd.getName()) != 0)
        return SCARD_E_UNKNOWN_READER;
    if (ifd.accessory_state() == 0) return SCARD_E_UNKNOWN_READER;
    if (reader.dwState.load() == SCARD_STATE_UNKNOWN)
        waitForReaderStateChange(SCARD_STATE_UNKNOWN, 2000);

    state.cbAtr = 0;
    std::memset(state.rgbAtr, 0, sizeof state.rgbAtr);
    if (!copyAtr(state)) return SCARD_E_INVALID_ATR;

    const DWORD expected = state.dwCurrentState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
    const uint32_t now = reader.dwState.load();
    if (now != expected) {
        state.dwEventState = now | SCARD_STATE_CHANGED;
        return SCARD_S_SUCCESS;
    }

    uint32_t slices = 0;
    const auto deadline = sliceDeadline(dwTimeout, 10, &slices);
    bool cancelledNow = false;
    bool stopped = false;
    if (slices != 0) {
        // A cancel is taken in the same check that ends the wait, so that of two waits only
        // one takes it.
        beginStatusWait();
        stopped = waitOnReader(deadline, std::chrono::milliseconds(10), [&] {
            // Asked more than once per check: a cancel once taken stays taken.
            if (cancelledNow || reader.dwState.load() != expected || !readerOpen()) return true;
            cancelledNow = takeCancel();
            return cancelledNow;
        });
        endStatusWait();
    }
    if (!stopped) {
        HVLogVerbose("timed out %d ms\n", dwTimeout);
        return SCARD_E_TIMEOUT;
    }
    if (cancelledNow) return SCARD_W_CANCELLED_BY_USER;
    if (!readerOpen()) return SCARD_E_READER_UNAVAILABLE;
    const uint32_t changed = reader.dwState.load();
    if (changed == expected) return SCARD_E_READER_UNAVAILABLE;
    // The ATR read on entry belongs to the state before the change: an emptied reader has none.
    state.cbAtr = 0;
    std::memset(state.rgbAtr, 0, sizeof state.rgbAtr);
    if (!copyAtr(state)) return SCARD_E_INVALID_ATR;
    state.dwEventState = changed | SCARD_STATE_CHANGED;
    return SCARD_S_SUCCESS;
}

}  // namespace hv::pcsc::calls
