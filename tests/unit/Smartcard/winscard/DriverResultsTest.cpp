// The reader driver's results as each PC/SC function reports them, and the names the tools
// print. A driver result the PC/SC layer does not expect must never come out as success.
#include <gtest/gtest.h>

#include "Smartcard/winscard/DriverResults.h"

namespace hv::pcsc {
namespace {

const HVIFDHStatus kAll[] = {HVIFDHStatusSuccess,
                             HVIFDHStatusNegotiationFailed,
                             HVIFDHStatusInvalidValue,
                             HVIFDHStatusProtocolNotSupported,
                             HVIFDHStatusFailed,
                             HVIFDHStatusTimeout,
                             HVIFDHStatusNoCard,
                             HVIFDHStatusReaderUnavailable,
                             HVIFDHStatusSessionCreateFailed,
                             HVIFDHStatusCardUnpowered,
                             HVIFDHStatusCommunicationError,
                             static_cast<HVIFDHStatus>(-1),
                             static_cast<HVIFDHStatus>(99)};

TEST(DriverResultsTest, TransmitResults) {
    EXPECT_EQ(fromTransmit(HVIFDHStatusSuccess), SCARD_S_SUCCESS);
    EXPECT_EQ(fromTransmit(HVIFDHStatusInvalidValue), SCARD_E_INVALID_VALUE);
    EXPECT_EQ(fromTransmit(HVIFDHStatusProtocolNotSupported), SCARD_E_PROTO_MISMATCH);
    EXPECT_EQ(fromTransmit(HVIFDHStatusFailed), SCARD_W_UNRESPONSIVE_CARD);
    EXPECT_EQ(fromTransmit(HVIFDHStatusNoCard), SCARD_W_REMOVED_CARD);
    EXPECT_EQ(fromTransmit(HVIFDHStatusReaderUnavailable), SCARD_E_READER_UNAVAILABLE);
    EXPECT_EQ(fromTransmit(HVIFDHStatusCardUnpowered), SCARD_W_UNPOWERED_CARD);
    EXPECT_EQ(fromTransmit(HVIFDHStatusCommunicationError), SCARD_F_COMM_ERROR);
    for (HVIFDHStatus s : {HVIFDHStatusNegotiationFailed, HVIFDHStatusTimeout,
                           HVIFDHStatusSessionCreateFailed, static_cast<HVIFDHStatus>(99)})
        EXPECT_EQ(fromTransmit(s), SCARD_E_UNEXPECTED) << s;
}

TEST(DriverResultsTest, PowerOnDisconnectReconnectAndNegotiation) {
    EXPECT_EQ(fromPowerOn(HVIFDHStatusFailed), SCARD_W_UNRESPONSIVE_CARD);
    EXPECT_EQ(fromPowerOn(HVIFDHStatusTimeout), SCARD_W_UNRESPONSIVE_CARD);
    EXPECT_EQ(fromPowerOn(HVIFDHStatusNoCard), SCARD_E_NO_SMARTCARD);
    EXPECT_EQ(fromPowerOn(HVIFDHStatusCommunicationError), SCARD_F_COMM_ERROR);
    EXPECT_EQ(fromPowerOn(HVIFDHStatusReaderUnavailable), SCARD_E_UNEXPECTED);

    // The connection is gone whatever happens; a card or reader gone meanwhile is no failure.
    for (HVIFDHStatus s : {HVIFDHStatusSuccess, HVIFDHStatusNoCard, HVIFDHStatusReaderUnavailable})
        EXPECT_EQ(fromDisconnect(s), SCARD_S_SUCCESS) << s;
    EXPECT_EQ(fromDisconnect(HVIFDHStatusCommunicationError), SCARD_F_COMM_ERROR);
    EXPECT_EQ(fromDisconnect(HVIFDHStatusTimeout), SCARD_E_UNEXPECTED);

    EXPECT_EQ(fromReconnectPowerOn(HVIFDHStatusNoCard), SCARD_E_NO_SMARTCARD);
    EXPECT_EQ(fromReconnectPowerOn(HVIFDHStatusReaderUnavailable), SCARD_E_READER_UNAVAILABLE);
    EXPECT_EQ(fromReconnectPowerOn(HVIFDHStatusCommunicationError), SCARD_W_UNRESPONSIVE_CARD);

    EXPECT_EQ(fromNegotiation(HVIFDHStatusCommunicationError), SCARD_F_COMM_ERROR);
    EXPECT_EQ(fromNegotiation(HVIFDHStatusNegotiationFailed), SCARD_W_UNRESPONSIVE_CARD);
}

TEST(DriverResultsTest, OnlySuccessMapsToSuccess) {
    for (HVIFDHStatus s : kAll) {
        if (s == HVIFDHStatusSuccess) continue;
        EXPECT_NE(fromTransmit(s), SCARD_S_SUCCESS) << s;
        EXPECT_NE(fromPowerOn(s), SCARD_S_SUCCESS) << s;
        EXPECT_NE(fromReconnectPowerOn(s), SCARD_S_SUCCESS) << s;
        EXPECT_NE(fromNegotiation(s), SCARD_S_SUCCESS) << s;
    }
}

TEST(DriverResultsTest, NamesForPeople) {
    EXPECT_STREQ(resultName(SCARD_E_NO_SMARTCARD), "SCARD_E_NO_SMARTCARD");
    EXPECT_STREQ(resultName(SCARD_W_CANCELLED_BY_USER), "SCARD_W_CANCELLED_BY_USER");
    EXPECT_STREQ(resultName(SCARD_S_SUCCESS), "SCARD_S_SUCCESS");
    EXPECT_EQ(resultName(78), nullptr);
    EXPECT_EQ(resultName(static_cast<LONG>(0x80100099)), nullptr);
}

}  // namespace
}  // namespace hv::pcsc
