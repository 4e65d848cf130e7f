// The reader-driver functions pcscd calls (reader-driver API version 3), over the library's
// reader driver. One reader, one slot: the driver is one per process, so is the channel.
//
// pcscd calls from several threads: start-up and shut-down on its main thread, presence and
// the waiting function on the reader's event thread, power, protocol and transmission on its
// clients' threads. None of them waits for the case to be reached: CaseLink does that on a
// thread of its own, and until then the slot reads as empty. pcscd may exit on SIGTERM without
// IFDHCloseChannel, so nothing depends on it.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "CardPresence.h"
#include "CaseLink.h"
#include "ControlFeatures.h"
#include "PcscHeaders.h"
#include "ReaderConf.h"
#include "ResponseCodes.h"
#include "Smartcard/IFDH/HVIFDH.h"
#include "T0Tpdu.h"
#include "vorasel/HVLibrary.h"
#include "vorasel/HVLog.h"

using hv::ifdhandler::CardPresence;
using hv::ifdhandler::CaseLink;
using hv::ifdhandler::CaseTarget;
using hv::ifdhandler::Operation;
using hv::ifdhandler::toResponseCode;

namespace {

struct Channel {
    std::mutex lock;  // create and close
    std::atomic<bool> open{false};
    std::atomic<DWORD> lun{0};
    CardPresence presence;
    CaseLink link{presence};
};

// Never destroyed: pcscd may exit while its threads are still in here.
Channel &channel() {
    static auto *c = new Channel;
    return *c;
}

bool isOurs(DWORD lun) {
    Channel &c = channel();
    return c.open.load() && c.lun.load() == lun;
}

HVIFDH &driver() {
    return HVIFDH::sharedInstance();
}

// On the driver's event thread, after the driver's own state change: tell pcscd's waiting
// thread, and the link when the accessory came or went.
void onDriverEvent(uint8_t code) {
    Channel &c = channel();
    switch (code) {
        case HVIFDHEventCardInserted:
            c.presence.post(CardPresence::Change::Inserted);
            break;
        case HVIFDHEventCardRemoved:
            c.presence.post(CardPresence::Change::Removed);
            break;
        case HVIFDHEventAccessoryDisconnected:
            // The card lost its power with the case, even if it is back in the slot when the
            // case returns.
            c.presence.post(CardPresence::Change::Removed);
            c.link.poke();
            break;
        case HVIFDHEventAccessoryConnected:
            c.presence.changed();
            c.link.poke();
            break;
        default:
            c.presence.changed();
            break;
    }
}

// pcscd has no option for its drivers: VORASEL_LOG_LEVEL in its environment (off, error, warn,
// info, debug, verbose, or 0 to 5) turns the library's log on, on pcscd's standard error among
// other places.
void applyLogLevelFromEnvironment() {
    const char *text = std::getenv("VORASEL_LOG_LEVEL");
    if (!text || !*text) return;
    static const char *const names[] = {"off", "error", "warn", "info", "debug", "verbose"};
    for (int level = 0; level < 6; ++level) {
        if (std::strcmp(text, names[level]) == 0 || (text[0] == '0' + level && !text[1])) {
            HVLibrary::sharedClass().setLogLevel(level);
            return;
        }
    }
}

bool cardPresent() {
    const HVIFDH &d = driver();
    return (d.accessory_state() & HVIFDHAccessoryReaderOpen) &&
           d.slot_state() >= HVIFDHSlotStatePresent;
}

RESPONSECODE createChannel(DWORD lun, const CaseTarget &target) {
    Channel &c = channel();
    std::lock_guard lock(c.lock);
    applyLogLevelFromEnvironment();
    // The driver serves one case per process.
    if (c.open.load()) {
        HVLogError("A reader is already open (Lun %lu)", static_cast<unsigned long>(c.lun.load()));
        return IFD_COMMUNICATION_ERROR;
    }
    driver().registerEventCallback(onDriverEvent);
    c.presence.reset();
    if (!c.link.start(target)) {
        HVLogError("No simulated card of kind '%s'", target.cardKind.c_str());
        driver().unregisterEventCallback();
        return IFD_COMMUNICATION_ERROR;
    }
    c.lun.store(lun);
    c.open.store(true);
    return IFD_SUCCESS;
}

// The waiting function pcscd's event thread calls between presence checks.
RESPONSECODE waitForCardEvent(DWORD lun, int timeoutMs) {
    if (!isOurs(lun)) return IFD_COMMUNICATION_ERROR;
    channel().presence.wait(std::chrono::milliseconds(timeoutMs), cardPresent);
    return IFD_SUCCESS;
}

RESPONSECODE stopWaitingForCardEvent(DWORD) {
    channel().presence.stop();
    return IFD_SUCCESS;
}

// Copies `n` bytes of a capability to pcscd's buffer of *length bytes.
RESPONSECODE answer(PDWORD length, PUCHAR value, const void *data, size_t n) {
    if (*length < n) return IFD_ERROR_INSUFFICIENT_BUFFER;
    if (n) std::memcpy(value, data, n);
    *length = static_cast<DWORD>(n);
    return IFD_SUCCESS;
}

RESPONSECODE answerByte(PDWORD length, PUCHAR value, UCHAR byte) {
    return answer(length, value, &byte, 1);
}

// Copies the stored ATR to a buffer of *atrLength bytes; 0 bytes when there is none.
RESPONSECODE copyATR(PUCHAR atr, PDWORD atrLength) {
    const HVIFDHATR stored = driver().ATR();
    return answer(atrLength, atr, stored.data, std::min<size_t>(stored.length, MAX_ATR_SIZE));
}

}  // namespace

extern "C" {

// DEVICENAME from reader.conf.d: "vorasel-accessoryd:SOCKET" or "vorasel-simulated:KIND".
RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
    const auto target = DeviceName ? hv::ifdhandler::parseDeviceName(DeviceName) : std::nullopt;
    if (!target) {
        HVLogError("Unusable DEVICENAME '%s'", DeviceName ? DeviceName : "(null)");
        return IFD_COMMUNICATION_ERROR;
    }
    return createChannel(Lun, *target);
}

// Without a DEVICENAME: the daemon named by VORASEL_ACCESSORYD_SOCKET, or at the default socket.
RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD) {
    const char *socket = std::getenv("VORASEL_ACCESSORYD_SOCKET");
    CaseTarget target;
    target.socketPath =
        socket && *socket == '/' ? socket : std::string(hv::ifdhandler::kDefaultDaemonSocket);
    return createChannel(Lun, target);
}

RESPONSECODE IFDHCloseChannel(DWORD Lun) {
    Channel &c = channel();
    std::lock_guard lock(c.lock);
    if (!isOurs(Lun)) return IFD_COMMUNICATION_ERROR;
    c.open.store(false);
    c.presence.stop();
    c.link.stop();
    driver().unregisterEventCallback();
    return IFD_SUCCESS;
}

RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value) {
    if (!isOurs(Lun)) return IFD_COMMUNICATION_ERROR;
    if (!Length || !Value) return IFD_COMMUNICATION_ERROR;
    switch (Tag) {
        case TAG_IFD_ATR:
        case SCARD_ATTR_ATR_STRING:
            return copyATR(Value, Length);
        case TAG_IFD_SLOTS_NUMBER:
            return answerByte(Length, Value, 1);
        case TAG_IFD_SIMULTANEOUS_ACCESS:
            // Readers this module can serve at once: the driver is one per process.
            return answerByte(Length, Value, 1);
        case TAG_IFD_POLLING_THREAD_KILLABLE:
            // Stopped through TAG_IFD_STOP_POLLING_THREAD, never cancelled.
            return answerByte(Length, Value, 0);
        case TAG_IFD_POLLING_THREAD_WITH_TIMEOUT: {
            RESPONSECODE (*wait)(DWORD, int) = waitForCardEvent;
            return answer(Length, Value, &wait, sizeof wait);
        }
        case TAG_IFD_STOP_POLLING_THREAD: {
            RESPONSECODE (*stop)(DWORD) = stopWaitingForCardEvent;
            return answer(Length, Value, &stop, sizeof stop);
        }
        default:
            return IFD_ERROR_TAG;
    }
}

RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD, DWORD, PUCHAR) {
    if (!isOurs(Lun)) return IFD_COMMUNICATION_ERROR;
    // Nothing of this reader is set from outside.
    return IFD_ERROR_TAG;
}

// Protocol is the PC/SC mask: SCARD_PROTOCOL_T0 (1) or SCARD_PROTOCOL_T1 (2).
RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR Flags, UCHAR PTS1,
                                       UCHAR PTS2, UCHAR PTS3) {
    if (!isOurs(Lun)) return IFD_COMMUNICATION_ERROR;
    if (Protocol != SCARD_PROTOCOL_T0 && Protocol != SCARD_PROTOCOL_T1)
        return IFD_PROTOCOL_NOT_SUPPORTED;
    const HVIFDHStatus status =
        driver().setProtocolParameters(static_cast<uint8_t>(Protocol), Flags, PTS1, PTS2, PTS3);
    return toResponseCode(status, Operation::Protocol);
}

RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
    if (!isOurs(Lun)) return IFD_COMMUNICATION_ERROR;
    // pcscd passes its buffer's size, MAX_ATR_SIZE; power-down leaves it empty.
    const DWORD capacity = AtrLength ? std::min<DWORD>(*AtrLength, MAX_ATR_SIZE) : 0;
    if (AtrLength) *AtrLength = 0;
    if (Atr) std::memset(Atr, 0, capacity);
    HVIFDH &d = driver();
    if (Action == IFD_POWER_DOWN) return toResponseCode(d.powerOffICC(), Operation::Power);
    if (Action != IFD_POWER_UP && Action != IFD_RESET) return IFD_NOT_SUPPORTED;
    if (!Atr || !AtrLength) return IFD_COMMUNICATION_ERROR;
    // No other power-on between this one and the copy of its ATR.
    std::lock_guard lock(d.monitor());
    const HVIFDHStatus status = Action == IFD_POWER_UP ? d.powerOnICC() : d.warmResetICC();
    if (status != HVIFDHStatusSuccess) {
        HVLogError("Powering the card failed %d", static_cast<int>(status));
        return toResponseCode(status, Operation::Power);
    }
    DWORD length = capacity;
    if (copyATR(Atr, &length) != IFD_SUCCESS) return IFD_COMMUNICATION_ERROR;
    *AtrLength = length;
    return IFD_SUCCESS;
}

// SendPci.Protocol counts from 0 here: 0 is T=0, 1 is T=1.
RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer, DWORD TxLength,
                               PUCHAR RxBuffer, PDWORD RxLength, PSCARD_IO_HEADER RecvPci) {
    if (!isOurs(Lun)) return IFD_COMMUNICATION_ERROR;
    if (!RxLength) return IFD_COMMUNICATION_ERROR;
    const DWORD capacity = *RxLength;
    *RxLength = 0;
    if (!TxBuffer || !RxBuffer || TxLength == 0 || TxLength > MAX_BUFFER_SIZE_EXTENDED)
        return IFD_COMMUNICATION_ERROR;
    hv::ifdhandler::T0Tpdu command{TxBuffer, static_cast<uint32_t>(TxLength), {}};
    uint32_t protocol;
    if (SendPci.Protocol == 0) {
        protocol = SCARD_PROTOCOL_T0;
        hv::ifdhandler::makeT0Tpdu(TxBuffer, static_cast<uint32_t>(TxLength), command);
    } else if (SendPci.Protocol == 1) {
        protocol = SCARD_PROTOCOL_T1;
    } else {
        return IFD_PROTOCOL_NOT_SUPPORTED;
    }

    HVIFDH &d = driver();
    // The response lives in the driver's buffers until its next exchange: copy it first.
    std::lock_guard lock(d.monitor());
    const uint8_t *response = nullptr;
    uint32_t responseLength = 0;
    const HVIFDHStatus status =
        d.transmitToICC(command.data, command.length, protocol, &response, &responseLength);
    if (status != HVIFDHStatusSuccess) return toResponseCode(status, Operation::Transmit);
    if (responseLength > capacity) return IFD_ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(RxBuffer, response, responseLength);
    *RxLength = responseLength;
    if (RecvPci) {
        RecvPci->Protocol = SendPci.Protocol;
        RecvPci->Length = 0;
    }
    return IFD_SUCCESS;
}

RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength,
                         PUCHAR RxBuffer, DWORD RxLength, LPDWORD pdwBytesReturned) {
    if (pdwBytesReturned) *pdwBytesReturned = 0;
    if (!isOurs(Lun)) return IFD_COMMUNICATION_ERROR;
    if (!pdwBytesReturned) return IFD_COMMUNICATION_ERROR;
    return hv::ifdhandler::control(dwControlCode, TxBuffer, TxLength, RxBuffer, RxLength,
                                   pdwBytesReturned);
}

RESPONSECODE IFDHICCPresence(DWORD Lun) {
    if (!isOurs(Lun)) return IFD_COMMUNICATION_ERROR;
    return channel().presence.present(cardPresent) ? IFD_ICC_PRESENT : IFD_ICC_NOT_PRESENT;
}

}  // extern "C"
