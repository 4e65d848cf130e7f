#include "Smartcard/winscard/DriverResults.h"

namespace hv::pcsc {

LONG fromPowerOn(HVIFDHStatus status) {
    switch (status) {
        case HVIFDHStatusSuccess:
            return SCARD_S_SUCCESS;
        case HVIFDHStatusFailed:
        case HVIFDHStatusTimeout:
            return SCARD_W_UNRESPONSIVE_CARD;
        case HVIFDHStatusNoCard:
            return SCARD_E_NO_SMARTCARD;
        case HVIFDHStatusCommunicationError:
            return SCARD_F_COMM_ERROR;
        default:
            return SCARD_E_UNEXPECTED;
    }
}

LONG fromDisconnect(HVIFDHStatus status) {
    switch (status) {
        case HVIFDHStatusSuccess:
        case HVIFDHStatusNoCard:
        case HVIFDHStatusReaderUnavailable:
            return SCARD_S_SUCCESS;
        case HVIFDHStatusCommunicationError:
            return SCARD_F_COMM_ERROR;
        default:
            return SCARD_E_UNEXPECTED;
    }
}

LONG fromReconnectPowerOn(HVIFDHStatus status) {
    switch (status) {
        case HVIFDHStatusSuccess:
            return SCARD_S_SUCCESS;
        case HVIFDHStatusNoCard:
            return SCARD_E_NO_SMARTCARD;
        case HVIFDHStatusReaderUnavailable:
            return SCARD_E_READER_UNAVAILABLE;
        default:
            return SCARD_W_UNRESPONSIVE_CARD;
    }
}

LONG fromNegotiation(HVIFDHStatus status) {
    switch (status) {
        case HVIFDHStatusSuccess:
            return SCARD_S_SUCCESS;
        case HVIFDHStatusCommunicationError:
            return SCARD_F_COMM_ERROR;
        default:
            return SCARD_W_UNRESPONSIVE_CARD;
    }
}

LONG fromTransmit(HVIFDHStatus status) {
    switch (status) {
        case HVIFDHStatusSuccess:
            return SCARD_S_SUCCESS;
        case HVIFDHStatusInvalidValue:
            return SCARD_E_INVALID_VALUE;
        case HVIFDHStatusProtocolNotSupported:
            return SCARD_E_PROTO_MISMATCH;
        case HVIFDHStatusFailed:
            return SCARD_W_UNRESPONSIVE_CARD;
        case HVIFDHStatusNoCard:
            return SCARD_W_REMOVED_CARD;
        case HVIFDHStatusReaderUnavailable:
            return SCARD_E_READER_UNAVAILABLE;
        case HVIFDHStatusCardUnpowered:
            return SCARD_W_UNPOWERED_CARD;
        case HVIFDHStatusCommunicationError:
            return SCARD_F_COMM_ERROR;
        default:
            return SCARD_E_UNEXPECTED;
    }
}

const char *resultName(LONG code) {
    switch (code) {
#define HV_PCSC_NAME(c) \
    case c:             \
        return #c;
        HV_PCSC_NAME(SCARD_S_SUCCESS)
        HV_PCSC_NAME(SCARD_F_INTERNAL_ERROR)
        HV_PCSC_NAME(SCARD_E_CANCELLED)
        HV_PCSC_NAME(SCARD_E_INVALID_HANDLE)
        HV_PCSC_NAME(SCARD_E_INVALID_PARAMETER)
        HV_PCSC_NAME(SCARD_E_INVALID_TARGET)
        HV_PCSC_NAME(SCARD_E_NO_MEMORY)
        HV_PCSC_NAME(SCARD_F_WAITED_TOO_LONG)
        HV_PCSC_NAME(SCARD_E_INSUFFICIENT_BUFFER)
        HV_PCSC_NAME(SCARD_E_UNKNOWN_READER)
        HV_PCSC_NAME(SCARD_E_TIMEOUT)
        HV_PCSC_NAME(SCARD_E_SHARING_VIOLATION)
        HV_PCSC_NAME(SCARD_E_NO_SMARTCARD)
        HV_PCSC_NAME(SCARD_E_UNKNOWN_CARD)
        HV_PCSC_NAME(SCARD_E_CANT_DISPOSE)
        HV_PCSC_NAME(SCARD_E_PROTO_MISMATCH)
        HV_PCSC_NAME(SCARD_E_NOT_READY)
        HV_PCSC_NAME(SCARD_E_INVALID_VALUE)
        HV_PCSC_NAME(SCARD_E_SYSTEM_CANCELLED)
        HV_PCSC_NAME(SCARD_F_COMM_ERROR)
        HV_PCSC_NAME(SCARD_F_UNKNOWN_ERROR)
        HV_PCSC_NAME(SCARD_E_INVALID_ATR)
        HV_PCSC_NAME(SCARD_E_NOT_TRANSACTED)
        HV_PCSC_NAME(SCARD_E_READER_UNAVAILABLE)
        HV_PCSC_NAME(SCARD_P_SHUTDOWN)
        HV_PCSC_NAME(SCARD_E_PCI_TOO_SMALL)
        HV_PCSC_NAME(SCARD_E_READER_UNSUPPORTED)
        HV_PCSC_NAME(SCARD_E_DUPLICATE_READER)
        HV_PCSC_NAME(SCARD_E_CARD_UNSUPPORTED)
        HV_PCSC_NAME(SCARD_E_NO_SERVICE)
        HV_PCSC_NAME(SCARD_E_SERVICE_STOPPED)
        HV_PCSC_NAME(SCARD_E_UNEXPECTED)
        HV_PCSC_NAME(SCARD_E_NO_READERS_AVAILABLE)
        HV_PCSC_NAME(SCARD_W_UNSUPPORTED_CARD)
        HV_PCSC_NAME(SCARD_W_UNRESPONSIVE_CARD)
        HV_PCSC_NAME(SCARD_W_UNPOWERED_CARD)
        HV_PCSC_NAME(SCARD_W_RESET_CARD)
        HV_PCSC_NAME(SCARD_W_REMOVED_CARD)
        HV_PCSC_NAME(SCARD_W_CANCELLED_BY_USER)
#undef HV_PCSC_NAME
        default:
            return nullptr;
    }
}

}  // namespace hv::pcsc
