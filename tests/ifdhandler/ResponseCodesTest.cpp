// Every driver result as a reader-driver response code, for each kind of call.
#include "ResponseCodes.h"

#include <gtest/gtest.h>

namespace {

using hv::ifdhandler::Operation;
using hv::ifdhandler::toResponseCode;

struct Row {
    HVIFDHStatus status;
    RESPONSECODE power, protocol, transmit;
};

TEST(ResponseCodes, EveryDriverResult) {
    const Row rows[] = {
        {HVIFDHStatusSuccess, IFD_SUCCESS, IFD_SUCCESS, IFD_SUCCESS},
        {HVIFDHStatusNegotiationFailed, IFD_COMMUNICATION_ERROR, IFD_ERROR_PTS_FAILURE,
         IFD_COMMUNICATION_ERROR},
        {HVIFDHStatusInvalidValue, IFD_COMMUNICATION_ERROR, IFD_COMMUNICATION_ERROR,
         IFD_COMMUNICATION_ERROR},
        {HVIFDHStatusProtocolNotSupported, IFD_PROTOCOL_NOT_SUPPORTED, IFD_PROTOCOL_NOT_SUPPORTED,
         IFD_PROTOCOL_NOT_SUPPORTED},
        {HVIFDHStatusFailed, IFD_ERROR_POWER_ACTION, IFD_ERROR_PTS_FAILURE,
         IFD_COMMUNICATION_ERROR},
        {HVIFDHStatusTimeout, IFD_RESPONSE_TIMEOUT, IFD_RESPONSE_TIMEOUT, IFD_RESPONSE_TIMEOUT},
        {HVIFDHStatusNoCard, IFD_ICC_NOT_PRESENT, IFD_ICC_NOT_PRESENT, IFD_ICC_NOT_PRESENT},
        {HVIFDHStatusReaderUnavailable, IFD_COMMUNICATION_ERROR, IFD_COMMUNICATION_ERROR,
         IFD_COMMUNICATION_ERROR},
        {HVIFDHStatusSessionCreateFailed, IFD_COMMUNICATION_ERROR, IFD_COMMUNICATION_ERROR,
         IFD_COMMUNICATION_ERROR},
        {HVIFDHStatusCardUnpowered, IFD_COMMUNICATION_ERROR, IFD_COMMUNICATION_ERROR,
         IFD_COMMUNICATION_ERROR},
        {HVIFDHStatusCommunicationError, IFD_COMMUNICATION_ERROR, IFD_COMMUNICATION_ERROR,
         IFD_COMMUNICATION_ERROR},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(static_cast<int>(row.status));
        EXPECT_EQ(toResponseCode(row.status, Operation::Power), row.power);
        EXPECT_EQ(toResponseCode(row.status, Operation::Protocol), row.protocol);
        EXPECT_EQ(toResponseCode(row.status, Operation::Transmit), row.transmit);
    }
}

TEST(ResponseCodes, OnlySuccessIsSuccessAndUnknownResultsAreErrors) {
    for (int status = -2; status < 40; ++status) {
        const auto s = static_cast<HVIFDHStatus>(status);
        for (Operation op : {Operation::Power, Operation::Protocol, Operation::Transmit}) {
            const RESPONSECODE code = toResponseCode(s, op);
            EXPECT_EQ(code == IFD_SUCCESS, status == 0) << status;
            EXPECT_NE(code, IFD_NO_SUCH_DEVICE) << status;
        }
    }
    EXPECT_EQ(toResponseCode(static_cast<HVIFDHStatus>(99), Operation::Transmit),
              IFD_COMMUNICATION_ERROR);
}

}  // namespace
