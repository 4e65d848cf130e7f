// What the PC/SC functions share: the one reader record, the live contexts, the cancel requests
// and the waits on the reader.
//
// The record's fields are read and written from application threads and from the reader
// driver's event thread (ifd_cb) without a lock, so each is an atomic word. The context list
// has a small lock of its own for its scans; context_lock orders establishing and releasing
// against each other and against ifd_cb's opening and closing of the driver. Lock order:
// context_lock, then the driver's lock, then contextsMutex (held only for list work).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>

#include "Smartcard/IFDH/HVIFDH.h"
#include "vorasel/winscard.h"

namespace hv::pcsc {

inline constexpr uint32_t kNoCard = 0xFFFFFFFF;

struct ReaderRecord {
    std::atomic<uint32_t> dwState{0};
    std::atomic<uint8_t> bPowerManagement{0};
    std::atomic<uint32_t> hActiveCard{0};
    std::atomic<uint32_t> dwActiveProtocol{0};
};

extern ReaderRecord reader;

// The reader driver. Always the single instance; created on first use.
inline HVIFDH &driver() {
    return HVIFDH::sharedInstance();
}

inline bool readerOpen() {
    return (driver().accessory_state() & HVIFDHAccessoryReaderOpen) != 0;
}

// --- Contexts (Contexts.cpp) ---

// Whether any context is live.
bool contextsPresent();
bool isValidContext(uint32_t hContext);
// The monitor that orders context creation and release; it always exists, `present` says
// whether the interface regards it as created.
std::recursive_mutex &contextLock();
bool contextLockPresent();

// SCardCancel, for any context: each request ends one status-change wait, the one in progress
// or else the next. Requests do not pile up beyond the waits that could take them, so a cancel
// with nothing waiting ends only the next wait.
void requestCancel();
// Takes one pending request; true when there was one.
bool takeCancel();
// Status-change waits in progress (the requests they may take).
void beginStatusWait();
void endStatusWait();

// A card handle is valid while contexts exist and it is the current connection's.
inline bool isValidHandle(uint32_t hCard) {
    const uint32_t active = reader.hActiveCard.load();
    return contextsPresent() && active != kNoCard && hCard == active;
}

// --- Waits (Waits.cpp) ---

// Every thread waiting on the reader is woken to re-check its condition. Whoever changes the
// reader record, the cancel requests or the driver's open state calls this afterwards.
void wakeWaiters();

// Turns the calling thread's run loop until `done` holds or `deadline` passes, woken by
// wakeWaiters(); `slice` bounds how late a change made without a wake is seen. True when
// `done` held.
bool waitOnReader(std::chrono::steady_clock::time_point deadline,
                  std::chrono::steady_clock::duration slice, const std::function<bool()> &done);

// Waits in progress, on all threads (tests use it to know that a wait has begun).
size_t waitsInProgress();

// The deadline `timeoutMs` gives in whole slices of `sliceMs` (none for a shorter time-out).
std::chrono::steady_clock::time_point sliceDeadline(uint32_t timeoutMs, uint32_t sliceMs,
                                                    uint32_t *slices);

// Changes of the reader state, each followed by a wake-up of the waits.
inline void storeState(uint32_t state) {
    reader.dwState.store(state);
    wakeWaiters();
}
inline void setStateBits(uint32_t bits) {
    reader.dwState.fetch_or(bits);
    wakeWaiters();
}
inline void clearStateBits(uint32_t bits) {
    reader.dwState.fetch_and(~bits);
    wakeWaiters();
}

// --- Memory handed to callers (OutputBlocks.cpp) ---

// A block the caller frees with SCardFreeMemory; null when the heap refuses.
void *allocateOutputBlock(size_t size);
// Frees a block allocateOutputBlock handed out and not yet freed; false for anything else.
bool freeOutputBlock(const void *block);

// --- Shared steps ---

// Operating-system version below 5.0 (power management cannot be changed there).
bool systemOlderThan5();
// Chooses and negotiates the protocol from the card's ATR (connect and reconnect).
LONG negotiateProtocol(DWORD dwPreferredProtocols, DWORD *chosen);

}  // namespace hv::pcsc

// The reader driver's event callback, registered by the first context (StatusChange.cpp).
void ifd_cb(uint8_t event);
