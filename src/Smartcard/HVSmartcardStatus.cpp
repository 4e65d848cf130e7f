// The status names and the conversion from PC/SC results.
#include "vorasel/HVLog.h"
#include "vorasel/HVSmartcard.h"
#include "vorasel/winscard.h"

namespace {

constexpr const char *kStatusNames[] = {
    "HVSmartcardStatusSuccess",
    "HVSmartcardStatusInvalidParameter",
    "HVSmartcardStatusSharingViolation",
    "HVSmartcardStatusNoSmartcard",
    "HVSmartcardStatusProtocolMismatch",
    "HVSmartcardStatusNotReady",
    "HVSmartcardStatusInvalidValue",
    "HVSmartcardStatusReaderUnavailable",
    "HVSmartcardStatusUnexpected",
    "HVSmartcardStatusUnsupportedCard",
    "HVSmartcardStatusUnresponsiveCard",
    "HVSmartcardStatusUnpoweredCard",
    "HVSmartcardStatusResetCard",
    "HVSmartcardStatusRemovedCard",
    "HVSmartcardStatusNotConnected",
    "HVSmartcardStatusInternalSessionLost",
    "HVSmartcardStatusProtocolNotIncluded",
};

struct Conversion {
    uint32_t code;
    HVSmartcardStatus status;
};

constexpr Conversion kConversions[] = {
    {static_cast<uint32_t>(SCARD_S_SUCCESS), HVSmartcardStatusSuccess},
    {static_cast<uint32_t>(SCARD_E_INVALID_PARAMETER), HVSmartcardStatusInvalidParameter},
    {static_cast<uint32_t>(SCARD_E_INVALID_TARGET), HVSmartcardStatusProtocolNotIncluded},
    {static_cast<uint32_t>(SCARD_E_INSUFFICIENT_BUFFER), HVSmartcardStatusInvalidValue},
    {static_cast<uint32_t>(SCARD_E_SHARING_VIOLATION), HVSmartcardStatusSharingViolation},
    {static_cast<uint32_t>(SCARD_E_NO_SMARTCARD), HVSmartcardStatusNoSmartcard},
    {static_cast<uint32_t>(SCARD_E_PROTO_MISMATCH), HVSmartcardStatusProtocolMismatch},
    {static_cast<uint32_t>(SCARD_E_NOT_READY), HVSmartcardStatusNotReady},
    {static_cast<uint32_t>(SCARD_F_COMM_ERROR), HVSmartcardStatusInternalSessionLost},
    {static_cast<uint32_t>(SCARD_E_READER_UNAVAILABLE), HVSmartcardStatusReaderUnavailable},
    {static_cast<uint32_t>(SCARD_E_READER_UNSUPPORTED), HVSmartcardStatusReaderUnsupported},
    {static_cast<uint32_t>(SCARD_E_NO_READERS_AVAILABLE), HVSmartcardStatusReaderUnavailable},
    {static_cast<uint32_t>(SCARD_W_UNRESPONSIVE_CARD), HVSmartcardStatusUnresponsiveCard},
    {static_cast<uint32_t>(SCARD_W_UNPOWERED_CARD), HVSmartcardStatusUnpoweredCard},
    {static_cast<uint32_t>(SCARD_W_RESET_CARD), HVSmartcardStatusResetCard},
    {static_cast<uint32_t>(SCARD_W_REMOVED_CARD), HVSmartcardStatusRemovedCard},
};

}  // namespace

HVSmartcardStatus pcsc_to_hvsc(uint32_t code) {
    for (const Conversion &c : kConversions)
        if (c.code == code) return c.status;
    HVLogError("Unexpected status %08X!", code);
    return HVSmartcardStatusUnexpected;
}

const char *HVSmartcard::stringFromStatus(int32_t status) {
    constexpr int32_t count = static_cast<int32_t>(sizeof kStatusNames / sizeof kStatusNames[0]);
    if (status < 0 || status >= count) return "HVSmartcardStatusUNKNOWN";
    return kStatusNames[status];
}
