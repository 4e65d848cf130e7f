#include "PcscSession.h"

#include <cstdio>

#include "Json.h"
#include "Smartcard/winscard/DriverResults.h"

namespace vorasel::tool {

std::string pcscError(LONG code) {
    char value[16];
    std::snprintf(value, sizeof value, "0x%08X", static_cast<unsigned>(code));
    const char *name = hv::pcsc::resultName(code);
    return name ? std::string(name) + " (" + value + ")" : std::string(value);
}

DWORD protocolMask(const std::string &name) {
    if (name == "t0" || name == "T=0") return SCARD_PROTOCOL_T0;
    if (name == "t1" || name == "T=1") return SCARD_PROTOCOL_T1;
    if (name == "any") return SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    return 0;
}

const char *protocolName(DWORD protocol) {
    switch (protocol) {
        case SCARD_PROTOCOL_T0:
            return "T=0";
        case SCARD_PROTOCOL_T1:
            return "T=1";
        case SCARD_PROTOCOL_RAW:
            return "raw";
        default:
            return "none";
    }
}

PcscSession::~PcscSession() {
    if (connected_) SCardDisconnect(card_, SCARD_LEAVE_CARD);
    if (context_) SCardReleaseContext(context_);
}

LONG PcscSession::check(LONG rv, const char *call) {
    if (rv != SCARD_S_SUCCESS) failedCall_ = call;
    return rv;
}

LONG PcscSession::establish() {
    return check(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context_),
                 "SCardEstablishContext");
}

LONG PcscSession::waitForCard(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    DWORD known = SCARD_STATE_UNAWARE;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return check(SCARD_E_TIMEOUT, "SCardGetStatusChange");
        SCARD_READERSTATE state = {};
        state.szReader = sc_reader_name;
        state.dwCurrentState = known;
        const LONG rv = SCardGetStatusChange(context_, static_cast<DWORD>(left.count()), &state, 1);
        if (rv != SCARD_S_SUCCESS) return check(rv, "SCardGetStatusChange");
        known = state.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
        if (known & SCARD_STATE_PRESENT) return SCARD_S_SUCCESS;
    }
}

LONG PcscSession::connect(DWORD preferredProtocols) {
    preferred_ = preferredProtocols;
    const LONG rv = SCardConnect(context_, sc_reader_name, SCARD_SHARE_EXCLUSIVE,
                                 preferredProtocols, &card_, &protocol_);
    connected_ = rv == SCARD_S_SUCCESS;
    return check(rv, "SCardConnect");
}

LONG PcscSession::transmit(const std::vector<uint8_t> &command, std::vector<uint8_t> &response) {
    const SCARD_IO_REQUEST *pci = protocol_ == SCARD_PROTOCOL_T0   ? SCARD_PCI_T0
                                  : protocol_ == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1
                                                                   : SCARD_PCI_RAW;
    response.resize(65536 + 2);
    DWORD length = static_cast<DWORD>(response.size());
    const LONG rv = SCardTransmit(card_, pci, command.data(), static_cast<DWORD>(command.size()),
                                  nullptr, response.data(), &length);
    response.resize(rv == SCARD_S_SUCCESS ? length : 0);
    return check(rv, "SCardTransmit");
}

LONG PcscSession::reset() {
    return check(
        SCardReconnect(card_, SCARD_SHARE_EXCLUSIVE, preferred_, SCARD_RESET_CARD, &protocol_),
        "SCardReconnect");
}

std::vector<uint8_t> PcscSession::atr() {
    std::vector<uint8_t> bytes(MAX_ATR_SIZE);
    DWORD length = MAX_ATR_SIZE;
    if (SCardStatus(card_, nullptr, nullptr, nullptr, nullptr, bytes.data(), &length) !=
        SCARD_S_SUCCESS)
        return {};
    bytes.resize(length);
    return bytes;
}

int finishRun(const char *command, bool json, std::string &j, LONG rv, const PcscSession &pcsc) {
    if (json) {
        j += "],\"ok\":" + std::string(rv == SCARD_S_SUCCESS ? "true" : "false");
        if (rv != SCARD_S_SUCCESS)
            j += ",\"error\":{\"call\":" + jsonString(pcsc.failedCall()) +
                 ",\"result\":" + jsonString(pcscError(rv)) + "}";
        std::printf("%s}\n", j.c_str());
    }
    if (rv == SCARD_S_SUCCESS) return 0;
    std::fprintf(stderr, "vorasel %s: %s: %s\n", command, pcsc.failedCall(), pcscError(rv).c_str());
    return 1;
}

}  // namespace vorasel::tool
