// The reader driver: the one object in the process that speaks CCID to the accessory's contact
// card reader, over the bulk session (commands and their responses, protocol 2) and the
// interrupt session (slot-change notifications, protocol 3) of the session registry. One slot,
// one card. Internal to the library: the PC/SC layer and the pcscd reader module build on it.
//
// Calling order: sharedInstance(), registerEventCallback(), open(), then any number of power,
// protocol and transmit operations, then unregisterEventCallback() and close(). open() may be
// called again after close(), or while open (both sessions then start afresh).
//
// Threads and locks:
// - Every operation may be called from any thread. open, close, the power operations,
//   setProtocolParameters, transmitToICC and every CCID exchange hold the driver lock (a
//   recursive mutex, monitor()) for their whole run, so exchanges never interleave and a whole
//   T=1 transmission or protocol setting is one step on the process-wide T=1 engine.
// - Lock order: the PC/SC layer's context lock, then the driver lock, then the session
//   registry's lock, then a session's write lock. The receive callbacks (cb_bulk, cb_interrupt)
//   run on session threads and take only the driver's internal reassembly lock, never the
//   driver lock, so a waiting exchange never blocks them.
// - Waits turn the calling thread's run loop (10 ms slices, 20 ms while opening) and end the
//   moment their event arrives: whoever ends a wait wakes the waiting thread's loop. Work
//   posted to that loop runs during the wait and may re-enter the driver (the lock is
//   recursive). close(), from any thread, ends a waiting exchange at once with
//   HVIFDHStatusReaderUnavailable; so does the accessory's disconnection, and a card removal
//   ends it with HVIFDHStatusNoCard.
// - accessory_state, slot_state, auto_power_on, the callback and the ATR are read and written
//   without the driver lock, from any thread, race-free.
// - The event callback runs on the driver's event thread, one event at a time, after the
//   driver's own state change for that event. It may call any operation of the driver, but
//   must not wait for anything that needs the event thread.
//
// Responses handed out (transmitToICC, tranceive, ccid_xfr) point into driver buffers that stay
// unchanged until the next exchange on the driver: copy them before releasing monitor() or
// calling the driver again.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>

#include "Accessory/HVProtocolSession.h"
#include "Platform/NotificationCenter.h"
#include "Platform/Semaphore.h"
#include "Platform/Thread.h"

// Driver results. Every operation that returns an integer result returns one of these.
enum HVIFDHStatus : int32_t {
    HVIFDHStatusSuccess = 0,
    // The stored ATR cannot be parsed, or the PPS exchange failed or was answered wrongly.
    HVIFDHStatusNegotiationFailed = 4,
    // Bad arguments, command data too long for one CCID message, or the reader rejected the
    // message's data field (bError 10).
    HVIFDHStatusInvalidValue = 5,
    // The requested protocol is neither T=0 nor T=1, or the card's specific mode is another.
    HVIFDHStatusProtocolNotSupported = 6,
    // A failure not covered by another code: reader error, malformed response, parameters
    // refused, T=1 exchange failed; also any unknown session status.
    HVIFDHStatusFailed = 11,
    // No complete response in time (or the reader kept extending the wait past the bound).
    HVIFDHStatusTimeout = 13,
    // No card in the slot (also: the card was removed during the exchange).
    HVIFDHStatusNoCard = 14,
    // The reader sessions are not open, or no connected accessory offers the protocol.
    HVIFDHStatusReaderUnavailable = 16,
    // The platform refused to create a session.
    HVIFDHStatusSessionCreateFailed = 17,
    // A card is present but not activated.
    HVIFDHStatusCardUnpowered = 18,
    // A session operation failed, or the bulk pipe failed before a complete response.
    HVIFDHStatusCommunicationError = 19,
};

// Event codes queued for the event thread and relayed to the callback.
enum HVIFDHEventCode : uint8_t {
    HVIFDHEventAccessoryConnected = 0,
    HVIFDHEventAccessoryDisconnected = 1,
    HVIFDHEventCardInserted = 2,
    HVIFDHEventCardRemoved = 3,
    HVIFDHEventDidEnterBackground = 4,
    HVIFDHEventWillEnterForeground = 5,
};

// Receives one event code, on the driver's event thread.
typedef void (*HVIFDHEventCallback)(uint8_t event);

// The card's state in slot_state: the PC/SC card-state numbering. 5 is never stored.
enum HVIFDHSlotState : uint32_t {
    HVIFDHSlotStateUnknown = 0,
    HVIFDHSlotStateAbsent = 1,
    HVIFDHSlotStatePresent = 2,    // present, not activated
    HVIFDHSlotStateSwallowed = 3,  // present, in place, not powered
    HVIFDHSlotStatePowered = 4,
    HVIFDHSlotStateNegotiable = 5,
    HVIFDHSlotStateSpecific = 6,  // protocol fixed (specific mode or PPS)
};

// Bits of accessory_state. Only 0, 1 and 3 occur.
enum : int32_t {
    HVIFDHAccessoryPresent = 1,     // the accessory is present
    HVIFDHAccessoryReaderOpen = 2,  // the reader sessions are open
};

// The card's last answer-to-reset.
struct HVIFDHATR {
    uint8_t data[33];
    uint8_t length;
};
static_assert(sizeof(HVIFDHATR) == 34);

// The CCID class descriptor the driver keeps (fixed values, never read from the reader).
struct HVIFDHCCIDDescriptor {
    uint8_t bMaxSlotIndex;
    uint32_t bVoltageSupport;
    uint32_t dwProtocols;
    uint32_t dwDefaultClock;  // kHz; the clock the time-out formulas use
    uint32_t dwMaximumClock;
    uint8_t bNumClockSupported;
    uint32_t dwDataRate;
    uint32_t dwMaxDataRate;
    uint8_t bNumDataRatesSupported;
    uint32_t dwMaxIFSD;
    uint32_t dwSynchProtocols;
    uint32_t dwMechanical;
    uint32_t dwFeatures;
    uint32_t dwMaxCCIDMessageLength;
    uint8_t bClassGetResponse;
    uint8_t bClassEnvelope;
    uint16_t wLCDLayout;
    uint8_t bPINSupport;
    uint8_t bMaxCCIDBusySlots;
};

// The reader's name, as getName() returns it.
inline constexpr const char *HVIFDHReaderName = "Halvane Smart Card Reader";

// How the driver reaches the reader's sessions. By default the session registry
// (HVSessionProtocolDriver). Tests and fuzz targets may put a scripted reader here.
struct HVIFDHSessionOps {
    HVSessionStatus (*start)(int32_t protocol, HVSessionReceiveCallback callback);
    HVSessionStatus (*end)(int32_t protocol);
    // Called once per command message, and with length 0 each time an exchange waits again
    // for the same response (after a time extension); the registry's ops send nothing then.
    HVSessionStatus (*write)(const uint8_t *data, uint16_t length, int32_t protocol);
    // The reader answers from within write(): an exchange not answered by the time write()
    // returns has timed out at once, without waiting.
    bool synchronous;
};

class HVIFDH {
public:
    static HVIFDH &sharedInstance();

    HVIFDH(const HVIFDH &) = delete;
    HVIFDH &operator=(const HVIFDH &) = delete;

    // --- Lifecycle ---
    // Starts the bulk and interrupt sessions: 0, 16 (no accessory offers the protocols, one
    // attempt), or after up to 7 attempts 0.5 s apart 17, 19 or 11. Waits at least 0.15 s
    // after the last close() before starting the sessions.
    HVIFDHStatus open();
    // Ends both sessions; always 0. An exchange waiting meanwhile ends with 16.
    HVIFDHStatus close();
    void registerEventCallback(HVIFDHEventCallback callback);
    void unregisterEventCallback();
    const char *getName() const { return HVIFDHReaderName; }
    HVIFDHATR ATR() const;
    int32_t accessory_state() const { return accessory_state_.load(); }
    uint32_t slot_state() const { return slot_state_.load(); }
    void setSlot_state(uint32_t state) { slot_state_.store(state); }
    bool auto_power_on() const { return auto_power_on_.load(); }
    void setAuto_power_on(bool on) { auto_power_on_.store(on); }
    // Whether a connected accessory offers the management protocol.
    bool voraselAvailable() const;
    // Session status 0, 1, 2, 3 to 0, 17, 16, 19; anything else to 11.
    static HVIFDHStatus convert_error(int32_t status);

    // --- Card power and protocol parameters ---
    // Power-on at 5.0 V, once more at 3.0 V when the card is mute; stores the ATR.
    HVIFDHStatus powerOnICC();
    HVIFDHStatus powerOffICC();
    HVIFDHStatus warmResetICC();
    HVIFDHStatus coldresetICC();
    // protocol: 1 T=0, 2 T=1 (PC/SC values). The other four values are ignored. Works on the
    // stored ATR: PPS when needed, then SetParameters and the protocol's response time-out.
    HVIFDHStatus setProtocolParameters(uint8_t protocol, uint8_t selection, uint8_t p1, uint8_t p2,
                                       uint8_t p3);

    // --- Transmission ---
    // protocol: 1 T=0, 2 T=1 (PC/SC values). On success *response designates the response APDU
    // (data and status word) and *responseLength its size; see the header's note on validity.
    HVIFDHStatus transmitToICC(const uint8_t *command, uint32_t length, uint32_t protocol,
                               const uint8_t **response, uint32_t *responseLength);

    // --- Internal operations (exposed for the driver's own files and for tests) ---
    // One command message out, its response (header included) back.
    HVIFDHStatus tranceive(const uint8_t *message, uint32_t length, const uint8_t **response,
                           uint32_t *responseLength, uint64_t timeoutMs);
    // One PC_to_RDR_XfrBlock (at most 271 data bytes); the response's data back.
    HVIFDHStatus ccid_xfr(const uint8_t *data, uint32_t length, const uint8_t **response,
                          uint32_t *responseLength, uint8_t bwi);
    // Decodes bStatus/bError of a response (10 bytes at least), updates slot_state, and
    // returns bmCommandStatus. *icc gets bmICCStatus, *error bError when the command failed,
    // else 0x80.
    int32_t interpret_result_and_update_status(const uint8_t *response, int32_t *icc,
                                               int32_t *error);
    // PC_to_RDR_SetParameters with at most 7 bytes of protocol data.
    HVIFDHStatus setParameters(const uint8_t *parameters, uint32_t length, uint8_t protocolNum);
    // Longest wait for one card answer, in ms. The ATR's worst cases (WI 255, BWI 15, a slow
    // clock) and a waiting-time extension would give hours; real cards answer within seconds.
    static constexpr uint32_t kMaxWaitingTime = 600000;
    // `ms`, or kMaxWaitingTime (logged) when it is longer.
    static uint32_t capWaitingTime(uint64_t ms);
    // Response time-outs in ms for T=0 and T=1 from FiDi, extra guard time, WI or BWI/CWI and
    // the clock in kHz; at most kMaxWaitingTime.
    static uint32_t t0_max_timeout(uint8_t fidi, uint8_t egt, uint8_t wi, uint32_t freq);
    static uint32_t t1_max_timeout(uint8_t fidi, uint8_t egt, uint8_t bwi, uint8_t cwi,
                                   uint32_t freq);
    HVIFDHStatus transmitToICC_TPDU_T0(const uint8_t *command, uint32_t length,
                                       const uint8_t **response, uint32_t *responseLength);
    HVIFDHStatus transmitToICC_TPDU_T1(const uint8_t *command, uint32_t length,
                                       const uint8_t **response, uint32_t *responseLength);

    // --- Events ---
    // Queues one event code for the event thread; from any thread, never waits.
    void ifd_event(uint32_t code);
    void accessoryConnected(const hv::platform::Notification &notification);
    void accessoryDisconnected(const hv::platform::Notification &notification);
    void applicationDidEnterBackground(const hv::platform::Notification &notification);
    void applicationWillEnterForeground(const hv::platform::Notification &notification);

    // --- Fields, for the PC/SC layer, diagnostics and tests ---
    uint8_t sequence() const { return sequence_.load(); }  // bSeq of the next command
    uint8_t slot() const { return slot_; }
    uint32_t rsp_timeout() const { return rsp_timeout_.load(); }
    HVIFDHCCIDDescriptor dsc() const;
    std::recursive_mutex &monitor() { return lock_; }

    // Where the sessions are reached; null restores the session registry. Only while the
    // driver is closed.
    static void setSessionOps(const HVIFDHSessionOps *ops);

    // The most time extensions one block transfer accepts before it ends with 13.
    static constexpr uint32_t kMaxTimeExtensions = 1000;

private:
    HVIFDH();
    void eventHandler();
    void handleEvent(uint32_t code);
    void relay(uint32_t code);
    HVIFDHStatus startSessions();
    uint8_t nextSequence() { return sequence_.fetch_add(1); }
    void storeATR(const uint8_t *atr, uint8_t length);
    void clearATR();

    std::atomic<uint8_t> sequence_{0};
    const uint8_t slot_ = 0;
    std::atomic<uint32_t> rsp_timeout_{0};
    HVIFDHCCIDDescriptor dsc_{};  // guarded by lock_
    std::mutex eventQueueLock_;
    std::deque<uint32_t> eventQueue_;  // guarded by eventQueueLock_
    std::atomic<bool> auto_power_on_{false};
    std::atomic<int32_t> accessory_state_{0};
    std::atomic<uint32_t> slot_state_{HVIFDHSlotStateUnknown};
    mutable std::mutex atrLock_;
    HVIFDHATR atr_{};  // guarded by atrLock_

    mutable std::recursive_mutex lock_;  // the driver lock
    hv::platform::Semaphore eventSemaphore_{0};
    hv::platform::Thread eventHandlerThread_;
    double timestamp_ = 0;  // seconds of steady time at the last close; guarded by lock_
    // How long the reader took to answer the last bulk exchange; guarded by lock_.
    std::chrono::steady_clock::duration lastAnswerTime_{};
};

// The receive callbacks open() registers for the bulk and interrupt sessions: bytes as they
// arrive, or (null, 0) when the pipe failed or ended. They run on session threads.
void cb_bulk(uint8_t *data, uint16_t length);
void cb_interrupt(uint8_t *data, uint16_t length);
