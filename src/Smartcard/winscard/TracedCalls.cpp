// The exported SCard* functions: each calls its implementation (Calls.h) and, with the call
// trace on, writes its arguments, result and duration (CallTrace.h). Out arguments are shown
// when the call succeeded.
#include <algorithm>
#include <cstring>
#include <string>

#include "Smartcard/winscard/CallTrace.h"
#include "Smartcard/winscard/Calls.h"

namespace t = hv::pcsc::trace;
namespace calls = hv::pcsc::calls;

namespace {

constexpr DWORD kShownReaderStates = 16;

// A length argument as the caller gave it.
std::string lengthIn(const DWORD *length) {
    if (!length) return "NULL";
    return *length == SCARD_AUTOALLOCATE ? "SCARD_AUTOALLOCATE" : t::number(*length);
}

// With SCARD_AUTOALLOCATE the buffer argument holds the address of the block handed out.
template <typename T>
const T *outBuffer(void *buffer, bool autoallocated) {
    if (!buffer) return nullptr;
    if (!autoallocated) return static_cast<const T *>(buffer);
    const T *block;
    std::memcpy(&block, buffer, sizeof block);
    return block;
}

}  // namespace

extern "C" {

LONG SCardEstablishContext(DWORD dwScope, LPCVOID pvReserved1, LPCVOID pvReserved2,
                           LPSCARDCONTEXT phContext) {
    if (t::off()) return calls::SCardEstablishContext(dwScope, pvReserved1, pvReserved2, phContext);
    t::Call call("SCardEstablishContext");
    call.in("dwScope", t::scope(dwScope))
        .in("pvReserved1",
            pvReserved1 ? t::bytes(static_cast<const uint8_t *>(pvReserved1), 1) : "NULL");
    const LONG rv = calls::SCardEstablishContext(dwScope, pvReserved1, pvReserved2, phContext);
    if (rv == SCARD_S_SUCCESS && phContext) call.out("hContext", t::handle(*phContext));
    return call.end(rv);
}

LONG SCardReleaseContext(SCARDCONTEXT hContext) {
    if (t::off()) return calls::SCardReleaseContext(hContext);
    t::Call call("SCardReleaseContext");
    call.in("hContext", t::handle(hContext));
    return call.end(calls::SCardReleaseContext(hContext));
}

LONG SCardIsValidContext(SCARDCONTEXT hContext) {
    if (t::off()) return calls::SCardIsValidContext(hContext);
    t::Call call("SCardIsValidContext");
    call.in("hContext", t::handle(hContext));
    return call.end(calls::SCardIsValidContext(hContext));
}

LONG SCardListReaders(SCARDCONTEXT hContext, LPCSTR mszGroups, LPSTR mszReaders,
                      LPDWORD pcchReaders) {
    if (t::off()) return calls::SCardListReaders(hContext, mszGroups, mszReaders, pcchReaders);
    t::Call call("SCardListReaders");
    const bool autoallocate = pcchReaders && *pcchReaders == SCARD_AUTOALLOCATE;
    call.in("hContext", t::handle(hContext))
        .in("mszGroups", t::text(mszGroups))
        .in("pcchReaders", lengthIn(pcchReaders));
    const LONG rv = calls::SCardListReaders(hContext, mszGroups, mszReaders, pcchReaders);
    if (rv == SCARD_S_SUCCESS && pcchReaders) {
        if (const char *list = outBuffer<char>(mszReaders, autoallocate))
            call.out("mszReaders", t::multiString(list, *pcchReaders));
        call.out("pcchReaders", t::number(*pcchReaders));
    }
    return call.end(rv);
}

LONG SCardListReaderGroups(SCARDCONTEXT hContext, LPSTR mszGroups, LPDWORD pcchGroups) {
    if (t::off()) return calls::SCardListReaderGroups(hContext, mszGroups, pcchGroups);
    t::Call call("SCardListReaderGroups");
    call.in("hContext", t::handle(hContext)).in("pcchGroups", lengthIn(pcchGroups));
    return call.end(calls::SCardListReaderGroups(hContext, mszGroups, pcchGroups));
}

LONG SCardFreeMemory(SCARDCONTEXT hContext, LPCVOID pvMem) {
    if (t::off()) return calls::SCardFreeMemory(hContext, pvMem);
    t::Call call("SCardFreeMemory");
    call.in("hContext", t::handle(hContext)).in("pvMem", t::pointer(pvMem));
    return call.end(calls::SCardFreeMemory(hContext, pvMem));
}

LONG SCardCancel(SCARDCONTEXT hContext) {
    if (t::off()) return calls::SCardCancel(hContext);
    t::Call call("SCardCancel");
    call.in("hContext", t::handle(hContext));
    return call.end(calls::SCardCancel(hContext));
}

LONG SCardConnect(SCARDCONTEXT hContext, LPCSTR szReader, DWORD dwShareMode,
                  DWORD dwPreferredProtocols, LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol) {
    if (t::off())
        return calls::SCardConnect(hContext, szReader, dwShareMode, dwPreferredProtocols, phCard,
                                   pdwActiveProtocol);
    t::Call call("SCardConnect");
    call.in("hContext", t::handle(hContext))
        .in("szReader", t::text(szReader))
        .in("dwShareMode", t::share(dwShareMode))
        .in("dwPreferredProtocols", t::protocols(dwPreferredProtocols));
    const LONG rv = calls::SCardConnect(hContext, szReader, dwShareMode, dwPreferredProtocols,
                                        phCard, pdwActiveProtocol);
    if (rv == SCARD_S_SUCCESS && phCard && pdwActiveProtocol)
        call.out("hCard", t::handle(*phCard))
            .out("dwActiveProtocol", t::protocols(*pdwActiveProtocol));
    return call.end(rv);
}

LONG SCardReconnect(SCARDHANDLE hCard, DWORD dwShareMode, DWORD dwPreferredProtocols,
                    DWORD dwInitialization, LPDWORD pdwActiveProtocol) {
    if (t::off())
        return calls::SCardReconnect(hCard, dwShareMode, dwPreferredProtocols, dwInitialization,
                                     pdwActiveProtocol);
    t::Call call("SCardReconnect");
    call.in("hCard", t::handle(hCard))
        .in("dwShareMode", t::share(dwShareMode))
        .in("dwPreferredProtocols", t::protocols(dwPreferredProtocols))
        .in("dwInitialization", t::disposition(dwInitialization));
    const LONG rv = calls::SCardReconnect(hCard, dwShareMode, dwPreferredProtocols,
                                          dwInitialization, pdwActiveProtocol);
    if (rv == SCARD_S_SUCCESS && pdwActiveProtocol)
        call.out("dwActiveProtocol", t::protocols(*pdwActiveProtocol));
    return call.end(rv);
}

LONG SCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition) {
    if (t::off()) return calls::SCardDisconnect(hCard, dwDisposition);
    t::Call call("SCardDisconnect");
    call.in("hCard", t::handle(hCard)).in("dwDisposition", t::disposition(dwDisposition));
    return call.end(calls::SCardDisconnect(hCard, dwDisposition));
}

LONG SCardStatus(SCARDHANDLE hCard, LPSTR mszReaderName, LPDWORD pcchReaderLen, LPDWORD pdwState,
                 LPDWORD pdwProtocol, LPBYTE pbAtr, LPDWORD pcbAtrLen) {
    if (t::off())
        return calls::SCardStatus(hCard, mszReaderName, pcchReaderLen, pdwState, pdwProtocol, pbAtr,
                                  pcbAtrLen);
    t::Call call("SCardStatus");
    const bool nameAuto = pcchReaderLen && *pcchReaderLen == SCARD_AUTOALLOCATE;
    const bool atrAuto = pcbAtrLen && *pcbAtrLen == SCARD_AUTOALLOCATE;
    call.in("hCard", t::handle(hCard))
        .in("pcchReaderLen", lengthIn(pcchReaderLen))
        .in("pcbAtrLen", lengthIn(pcbAtrLen));
    const LONG rv = calls::SCardStatus(hCard, mszReaderName, pcchReaderLen, pdwState, pdwProtocol,
                                       pbAtr, pcbAtrLen);
    if (rv == SCARD_S_SUCCESS) {
        if (pcchReaderLen) {
            if (const char *name = outBuffer<char>(mszReaderName, nameAuto))
                call.out("mszReaderName", t::multiString(name, *pcchReaderLen));
            call.out("pcchReaderLen", t::number(*pcchReaderLen));
        }
        if (pdwState) call.out("dwState", t::number(*pdwState));
        if (pdwProtocol) call.out("dwProtocol", t::protocols(*pdwProtocol));
        if (pcbAtrLen) {
            if (const uint8_t *atr = outBuffer<uint8_t>(pbAtr, atrAuto))
                call.out("pbAtr", t::bytes(atr, *pcbAtrLen));
            else
                call.out("pcbAtrLen", t::number(*pcbAtrLen));
        }
    }
    return call.end(rv);
}

LONG SCardTransmit(SCARDHANDLE hCard, const SCARD_IO_REQUEST *pioSendPci, LPCBYTE pbSendBuffer,
                   DWORD cbSendLength, SCARD_IO_REQUEST *pioRecvPci, LPBYTE pbRecvBuffer,
                   LPDWORD pcbRecvLength) {
    if (t::off())
        return calls::SCardTransmit(hCard, pioSendPci, pbSendBuffer, cbSendLength, pioRecvPci,
                                    pbRecvBuffer, pcbRecvLength);
    t::Call call("SCardTransmit");
    call.in("hCard", t::handle(hCard))
        .in("pioSendPci", pioSendPci ? t::protocols(pioSendPci->dwProtocol) : "NULL")
        .in("pbSendBuffer", t::commandApdu(pbSendBuffer, cbSendLength))
        .in("pcbRecvLength", lengthIn(pcbRecvLength));
    const LONG rv = calls::SCardTransmit(hCard, pioSendPci, pbSendBuffer, cbSendLength, pioRecvPci,
                                         pbRecvBuffer, pcbRecvLength);
    if (rv == SCARD_S_SUCCESS && pcbRecvLength)
        call.out("pbRecvBuffer", t::bytes(pbRecvBuffer, *pcbRecvLength));
    return call.end(rv);
}

LONG SCardBeginTransaction(SCARDHANDLE hCard) {
    if (t::off()) return calls::SCardBeginTransaction(hCard);
    t::Call call("SCardBeginTransaction");
    call.in("hCard", t::handle(hCard));
    return call.end(calls::SCardBeginTransaction(hCard));
}

LONG SCardEndTransaction(SCARDHANDLE hCard, DWORD dwDisposition) {
    if (t::off()) return calls::SCardEndTransaction(hCard, dwDisposition);
    t::Call call("SCardEndTransaction");
    call.in("hCard", t::handle(hCard)).in("dwDisposition", t::disposition(dwDisposition));
    return call.end(calls::SCardEndTransaction(hCard, dwDisposition));
}

LONG SCardControl(SCARDHANDLE hCard, DWORD dwControlCode, LPCVOID pbSendBuffer, DWORD cbSendLength,
                  LPVOID pbRecvBuffer, DWORD cbRecvLength, LPDWORD lpBytesReturned) {
    if (t::off())
        return calls::SCardControl(hCard, dwControlCode, pbSendBuffer, cbSendLength, pbRecvBuffer,
                                   cbRecvLength, lpBytesReturned);
    t::Call call("SCardControl");
    // Control buffers may carry a PIN for a pad: their length only.
    call.in("hCard", t::handle(hCard))
        .in("dwControlCode", t::handle(dwControlCode))
        .in("cbSendLength", t::number(cbSendLength) + " bytes (content not shown)")
        .in("cbRecvLength", t::number(cbRecvLength));
    const LONG rv = calls::SCardControl(hCard, dwControlCode, pbSendBuffer, cbSendLength,
                                        pbRecvBuffer, cbRecvLength, lpBytesReturned);
    if (rv == SCARD_S_SUCCESS && lpBytesReturned)
        call.out("dwBytesReturned", t::number(*lpBytesReturned) + " (content not shown)");
    return call.end(rv);
}

LONG SCardGetStatusChange(SCARDCONTEXT hContext, DWORD dwTimeout,
                          LPSCARD_READERSTATE rgReaderStates, DWORD cReaders) {
    if (t::off()) return calls::SCardGetStatusChange(hContext, dwTimeout, rgReaderStates, cReaders);
    t::Call call("SCardGetStatusChange");
    call.in("hContext", t::handle(hContext))
        .in("dwTimeout", t::number(dwTimeout))
        .in("cReaders", t::number(cReaders));
    const DWORD shown = rgReaderStates ? std::min(cReaders, kShownReaderStates) : 0;
    for (DWORD i = 0; i < shown; ++i)
        call.in(("[" + std::to_string(i) + "]").c_str(),
                t::text(rgReaderStates[i].szReader) + " current " +
                    t::readerStates(rgReaderStates[i].dwCurrentState));
    const LONG rv = calls::SCardGetStatusChange(hContext, dwTimeout, rgReaderStates, cReaders);
    if (rv == SCARD_S_SUCCESS) {
        for (DWORD i = 0; i < shown; ++i) {
            const auto &r = rgReaderStates[i];
            call.out(
                ("[" + std::to_string(i) + "]").c_str(),
                "event " + t::readerStates(r.dwEventState) +
                    (r.cbAtr ? ", ATR " + t::bytes(r.rgbAtr, std::min<DWORD>(r.cbAtr, MAX_ATR_SIZE))
                             : ""));
        }
    }
    return call.end(rv);
}

LONG SCardGetAttrib(SCARDHANDLE hCard, DWORD dwAttrId, LPBYTE pbAttr, LPDWORD pcbAttrLen) {
    if (t::off()) return calls::SCardGetAttrib(hCard, dwAttrId, pbAttr, pcbAttrLen);
    t::Call call("SCardGetAttrib");
    const bool autoallocate = pcbAttrLen && *pcbAttrLen == SCARD_AUTOALLOCATE;
    call.in("hCard", t::handle(hCard))
        .in("dwAttrId", t::handle(dwAttrId))
        .in("pcbAttrLen", lengthIn(pcbAttrLen));
    const LONG rv = calls::SCardGetAttrib(hCard, dwAttrId, pbAttr, pcbAttrLen);
    if (rv == SCARD_S_SUCCESS && pcbAttrLen) {
        if (const uint8_t *value = outBuffer<uint8_t>(pbAttr, autoallocate))
            call.out("pbAttr", t::bytes(value, *pcbAttrLen));
        else
            call.out("pcbAttrLen", t::number(*pcbAttrLen));
    }
    return call.end(rv);
}

LONG SCardSetAttrib(SCARDHANDLE hCard, DWORD dwAttrId, LPCBYTE pbAttr, DWORD cbAttrLen) {
    if (t::off()) return calls::SCardSetAttrib(hCard, dwAttrId, pbAttr, cbAttrLen);
    t::Call call("SCardSetAttrib");
    call.in("hCard", t::handle(hCard))
        .in("dwAttrId", t::handle(dwAttrId))
        .in("pbAttr", cbAttrLen == 1 ? t::bytes(pbAttr, 1) : t::number(cbAttrLen) + " bytes");
    return call.end(calls::SCardSetAttrib(hCard, dwAttrId, pbAttr, cbAttrLen));
}

}  // extern "C"
