// Card connections and transmission through the PC/SC functions, against the simulated case.
#include <cstring>
#include <set>

#include "PcscFixture.h"
#include "vorasel/sim/Ccid.h"

namespace hv::test::pcsc {
namespace {

class ConnectionsTest : public PcscTest {};
HV_PCSC_BACKENDS(ConnectionsTest);

TEST_P(ConnectionsTest, EchoesShortChainedAndExtendedApdusOverT1) {
    const SCARDHANDLE h = connectTo("t1");
    EXPECT_EQ(protocol, static_cast<DWORD>(SCARD_PROTOCOL_T1));
    for (size_t n : {1u, 4u, 255u, 260u, 1000u, 65535u}) {
        const Bytes apdu = echoApdu(n, static_cast<uint8_t>(n));
        const Response r = transmit(h, apdu);
        ASSERT_EQ(r.rv, SCARD_S_SUCCESS) << n << " bytes";
        EXPECT_EQ(r.data, echoed(apdu)) << n << " bytes";
    }
    EXPECT_EQ(SCardDisconnect(h, SCARD_UNPOWER_CARD), SCARD_S_SUCCESS);
}

TEST_P(ConnectionsTest, CarriesT0CommandsUnchanged) {
    const SCARDHANDLE h = connectTo("t0");
    EXPECT_EQ(protocol, static_cast<DWORD>(SCARD_PROTOCOL_T0));
    // Case 2: four pattern bytes asked for and answered.
    Response r = transmit(h, {0x00, 0xEE, 0x00, 0x04, 0x04});
    ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
    EXPECT_EQ(r.data, (Bytes{0x00, 0x01, 0x02, 0x03, 0x90, 0x00}));
    // Case 3 over T=0: the card announces its answer with 61xx and nothing fetches it for
    // the caller, who asks with GET RESPONSE.
    r = transmit(h, {0x00, 0xEE, 0x00, 0x00, 0x03, 7, 8, 9});
    ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
    EXPECT_EQ(r.data, (Bytes{0x61, 0x03}));
    r = transmit(h, {0x00, 0xC0, 0x00, 0x00, 0x03});
    EXPECT_EQ(r.data, (Bytes{7, 8, 9, 0x90, 0x00}));
    // A command longer than one CCID message is refused by the driver.
    r = transmit(h, Bytes(300, 0x00));
    EXPECT_EQ(r.rv, SCARD_E_INVALID_VALUE);
}

TEST_P(ConnectionsTest, ChoosesT1OverT0AndHonoursThePreferredMask) {
    SCARDHANDLE h = connectTo("dual", SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    EXPECT_EQ(protocol, static_cast<DWORD>(SCARD_PROTOCOL_T1));
    EXPECT_EQ(transmit(h, echoApdu(8)).rv, SCARD_S_SUCCESS);
    ASSERT_EQ(SCardDisconnect(h, SCARD_UNPOWER_CARD), SCARD_S_SUCCESS);

    ASSERT_EQ(
        SCardConnect(context, sc_reader_name, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &h, &protocol),
        SCARD_S_SUCCESS);
    EXPECT_EQ(protocol, static_cast<DWORD>(SCARD_PROTOCOL_T0));
    // The connection's protocol must be the one sent with.
    DWORD length = 10;
    uint8_t buffer[10];
    const Bytes apdu = echoApdu(2);
    EXPECT_EQ(SCardTransmit(h, SCARD_PCI_T1, apdu.data(), static_cast<DWORD>(apdu.size()), nullptr,
                            buffer, &length),
              SCARD_E_PROTO_MISMATCH);
}

TEST_P(ConnectionsTest, T0OnlyCardRefusesT1AfterPowerOn) {
    insert("t0");
    context = establish();
    ASSERT_TRUE(waitForState(context, SCARD_STATE_PRESENT));
    SCARDHANDLE h = 0;
    EXPECT_EQ(SCardConnect(context, sc_reader_name, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T1, &h,
                           &protocol),
              SCARD_E_PROTO_MISMATCH);
    EXPECT_EQ(commandsOfType(sim::ccid::kIccPowerOn), 1u);
    // No connection was made: the next connect is not a sharing violation.
    EXPECT_EQ(SCardConnect(context, sc_reader_name, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T0, &h,
                           &protocol),
              SCARD_S_SUCCESS);
}

TEST_P(ConnectionsTest, RawProtocolSkipsNegotiationAndCannotBeCarried) {
    const SCARDHANDLE h = connectTo("t1", SCARD_PROTOCOL_RAW | SCARD_PROTOCOL_T0);
    EXPECT_EQ(protocol, static_cast<DWORD>(SCARD_PROTOCOL_RAW));
    EXPECT_EQ(commandsOfType(sim::ccid::kSetParameters), 0u);
    const Bytes apdu = echoApdu(2);
    uint8_t buffer[16];
    DWORD length = sizeof buffer;
    EXPECT_EQ(SCardTransmit(h, SCARD_PCI_T0, apdu.data(), static_cast<DWORD>(apdu.size()), nullptr,
                            buffer, &length),
              SCARD_E_PROTO_MISMATCH);
    length = sizeof buffer;
    EXPECT_EQ(SCardTransmit(h, SCARD_PCI_RAW, apdu.data(), static_cast<DWORD>(apdu.size()), nullptr,
                            buffer, &length),
              SCARD_E_PROTO_MISMATCH);
    EXPECT_EQ(length, 0u);
}

TEST_P(ConnectionsTest, OneConnectionAtATimeWithFreshRandomHandles) {
    const SCARDHANDLE first = connectTo("t1");
    EXPECT_NE(first, 0xFFFFFFFFu);
    SCARDHANDLE second = 0;
    for (DWORD mode : {SCARD_SHARE_SHARED, SCARD_SHARE_EXCLUSIVE})
        EXPECT_EQ(
            SCardConnect(context, sc_reader_name, mode, SCARD_PROTOCOL_T1, &second, &protocol),
            SCARD_E_SHARING_VIOLATION);
    // Handles are not bound to their context: another context sees the same connection.
    const SCARDCONTEXT other = establish();
    EXPECT_EQ(SCardConnect(other, sc_reader_name, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &second,
                           &protocol),
              SCARD_E_SHARING_VIOLATION);
    EXPECT_EQ(SCardBeginTransaction(first), SCARD_S_SUCCESS);
    EXPECT_EQ(SCardEndTransaction(first, SCARD_EJECT_CARD), SCARD_S_SUCCESS);

    std::set<SCARDHANDLE> handles = {first};
    SCARDHANDLE h = first;
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(SCardDisconnect(h, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
        EXPECT_EQ(SCardBeginTransaction(h), SCARD_E_INVALID_HANDLE);
        ASSERT_EQ(SCardConnect(other, sc_reader_name, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &h,
                               &protocol),
                  SCARD_S_SUCCESS);
        EXPECT_NE(h, 0xFFFFFFFFu);
        handles.insert(h);
    }
    EXPECT_EQ(handles.size(), 6u);
    // A leave-card disconnect keeps the card powered: no second power-on was needed.
    EXPECT_EQ(commandsOfType(sim::ccid::kIccPowerOn), 1u);
}

TEST_P(ConnectionsTest, RefusesBadArgumentsBeforeTouchingTheCard) {
    insert("t1");
    context = establish();
    ASSERT_TRUE(waitForState(context, SCARD_STATE_PRESENT));
    SCARDHANDLE h = 0;
    EXPECT_EQ(
        SCardConnect(context, sc_reader_name, SCARD_SHARE_DIRECT, SCARD_PROTOCOL_T1, &h, &protocol),
        SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(SCardConnect(context, "Halvane Smart Card Readex", SCARD_SHARE_SHARED,
                           SCARD_PROTOCOL_T1, &h, &protocol),
              SCARD_E_READER_UNAVAILABLE);
    EXPECT_EQ(SCardConnect(context, nullptr, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &h, &protocol),
              SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(SCardConnect(context, sc_reader_name, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, nullptr,
                           &protocol),
              SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(SCardConnect(context + 1000, sc_reader_name, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1,
                           &h, &protocol),
              SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(commandsOfType(sim::ccid::kIccPowerOn), 0u);
    // No connection: every handle is refused, the "none" value too.
    for (SCARDHANDLE any : {0u, 1u, 0xFFFFFFFFu}) {
        EXPECT_EQ(SCardStatus(any, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
                  SCARD_E_INVALID_HANDLE);
        EXPECT_EQ(SCardDisconnect(any, SCARD_LEAVE_CARD), SCARD_E_INVALID_HANDLE);
    }
}

TEST_P(ConnectionsTest, EmptyReaderGivesNoSmartcardAndEmptyState) {
    context = establish();
    SCARDHANDLE h = 0;
    EXPECT_EQ(
        SCardConnect(context, sc_reader_name, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &h, &protocol),
        SCARD_E_NO_SMARTCARD);
    EXPECT_EQ(readerState(context), static_cast<DWORD>(SCARD_STATE_EMPTY));
}

TEST_P(ConnectionsTest, MuteCardIsUnresponsive) {
    auto mute = insert("t1");
    mute->arm(sim::FaultPlan(sim::CardFault::PowerOnMute, 0, sim::kFaultForever)
                  .at(sim::kClassA | sim::kClassB | sim::kClassC));
    context = establish();
    ASSERT_TRUE(waitForState(context, SCARD_STATE_PRESENT));
    SCARDHANDLE h = 0;
    EXPECT_EQ(
        SCardConnect(context, sc_reader_name, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &h, &protocol),
        SCARD_W_UNRESPONSIVE_CARD);
}

TEST_P(ConnectionsTest, StatusReportsNameStateProtocolAndAtr) {
    const SCARDHANDLE h = connectTo("t1");
    const Bytes atr = card->atr();
    ASSERT_FALSE(atr.empty());

    char name[64];
    DWORD nameLength = sizeof name, state = 0, proto = 0, atrLength = MAX_ATR_SIZE;
    BYTE atrBytes[MAX_ATR_SIZE];
    ASSERT_EQ(SCardStatus(h, name, &nameLength, &state, &proto, atrBytes, &atrLength),
              SCARD_S_SUCCESS);
    EXPECT_STREQ(name, "Halvane Smart Card Reader");
    EXPECT_EQ(nameLength, 26u);
    EXPECT_EQ(state, static_cast<DWORD>(SCARD_SPECIFIC));
    EXPECT_EQ(proto, static_cast<DWORD>(SCARD_PROTOCOL_T1));
    EXPECT_EQ(Bytes(atrBytes, atrBytes + atrLength), atr);

    // Too small: refused, nothing written.
    nameLength = 25;
    EXPECT_EQ(SCardStatus(h, name, &nameLength, nullptr, nullptr, nullptr, nullptr),
              SCARD_E_INSUFFICIENT_BUFFER);
    atrLength = static_cast<DWORD>(atr.size() - 1);
    EXPECT_EQ(SCardStatus(h, nullptr, nullptr, nullptr, nullptr, atrBytes, &atrLength),
              SCARD_E_INSUFFICIENT_BUFFER);
    // A null buffer asks for the length only.
    nameLength = 0;
    atrLength = 0;
    EXPECT_EQ(SCardStatus(h, nullptr, &nameLength, nullptr, nullptr, nullptr, &atrLength),
              SCARD_S_SUCCESS);
    EXPECT_EQ(nameLength, 26u);
    EXPECT_EQ(atrLength, atr.size());

    // Allocated by the interface, freed once through it.
    char *allocatedName = nullptr;
    BYTE *allocatedAtr = nullptr;
    nameLength = SCARD_AUTOALLOCATE;
    atrLength = SCARD_AUTOALLOCATE;
    ASSERT_EQ(SCardStatus(h, reinterpret_cast<LPSTR>(&allocatedName), &nameLength, nullptr, nullptr,
                          reinterpret_cast<LPBYTE>(&allocatedAtr), &atrLength),
              SCARD_S_SUCCESS);
    ASSERT_NE(allocatedName, nullptr);
    ASSERT_NE(allocatedAtr, nullptr);
    EXPECT_STREQ(allocatedName, sc_reader_name);
    EXPECT_EQ(Bytes(allocatedAtr, allocatedAtr + atrLength), atr);
    EXPECT_EQ(SCardFreeMemory(context, allocatedName), SCARD_S_SUCCESS);
    EXPECT_EQ(SCardFreeMemory(context, allocatedAtr), SCARD_S_SUCCESS);
    EXPECT_EQ(SCardFreeMemory(context, allocatedAtr), SCARD_E_INVALID_PARAMETER);

    ASSERT_EQ(SCardDisconnect(h, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
    EXPECT_EQ(SCardStatus(h, nullptr, nullptr, &state, nullptr, nullptr, nullptr),
              SCARD_E_INVALID_HANDLE);
}

TEST_P(ConnectionsTest, TransmitNeedsRoomForTheWholeResponse) {
    const SCARDHANDLE h = connectTo("t1");
    // ECHO of 0 data bytes answers 90 00 only; of one byte, three bytes.
    const Bytes two = {0x00, 0xEE, 0x00, 0x00, 0x00};
    Response r = transmit(h, two, 2);
    EXPECT_EQ(r.rv, SCARD_S_SUCCESS);
    EXPECT_EQ(r.data, (Bytes{0x90, 0x00}));
    const Bytes three = echoApdu(1);
    uint8_t buffer[2] = {0xAA, 0xAA};
    DWORD length = sizeof buffer;
    EXPECT_EQ(SCardTransmit(h, SCARD_PCI_T1, three.data(), static_cast<DWORD>(three.size()),
                            nullptr, buffer, &length),
              SCARD_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(length, 0u);
    // Null arguments and an empty command leave the outputs alone.
    length = sizeof buffer;
    EXPECT_EQ(SCardTransmit(h, nullptr, three.data(), 3, nullptr, buffer, &length),
              SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(SCardTransmit(h, SCARD_PCI_T1, three.data(), 0, nullptr, buffer, &length),
              SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(SCardTransmit(h, SCARD_PCI_T1, three.data(), 3, nullptr, nullptr, &length),
              SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(length, sizeof buffer);
    // The connection still works.
    EXPECT_EQ(transmit(h, three).data, echoed(three));
}

TEST_P(ConnectionsTest, ReconnectKeepsTheHandle) {
    const SCARDHANDLE h = connectTo("t1");
    DWORD active = 0;
    EXPECT_EQ(SCardReconnect(h, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, SCARD_LEAVE_CARD, &active),
              SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(
        SCardReconnect(h, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T1, SCARD_EJECT_CARD, &active),
        SCARD_E_INVALID_PARAMETER);

    // Leave: the card is not touched.
    const size_t powerOns = commandsOfType(sim::ccid::kIccPowerOn);
    EXPECT_EQ(
        SCardReconnect(h, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T1, SCARD_LEAVE_CARD, &active),
        SCARD_S_SUCCESS);
    EXPECT_EQ(active, static_cast<DWORD>(SCARD_PROTOCOL_T1));
    EXPECT_EQ(
        SCardReconnect(h, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T0, SCARD_LEAVE_CARD, &active),
        SCARD_E_PROTO_MISMATCH);
    EXPECT_EQ(commandsOfType(sim::ccid::kIccPowerOn), powerOns);

    // Reset and unpower: powered again and negotiated, same handle, APDUs go on.
    for (DWORD how : {SCARD_RESET_CARD, SCARD_UNPOWER_CARD}) {
        active = 0;
        EXPECT_EQ(SCardReconnect(h, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T1, how, &active),
                  SCARD_S_SUCCESS);
        EXPECT_EQ(active, static_cast<DWORD>(SCARD_PROTOCOL_T1));
        const Bytes apdu = echoApdu(16);
        EXPECT_EQ(transmit(h, apdu).data, echoed(apdu));
    }
    EXPECT_EQ(commandsOfType(sim::ccid::kIccPowerOn), powerOns + 2);

    // The card gone: the reconnect fails, the handle stays but is no longer in use.
    kase->removeCard();
    ASSERT_TRUE(waitForState(context, SCARD_STATE_EMPTY));
    EXPECT_EQ(
        SCardReconnect(h, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T1, SCARD_RESET_CARD, &active),
        SCARD_E_INVALID_HANDLE);
}

TEST_P(ConnectionsTest, DisconnectDispositions) {
    SCARDHANDLE h = connectTo("t1");
    EXPECT_EQ(SCardDisconnect(h, SCARD_EJECT_CARD), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(SCardBeginTransaction(h), SCARD_S_SUCCESS);  // still connected

    EXPECT_EQ(SCardDisconnect(h, SCARD_RESET_CARD), SCARD_S_SUCCESS);
    EXPECT_EQ(readerState(context), static_cast<DWORD>(SCARD_STATE_PRESENT));
    ASSERT_EQ(
        SCardConnect(context, sc_reader_name, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &h, &protocol),
        SCARD_S_SUCCESS);
    EXPECT_EQ(SCardDisconnect(h, SCARD_UNPOWER_CARD), SCARD_S_SUCCESS);
    EXPECT_EQ(readerState(context),
              static_cast<DWORD>(SCARD_STATE_PRESENT | SCARD_STATE_UNPOWERED));
    EXPECT_FALSE(kase->reader().cardPowered());
    // Powered and negotiated again by the next connection.
    ASSERT_EQ(
        SCardConnect(context, sc_reader_name, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &h, &protocol),
        SCARD_S_SUCCESS);
    const Bytes apdu = echoApdu(3);
    EXPECT_EQ(transmit(h, apdu).data, echoed(apdu));
}

// With automatic power-on the new card is powered before anyone connects: the connect still
// negotiates for it instead of carrying over the old card's protocol.
TEST_P(ConnectionsTest, ASwappedCardIsNegotiatedAfresh) {
    SCARDHANDLE h = connectTo("t1");
    ASSERT_EQ(protocol, static_cast<DWORD>(SCARD_PROTOCOL_T1));
    ASSERT_EQ(SCardDisconnect(h, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
    HVIFDH::sharedInstance().setAuto_power_on(true);
    kase->removeCard();
    ASSERT_TRUE(waitForState(context, SCARD_STATE_EMPTY));
    const auto t0card = insert("t0");
    ASSERT_TRUE(waitUntil([&] {
        return (readerState(context) & SCARD_STATE_PRESENT) &&
               HVIFDH::sharedInstance().slot_state() > HVIFDHSlotStateSwallowed;
    }));
    ASSERT_EQ(SCardConnect(context, sc_reader_name, SCARD_SHARE_SHARED,
                           SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &h, &protocol),
              SCARD_S_SUCCESS);
    EXPECT_EQ(protocol, static_cast<DWORD>(SCARD_PROTOCOL_T0));
    DWORD reported = 0;
    EXPECT_EQ(SCardStatus(h, nullptr, nullptr, nullptr, &reported, nullptr, nullptr),
              SCARD_S_SUCCESS);
    EXPECT_EQ(reported, static_cast<DWORD>(SCARD_PROTOCOL_T0));
    // A T=0 command (case 2) reaches the card as T=0.
    const Response r = transmit(h, {0x00, 0xEE, 0x00, 0x04, 0x04});
    EXPECT_EQ(r.rv, SCARD_S_SUCCESS);
    EXPECT_EQ(r.data, (Bytes{0x00, 0x01, 0x02, 0x03, 0x90, 0x00}));
    HVIFDH::sharedInstance().setAuto_power_on(false);
}

}  // namespace
}  // namespace hv::test::pcsc
