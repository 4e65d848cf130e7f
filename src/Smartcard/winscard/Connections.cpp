// Card connections: connect and reconnect (power, protocol choice and negotiation), disconnect,
// status, transmit and the transaction brackets.
#include <sys/random.h>

#include <cstring>
#include <random>

#include "Smartcard/winscard/Calls.h"
#include "Smartcard/winscard/DriverResults.h"
#include "Smartcard/winscard/ReaderRecord.h"
#include "vorasel/HVLog.h"
#include "vorasel/sc_atr.h"

namespace hv::pcsc {

namespace {

// Set while an SCardConnect runs, so that a second one meets a sharing violation instead of
// both succeeding with only the last handle valid.
std::atomic<bool> connecting{false};

uint32_t random32() {
    uint32_t value;
    if (getrandom(&value, sizeof value, 0) == static_cast<ssize_t>(sizeof value)) return value;
    static thread_local std::random_device device;
    return device();
}

// A fresh handle: never the "no connection" value, never the previous connection's.
uint32_t drawHandle(uint32_t previous) {
    uint32_t handle;
    do {
        handle = random32();
    } while (handle == kNoCard || handle == previous);
    return handle;
}

constexpr size_t kReaderNameLength = sizeof sc_reader_name;  // with its zero byte

// Ends the current connection: the handle stops being valid and the reader is free again.
void releaseConnection() {
    reader.hActiveCard.store(kNoCard);
    clearStateBits(SCARD_STATE_INUSE);
}

}  // namespace

LONG negotiateProtocol(DWORD dwPreferredProtocols, DWORD *chosen) {
    HVIFDH &ifd = driver();
    const HVIFDHATR atr = ifd.ATR();
    uint32_t offered = 0;
    scatr_t parsed;
    if (atr.length <= sizeof atr.data && scatr_parse(&parsed, atr.data, atr.length) == SCATR_OK)
        offered = scatr_getAvailProtocols(&parsed) & (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    const uint32_t common = offered & dwPreferredProtocols;
    DWORD choice;
    if (common & SCARD_PROTOCOL_T1)
        choice = SCARD_PROTOCOL_T1;
    else if (common & SCARD_PROTOCOL_T0)
        choice = SCARD_PROTOCOL_T0;
    else
        return SCARD_E_PROTO_MISMATCH;

    HVLogVerbose("About to PPS for protocol %d\n", choice);
    const HVIFDHStatus status = ifd.setProtocolParameters(static_cast<uint8_t>(choice), 0, 0, 0, 0);
    if (status == HVIFDHStatusSuccess) {
        reader.dwActiveProtocol.store(choice);
        *chosen = choice;
        return SCARD_S_SUCCESS;
    }
    if (status == HVIFDHStatusCommunicationError)
        HVLogVerbose("Session lost!\n");
    else
        HVLogVerbose("PPS failed: %d\n", status);
    return fromNegotiation(status);
}

}  // namespace hv::pcsc

using namespace hv::pcsc;

namespace {

LONG connect(LPCSTR szReader, DWORD dwShareMode, DWORD dwPreferredProtocols, LPSCARDHANDLE phCard,
             LPDWORD pdwActiveProtocol) {
    HVIFDH &ifd = driver();
    if (std::strcmp(szReader, ifd.getName()) != 0) return SCARD_E_READER_UNAVAILABLE;
    if (dwShareMode != SCARD_SHARE_EXCLUSIVE && dwShareMode != SCARD_SHARE_SHARED)
        return SCARD_E_INVALID_PARAMETER;
    if (!readerOpen()) {
        waitForReaderConnect(250);
        if (!readerOpen()) return SCARD_E_READER_UNAVAILABLE;
    }
    if (reader.dwState.load() & SCARD_STATE_INUSE) return SCARD_E_SHARING_VIOLATION;
    if (reader.dwState.load() == SCARD_STATE_UNKNOWN)
        waitForReaderStateChange(SCARD_STATE_UNKNOWN, 250);

    if (ifd.slot_state() <= HVIFDHSlotStateSwallowed) {
        const HVIFDHStatus status = ifd.powerOnICC();
        if (status != HVIFDHStatusSuccess) {
            HVLogVerbose("reader.pIfd powerOnICC = %d\n", status);
            if (status == HVIFDHStatusNoCard) storeState(SCARD_STATE_EMPTY);
            return fromPowerOn(status);
        }
        reader.dwActiveProtocol.store(0);
    }

    DWORD protocol;
    if (dwPreferredProtocols & SCARD_PROTOCOL_RAW) {
        protocol = SCARD_PROTOCOL_RAW;
        reader.dwActiveProtocol.store(protocol);
    } else if ((protocol = reader.dwActiveProtocol.load()) != 0) {
        if (!(protocol & dwPreferredProtocols)) return SCARD_E_PROTO_MISMATCH;
    } else {
        const LONG negotiated = negotiateProtocol(dwPreferredProtocols, &protocol);
        if (negotiated != SCARD_S_SUCCESS) return negotiated;
    }

    *pdwActiveProtocol = protocol;
    const uint32_t handle = drawHandle(reader.hActiveCard.load());
    reader.hActiveCard.store(handle);
    storeState(SCARD_STATE_PRESENT | SCARD_STATE_INUSE);
    *phCard = handle;
    HVLogDebug("*pdwActiveProtocol = %d, *phCard = 0x%08x", protocol, handle);
    return SCARD_S_SUCCESS;
}

}  // namespace

namespace hv::pcsc::calls {

LONG SCardConnect(SCARDCONTEXT hContext, LPCSTR szReader, DWORD dwShareMode,
                  DWORD dwPreferredProtocols, LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol) {
    HVLogDebug("hContext = 0x%08x, dwShareMode = %d, dwPreferredProtocols = %d", hContext,
               dwShareMode, dwPreferredProtocols);
    if (!isValidContext(hContext)) return SCARD_E_INVALID_HANDLE;
    if (!szReader || !phCard || !pdwActiveProtocol) return SCARD_E_INVALID_PARAMETER;
    if (connecting.exchange(true)) return SCARD_E_SHARING_VIOLATION;
    const LONG result =
        connect(szReader, dwShareMode, dwPreferredProtocols, phCard, pdwActiveProtocol);
    connecting.store(false);
    return result;
}

LONG SCardReconnect(SCARDHANDLE hCard, DWORD dwShareMode, DWORD dwPreferredProtocols,
                    DWORD dwInitialization, LPDWORD pdwActiveProtocol) {
    HVLogDebug("hCard = 0x%08x, dwShareMode = %d, dwPreferredProtocols = %d, dwInitialization = %d",
               hCard, dwShareMode, dwPreferredProtocols, dwInitialization);
    if (!isValidHandle(hCard)) return SCARD_E_INVALID_HANDLE;
    if (!readerOpen()) {
        waitForReaderConnect(250);
        if (!readerOpen()) return SCARD_E_READER_UNAVAILABLE;
    }
    if (dwShareMode != SCARD_SHARE_EXCLUSIVE || dwInitialization > SCARD_UNPOWER_CARD ||
        !pdwActiveProtocol)
        return SCARD_E_INVALID_PARAMETER;

    HVIFDH &ifd = driver();
    DWORD protocol = reader.dwActiveProtocol.load();
    if (dwInitialization == SCARD_LEAVE_CARD && protocol != 0) {
        if (!(protocol & dwPreferredProtocols)) return SCARD_E_PROTO_MISMATCH;
        *pdwActiveProtocol = protocol;
        return SCARD_S_SUCCESS;
    }
    if (dwInitialization != SCARD_LEAVE_CARD) {
        reader.dwActiveProtocol.store(0);
        if (dwInitialization == SCARD_UNPOWER_CARD) ifd.powerOffICC();
        const HVIFDHStatus status = ifd.powerOnICC();
        if (status == HVIFDHStatusNoCard)
            storeState(SCARD_STATE_EMPTY);
        else if (status == HVIFDHStatusReaderUnavailable)
            storeState(SCARD_STATE_UNKNOWN);
        else if (status != HVIFDHStatusSuccess)
            storeState(SCARD_STATE_PRESENT | SCARD_STATE_MUTE);
        if (status != HVIFDHStatusSuccess) return fromReconnectPowerOn(status);
    }
    const LONG negotiated = negotiateProtocol(dwPreferredProtocols, &protocol);
    if (negotiated != SCARD_S_SUCCESS) return negotiated;
    *pdwActiveProtocol = protocol;
    return SCARD_S_SUCCESS;
}

LONG SCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition) {
    HVLogDebug("hCard = 0x%08x, dwDisposition = %d", hCard, dwDisposition);
    if (!isValidHandle(hCard)) return SCARD_E_INVALID_HANDLE;
    if (dwDisposition > SCARD_UNPOWER_CARD) return SCARD_E_INVALID_PARAMETER;
    if (dwDisposition == SCARD_LEAVE_CARD) {
        releaseConnection();
        return SCARD_S_SUCCESS;
    }

    // The card is reset or unpowered while the connection still holds the reader: a connect
    // let in earlier would get a card that changes under it.
    HVIFDH &ifd = driver();
    HVIFDHStatus status;
    if (dwDisposition == SCARD_RESET_CARD) {
        status = ifd.coldresetICC();
    } else {
        setStateBits(SCARD_STATE_UNPOWERED);
        status = ifd.powerOffICC();
    }
    reader.dwActiveProtocol.store(0);
    releaseConnection();
    if (status == HVIFDHStatusNoCard)
        storeState(SCARD_STATE_EMPTY);
    else if (status == HVIFDHStatusReaderUnavailable)
        storeState(SCARD_STATE_UNKNOWN);
    return fromDisconnect(status);
}

LONG SCardStatus(SCARDHANDLE hCard, LPSTR mszReaderName, LPDWORD pcchReaderLen, LPDWORD pdwState,
                 LPDWORD pdwProtocol, LPBYTE pbAtr, LPDWORD pcbAtrLen) {
    HVLogDebug("hCard = 0x%08x", hCard);
    if (!isValidHandle(hCard)) return SCARD_E_INVALID_HANDLE;
    if (!(reader.dwState.load() & SCARD_STATE_INUSE)) return SCARD_E_NOT_READY;
    HVIFDH &ifd = driver();

    // With SCARD_AUTOALLOCATE the buffer argument is where the block's address goes.
    char *name = mszReaderName;
    void *nameBlock = nullptr;
    if (pcchReaderLen) {
        if (*pcchReaderLen == SCARD_AUTOALLOCATE) {
            if (!mszReaderName) return SCARD_E_INVALID_PARAMETER;
            nameBlock = allocateOutputBlock(kReaderNameLength);
            if (!nameBlock) return SCARD_E_NO_MEMORY;
            name = static_cast<char *>(nameBlock);
        } else if (mszReaderName && *pcchReaderLen < kReaderNameLength) {
            return SCARD_E_INSUFFICIENT_BUFFER;
        }
    }

    const HVIFDHATR atr = ifd.ATR();
    const DWORD atrLength = atr.length <= sizeof atr.data ? atr.length : sizeof atr.data;
    uint8_t *atrOut = pbAtr;
    void *atrBlock = nullptr;
    if (pcbAtrLen) {
        LONG refused = SCARD_S_SUCCESS;
        if (*pcbAtrLen == SCARD_AUTOALLOCATE) {
            if (!pbAtr)
                refused = SCARD_E_INVALID_PARAMETER;
            else if (!(atrBlock = allocateOutputBlock(atrLength)))
                refused = SCARD_E_NO_MEMORY;
            atrOut = static_cast<uint8_t *>(atrBlock);
        } else if (pbAtr && *pcbAtrLen < atrLength) {
            refused = SCARD_E_INSUFFICIENT_BUFFER;
        }
        if (refused != SCARD_S_SUCCESS) {
            freeOutputBlock(nameBlock);
            return refused;
        }
    }

    if (pcchReaderLen) {
        if (name) std::memcpy(name, sc_reader_name, kReaderNameLength);
        if (nameBlock) std::memcpy(mszReaderName, &nameBlock, sizeof nameBlock);
        *pcchReaderLen = kReaderNameLength;
    }
    if (pcbAtrLen) {
        if (atrOut) std::memcpy(atrOut, atr.data, atrLength);
        if (atrBlock) std::memcpy(pbAtr, &atrBlock, sizeof atrBlock);
        *pcbAtrLen = atrLength;
    }
    if (pdwProtocol) *pdwProtocol = reader.dwActiveProtocol.load();
    if (pdwState) {
        *pdwState = ifd.slot_state();
        HVLogVerbose("*pdwState = 0x%x\n", *pdwState);
    }
    return SCARD_S_SUCCESS;
}

LONG SCardTransmit(SCARDHANDLE hCard, const SCARD_IO_REQUEST *pioSendPci, LPCBYTE pbSendBuffer,
                   DWORD cbSendLength, SCARD_IO_REQUEST *pioRecvPci, LPBYTE pbRecvBuffer,
                   LPDWORD pcbRecvLength) {
    (void)pioRecvPci;
    HVLogDebug("hCard = 0x%08x", hCard);
    if (!isValidHandle(hCard)) return SCARD_E_INVALID_HANDLE;
    if (!pioSendPci || !pbSendBuffer || !pbRecvBuffer || !pcbRecvLength || cbSendLength == 0)
        return SCARD_E_INVALID_PARAMETER;
    const uint32_t state = reader.dwState.load();
    if (!(state & SCARD_STATE_INUSE)) {
        *pcbRecvLength = 0;
        HVLogVerbose("SCARD_E_NOT_READY (0x%08x)\n", state);
        return SCARD_E_NOT_READY;
    }
    if (pioSendPci->dwProtocol != reader.dwActiveProtocol.load()) return SCARD_E_PROTO_MISMATCH;

    HVIFDH &ifd = driver();
    // The response lies in the driver's buffer until its next exchange: copy it out before
    // another thread's transmission can start.
    std::lock_guard exchange(ifd.monitor());
    const uint8_t *response = nullptr;
    uint32_t responseLength = 0;
    const HVIFDHStatus status = ifd.transmitToICC(
        pbSendBuffer, cbSendLength, pioSendPci->dwProtocol, &response, &responseLength);
    HVLogVerbose("transmitToICC = %d\n", status);
    if (status != HVIFDHStatusSuccess) {
        *pcbRecvLength = 0;
        return fromTransmit(status);
    }
    if (*pcbRecvLength < responseLength) {
        *pcbRecvLength = 0;
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    if (responseLength) std::memcpy(pbRecvBuffer, response, responseLength);
    *pcbRecvLength = responseLength;
    return SCARD_S_SUCCESS;
}

LONG SCardBeginTransaction(SCARDHANDLE hCard) {
    HVLogDebug("hCard = 0x%08x", hCard);
    return isValidHandle(hCard) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG SCardEndTransaction(SCARDHANDLE hCard, DWORD dwDisposition) {
    HVLogDebug("hCard = 0x%08x, dwDisposition = %d", hCard, dwDisposition);
    return isValidHandle(hCard) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

}  // namespace hv::pcsc::calls
