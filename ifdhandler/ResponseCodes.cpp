#include "ResponseCodes.h"

namespace hv::ifdhandler {

RESPONSECODE toResponseCode(HVIFDHStatus status, Operation operation) {
    switch (status) {
        case HVIFDHStatusSuccess:
            return IFD_SUCCESS;
        case HVIFDHStatusNegotiationFailed:
            return operation == Operation::Protocol ? IFD_ERROR_PTS_FAILURE
                                                    : IFD_COMMUNICATION_ERROR;
        case HVIFDHStatusProtocolNotSupported:
            return IFD_PROTOCOL_NOT_SUPPORTED;
        case HVIFDHStatusFailed:
            // Power: the card did not answer or answered wrongly; protocol: PPS or the
            // reader's parameters refused.
            if (operation == Operation::Power) return IFD_ERROR_POWER_ACTION;
            if (operation == Operation::Protocol) return IFD_ERROR_PTS_FAILURE;
            return IFD_COMMUNICATION_ERROR;
        case HVIFDHStatusTimeout:
            return IFD_RESPONSE_TIMEOUT;
        case HVIFDHStatusNoCard:
            return IFD_ICC_NOT_PRESENT;
        case HVIFDHStatusInvalidValue:
        case HVIFDHStatusReaderUnavailable:
        case HVIFDHStatusSessionCreateFailed:
        case HVIFDHStatusCardUnpowered:
        case HVIFDHStatusCommunicationError:
            return IFD_COMMUNICATION_ERROR;
    }
    return IFD_COMMUNICATION_ERROR;
}

}  // namespace hv::ifdhandler
