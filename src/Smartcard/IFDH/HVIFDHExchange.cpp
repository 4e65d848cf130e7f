// CCID messages on the pipes: one bulk exchange and its wait, reassembly of the responses on
// the bulk session's thread, status decoding, the block transfer with the reader's time
// extensions, and the slot changes of the interrupt pipe.
//
// The bulk buffer holds, from its start: the complete response of the current exchange
// (bulk_response_length bytes) followed by whatever arrived behind it, or else the bytes of
// a message still incomplete. Once a response is complete nothing touches its bytes until
// the next exchange begins, so it can be handed out in place without a copy and without a
// race with late deliveries; bytes that follow it are examined when the next wait begins.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "Platform/RunLoop.h"
#include "Platform/SpinWait.h"
#include "Smartcard/IFDH/HVIFDH.h"
#include "Smartcard/IFDH/IFDHModule.h"
#include "vorasel/HVLog.h"

using hv::platform::RunLoop;
using hv::platform::SteadyClock;
using namespace hv::ifdh;

namespace {

struct BulkPipe {
    std::mutex lock;  // bulk_lock
    uint8_t buffer[kBulkBufferSize];
    uint16_t dataLength = 0;              // unconsumed bytes at the start (no response held)
    uint16_t offset = 0;                  // where the bytes behind a held response start
    uint16_t remaining = 0;               // how many bytes are behind a held response
    uint16_t responseLength = 0;          // the held response
    uint8_t seq = 0;                      // the bSeq awaited
    std::shared_ptr<RunLoop> waiter;      // the loop of the thread waiting for the response
    bool wakePending = false;             // the wait was ended; wake the waiter once unlocked
    SteadyClock::time_point signalledAt;  // when the wait was last ended
    // Card removals and lost pipes so far, and as they stood when the current command went
    // out: what happens while a command is answered (time extensions included) ends its wait.
    uint32_t removals = 0, removalsAtCommand = 0;
    uint32_t losses = 0, lossesAtCommand = 0;
};

struct InterruptPipe {
    std::mutex lock;
    uint8_t buffer[32];
    uint16_t length = 0;
    uint16_t remaining = 0;
};

BulkPipe bulk;
InterruptPipe interrupt;
std::atomic<bool> bulk_event{false};           // ends the current bulk wait
std::atomic<bool> bulk_response_ready{false};  // the awaited response is held

constexpr auto kBulkSlice = std::chrono::milliseconds(10);
// A reader answers a short command in a few tens of microseconds; waiting that long on the CPU
// spares the waiter a wake-up. Answers that took longer last time (a card at work, time
// extensions) are waited for asleep from the start.
constexpr auto kBulkSpin = std::chrono::microseconds(75);

bool bulkEventSeen() {
    return bulk_event.load(std::memory_order_acquire);
}

// Under bulk.lock: ends the current wait. The waiter is woken by withBulkLock once the lock
// is released, so that it does not wake only to block on the lock at once.
void signalLocked() {
    bulk.signalledAt = SteadyClock::now();
    bulk_event.store(true, std::memory_order_release);
    bulk.wakePending = true;
}

template <typename F>
void withBulkLock(F &&f) {
    std::shared_ptr<RunLoop> wake;
    {
        std::lock_guard lock(bulk.lock);
        f();
        if (bulk.wakePending) {
            bulk.wakePending = false;
            wake = bulk.waiter;
        }
    }
    if (wake) wake->wakeUp();
}

uint64_t messageTotal(const uint8_t *message) {
    return uint64_t{littleEndian32(message + 1)} + kHeaderLength;
}

// Under bulk.lock, with no response held: drops whole messages that answer another command,
// and holds the awaited response once it is whole.
void scanLocked() {
    if (bulk.dataLength < kHeaderLength) {
        HVLogVerbose("Not enough data, only %d bytes available", bulk.dataLength);
        return;
    }
    uint64_t total = messageTotal(bulk.buffer);
    while (bulk.buffer[6] != bulk.seq && total <= bulk.dataLength) {
        HVLogError("Invalid response response sequence %02x - ignoring message", bulk.seq);
        const auto size = static_cast<uint16_t>(total);
        std::memmove(bulk.buffer, bulk.buffer + size, bulk.dataLength - size);
        bulk.dataLength = static_cast<uint16_t>(bulk.dataLength - size);
        if (bulk.dataLength < kHeaderLength) return;
        total = messageTotal(bulk.buffer);
    }
    if (bulk.buffer[6] == bulk.seq && total <= bulk.dataLength) {
        const auto size = static_cast<uint16_t>(total);
        bulk.responseLength = size;
        bulk.offset = size;
        bulk.dataLength = static_cast<uint16_t>(bulk.dataLength - size);
        bulk.remaining = bulk.dataLength;
        bulk_response_ready.store(true, std::memory_order_release);
        signalLocked();
        return;
    }
    bulk.remaining = 0;
    HVLogVerbose("Not enough data, only %d bytes available", bulk.dataLength);
}

// Under bulk.lock: the start of an exchange awaiting `seq`; `again` when it waits for the same
// command's answer after a time extension.
void beginExchangeLocked(uint8_t seq, bool again, const std::atomic<int32_t> &accessoryState) {
    if (bulk_response_ready.load(std::memory_order_relaxed)) {
        // The bytes that followed the last response are the start of what comes next.
        std::memmove(bulk.buffer, bulk.buffer + bulk.offset, bulk.remaining);
        bulk.dataLength = bulk.remaining;
    } else {
        // An incomplete message left by an exchange that ended without its response.
        bulk.dataLength = 0;
    }
    bulk.offset = 0;
    bulk.remaining = 0;
    bulk.responseLength = 0;
    bulk.seq = seq;
    if (!again) {
        bulk.removalsAtCommand = bulk.removals;
        bulk.lossesAtCommand = bulk.losses;
    }
    bulk_response_ready.store(false, std::memory_order_relaxed);
    bulk_event.store(false, std::memory_order_relaxed);
    bulk.waiter = RunLoop::currentShared();
    // A close, disconnect, removal or lost pipe that came before this reset still ends the
    // wait.
    if (!(accessoryState.load() & HVIFDHAccessoryReaderOpen) ||
        bulk.removals != bulk.removalsAtCommand || bulk.losses != bulk.lossesAtCommand)
        signalLocked();
    if (bulk.dataLength) scanLocked();
}

std::string describeBytes(const uint8_t *data, uint16_t length) {
    if (!data) return "(null)";
    std::string s = "<";
    char hex[3];
    for (uint16_t i = 0; i < length; ++i) {
        if (i && i % 4 == 0) s += ' ';
        std::snprintf(hex, sizeof hex, "%02x", data[i]);
        s += hex;
    }
    return s + ">";
}

}  // namespace

namespace hv::ifdh {

void resetPipes() {
    {
        std::lock_guard lock(bulk.lock);
        bulk.dataLength = bulk.offset = bulk.remaining = bulk.responseLength = 0;
        bulk_response_ready.store(false);
    }
    std::lock_guard lock(interrupt.lock);
    interrupt.length = interrupt.remaining = 0;
}

void endBulkWait() {
    withBulkLock([] { signalLocked(); });
}

}  // namespace hv::ifdh

namespace {

// A pipe reported an error or its end.
void pipeLost() {
    withBulkLock([] {
        ++bulk.losses;
        signalLocked();
    });
}

// Under bulk.lock: bytes from the bulk pipe.
void receiveLocked(const uint8_t *data, uint16_t length) {
    if (bulk_response_ready.load(std::memory_order_relaxed)) {
        // The response stays as it was handed out; these bytes wait behind it.
        const size_t end = size_t{bulk.offset} + bulk.remaining;
        if (end + length > kBulkBufferSize) {
            HVLogError("Too much data received! (%d, %d)", bulk.remaining, length);
            return;
        }
        std::memcpy(bulk.buffer + end, data, length);
        bulk.remaining = static_cast<uint16_t>(bulk.remaining + length);
        bulk.dataLength = bulk.remaining;
        return;
    }
    if (size_t{bulk.dataLength} + length > kBulkBufferSize) {
        HVLogError("Too much data received! (%d, %d)", bulk.dataLength, length);
        return;
    }
    std::memcpy(bulk.buffer + bulk.dataLength, data, length);
    bulk.dataLength = static_cast<uint16_t>(bulk.dataLength + length);
    scanLocked();
}

}  // namespace

void cb_bulk(uint8_t *data, uint16_t length) {
    if (HVLogEnabled(HVLogFlagVerbose)) HVLogVerbose("%s", describeBytes(data, length).c_str());
    if (!data) {
        HVLogError("Error reported on bulk pipe!");
        pipeLost();
        return;
    }
    withBulkLock([&] { receiveLocked(data, length); });
}

void cb_interrupt(uint8_t *data, uint16_t length) {
    if (!data) {
        pipeLost();
        return;
    }
    uint8_t events[kInterruptLimit / 2];
    size_t count = 0;
    {
        std::lock_guard lock(interrupt.lock);
        if (size_t{interrupt.length} + length >= kInterruptLimit) {
            HVLogError("FATAL - Received too large message for interrupt protocol, dropping it!");
            interrupt.length = interrupt.remaining = 0;
            return;
        }
        std::memcpy(interrupt.buffer + interrupt.remaining, data, length);
        interrupt.length = static_cast<uint16_t>(interrupt.length + length);
        while (interrupt.length >= 2) {
            const uint8_t slotState = interrupt.buffer[1];
            interrupt.length = static_cast<uint16_t>(interrupt.length - 2);
            std::memmove(interrupt.buffer, interrupt.buffer + 2, interrupt.length);
            if (slotState == 3) events[count++] = HVIFDHEventCardInserted;
            if (slotState == 2) events[count++] = HVIFDHEventCardRemoved;
        }
        interrupt.remaining = interrupt.length;
    }
    HVIFDH *driver = driverInstance.load();
    for (size_t i = 0; i < count; ++i) {
        // An exchange with a card that has left will not be answered sensibly. A slot the
        // driver has not seen a card in is not left: the reader's first report after power-up
        // says "empty, changed" with no card ever in, and the exchange under way (the probe
        // that learns the slot) is answered all the same.
        const bool cardWasIn = !driver || driver->slot_state() >= HVIFDHSlotStatePresent;
        if (events[i] == HVIFDHEventCardRemoved && cardWasIn) {
            withBulkLock([] {
                ++bulk.removals;
                signalLocked();
            });
        }
        if (driver) driver->ifd_event(events[i]);
    }
}

HVIFDHStatus HVIFDH::tranceive(const uint8_t *message, uint32_t length, const uint8_t **response,
                               uint32_t *responseLength, uint64_t timeoutMs) {
    std::lock_guard lock(lock_);
    if (responseLength) *responseLength = 0;
    if (!message || !response || !responseLength || (length && length < kHeaderLength))
        return HVIFDHStatusInvalidValue;
    if (!(accessory_state_.load() & HVIFDHAccessoryReaderOpen))
        return HVIFDHStatusReaderUnavailable;

    withBulkLock([&] { beginExchangeLocked(message[6], length == 0, accessory_state_); });
    const HVIFDHSessionOps &sessions = sessionOps();
    const HVSessionStatus written =
        sessions.write(message, static_cast<uint16_t>(length), HVAccessoryProtocolCCIDBulk);

    bool signalled = bulkEventSeen();
    SteadyClock::time_point exchangeStart{};
    const uint64_t slices = timeoutMs / 10;
    if (written == HVSessionStatusSuccess && !signalled && slices > 0 && !sessions.synchronous) {
        static const std::function<bool()> seen = [] { return bulkEventSeen(); };
        exchangeStart = SteadyClock::now();
        if (lastAnswerTime_ <= kBulkSpin && hv::platform::spinningHelps())
            signalled = hv::platform::spinUntilSet(bulk_event, kBulkSpin);
        if (!signalled)
            signalled = hv::platform::runCurrentLoopUntil(exchangeStart + slices * kBulkSlice, seen,
                                                          kBulkSlice);
    }

    bool ready, cardRemoved, lost;
    uint16_t held, buffered;
    {
        std::lock_guard bulkLock(bulk.lock);
        bulk.waiter.reset();
        bulk.wakePending = false;
        // The reader's own answer time, however the wait went: one that slept measures the
        // wake-up too, and would keep the next wait from spinning once it had slept.
        if (exchangeStart != SteadyClock::time_point{})
            lastAnswerTime_ =
                signalled ? bulk.signalledAt - exchangeStart : SteadyClock::duration::max();
        ready = bulk_response_ready.load(std::memory_order_relaxed);
        held = bulk.responseLength;
        buffered = bulk.dataLength;
        cardRemoved = bulk.removals != bulk.removalsAtCommand;
        lost = bulk.losses != bulk.lossesAtCommand;
    }
    if (written != HVSessionStatusSuccess) return convert_error(written);
    if (ready) {
        // A time extension only asks for more waiting. Once the card has gone, the pipe was
        // lost or the reader closed, a driver slower than the reader would otherwise find the
        // next one already buffered every time and never see the end.
        const bool timeExtension = held >= kHeaderLength && (bulk.buffer[7] >> 6) == 2;
        const bool ended =
            cardRemoved || lost || !(accessory_state_.load() & HVIFDHAccessoryReaderOpen);
        if (!timeExtension || !ended) {
            *response = bulk.buffer;
            *responseLength = held;
            return HVIFDHStatusSuccess;
        }
        buffered = 0;  // what is held is not this command's answer
    } else if (!signalled) {
        HVLogError("Sending bulk command failed, timed out!");
        return HVIFDHStatusTimeout;
    }
    if (!(accessory_state_.load() & HVIFDHAccessoryReaderOpen))
        return HVIFDHStatusReaderUnavailable;
    if (cardRemoved) {
        HVLogError("Card removed during the exchange");
        return HVIFDHStatusNoCard;
    }
    if (buffered == 0) {
        HVLogError("Sending bulk command failed!");
        return HVIFDHStatusCommunicationError;
    }
    // Whatever is buffered is an incomplete message: never a response.
    HVLogError("Bulk response not signalled but we still have data in the queue");
    return HVIFDHStatusCommunicationError;
}

int32_t HVIFDH::interpret_result_and_update_status(const uint8_t *response, int32_t *icc,
                                                   int32_t *error) {
    const int32_t commandStatus = response[7] >> 6;
    const int32_t iccStatus = response[7] & 3;
    const int32_t errorValue = commandStatus == 1 ? response[8] : 0x80;
    switch (iccStatus) {
        case 0: {
            // A card in specific mode stays specific.
            uint32_t state = slot_state_.load();
            while (state < HVIFDHSlotStatePowered &&
                   !slot_state_.compare_exchange_weak(state, HVIFDHSlotStatePowered)) {
            }
            break;
        }
        case 1:
            slot_state_.store(HVIFDHSlotStatePresent);
            break;
        case 2:
            slot_state_.store(HVIFDHSlotStateAbsent);
            break;
        default:
            slot_state_.store(HVIFDHSlotStateUnknown);
            break;
    }
    if (icc) *icc = iccStatus;
    if (error) *error = errorValue;
    HVLogVerbose("rdr_to_pc_x command = %d icc = %d error = %d\n", commandStatus, iccStatus,
                 errorValue);
    return commandStatus;
}

HVIFDHStatus HVIFDH::ccid_xfr(const uint8_t *data, uint32_t length, const uint8_t **response,
                              uint32_t *responseLength, uint8_t bwi) {
    if (length > kMaxXfrData) return HVIFDHStatusInvalidValue;
    if ((!data && length) || !response || !responseLength) return HVIFDHStatusInvalidValue;
    std::lock_guard lock(lock_);
    uint8_t message[kHeaderLength + kMaxXfrData];
    message[0] = kXfrBlock;
    putLittleEndian32(message + 1, length);
    message[5] = 0;
    message[6] = nextSequence();
    message[7] = bwi;
    message[8] = 0;
    message[9] = 0;
    if (length) std::memcpy(message + kHeaderLength, data, length);
    const uint64_t timeout = capWaitingTime(uint64_t{rsp_timeout_.load()} * (bwi ? bwi : 1));

    const uint8_t *reply = nullptr;
    uint32_t replyLength = 0;
    HVIFDHStatus res = tranceive(message, length + kHeaderLength, &reply, &replyLength, timeout);
    if (res != HVIFDHStatusSuccess) return res;
    int32_t icc = 0, error = 0;
    int32_t commandStatus = interpret_result_and_update_status(reply, &icc, &error);
    // The reader asks for more time: wait again for the same answer. Its multiplier is not
    // used, and a reader that never stops asking is given up on.
    uint32_t extensions = 0;
    while (commandStatus == 2) {
        HVLogVerbose("WTX");
        // The reader says the card has gone: nothing will answer. Its slot change may come
        // later than this, or not at all, and by then the slot reads empty already.
        if (icc == 2) {
            HVLogError("Card removed during the exchange");
            return HVIFDHStatusNoCard;
        }
        if (++extensions > kMaxTimeExtensions) {
            HVLogError("Too many time extensions (%u), giving up", extensions - 1);
            return HVIFDHStatusTimeout;
        }
        res = tranceive(message, 0, &reply, &replyLength, timeout);
        if (res != HVIFDHStatusSuccess) return res;
        commandStatus = interpret_result_and_update_status(reply, &icc, &error);
    }
    if (commandStatus == 0) {
        *response = reply + kHeaderLength;
        *responseLength = replyLength - kHeaderLength;
        return HVIFDHStatusSuccess;
    }
    if (icc == 2) return HVIFDHStatusNoCard;
    if (icc == 1) return HVIFDHStatusCardUnpowered;
    if (error == 10) return HVIFDHStatusInvalidValue;
    HVLogError("bmCommandStatus = %d bmICCStatus = %d bError = %d", commandStatus, icc, error);
    return HVIFDHStatusFailed;
}
