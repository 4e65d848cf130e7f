// Power, protocol, transmission, capabilities and control through the module, with pcsc-lite's
// conventions: the PC/SC protocol mask for the protocol, SendPci.Protocol counting from 0.
#include <thread>

#include "ModuleFixture.h"

namespace hv::ifdhandler::test {
namespace {

class ModuleCard : public ModuleTest {
protected:
    // A dual card powered, its protocol set (PC/SC mask).
    void ready(DWORD protocolMask) {
        openWithCard();
        RESPONSECODE rc;
        atr = powerUp(&rc);
        ASSERT_EQ(rc, IFD_SUCCESS);
        ASSERT_EQ(module().setProtocolParameters(kLun, protocolMask, 0, 0, 0, 0), IFD_SUCCESS);
    }
    Bytes atr;
};

TEST_F(ModuleCard, PowerUpGivesTheAtrThatTheCapabilitiesRepeat) {
    ready(SCARD_PROTOCOL_T1);
    ASSERT_GE(atr.size(), 2u);
    EXPECT_EQ(atr[0], 0x3B);
    UCHAR buffer[MAX_ATR_SIZE + 8];
    DWORD length = sizeof buffer;
    ASSERT_EQ(module().getCapabilities(kLun, TAG_IFD_ATR, &length, buffer), IFD_SUCCESS);
    EXPECT_EQ(Bytes(buffer, buffer + length), atr);
    length = static_cast<DWORD>(atr.size() - 1);
    EXPECT_EQ(module().getCapabilities(kLun, SCARD_ATTR_ATR_STRING, &length, buffer),
              IFD_ERROR_INSUFFICIENT_BUFFER);
    // Reset gives the same answer; power-down leaves an empty ATR out.
    RESPONSECODE rc;
    EXPECT_EQ(powerUp(&rc, IFD_RESET), atr);
    EXPECT_EQ(rc, IFD_SUCCESS);
    UCHAR out[MAX_ATR_SIZE];
    std::memset(out, 0xAA, sizeof out);
    DWORD outLength = sizeof out;
    EXPECT_EQ(module().powerICC(kLun, IFD_POWER_DOWN, out, &outLength), IFD_SUCCESS);
    EXPECT_EQ(outLength, 0u);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(module().powerICC(kLun, IFD_POWER_DOWN, nullptr, nullptr), IFD_SUCCESS);
    EXPECT_EQ(module().powerICC(kLun, 12345, out, &outLength), IFD_NOT_SUPPORTED);
    EXPECT_EQ(module().powerICC(kLun, IFD_POWER_UP, nullptr, &outLength), IFD_COMMUNICATION_ERROR);
}

TEST_F(ModuleCard, AtrLongerThanTheCallersBufferIsNotWrittenPastIt) {
    ready(SCARD_PROTOCOL_T1);
    UCHAR out[MAX_ATR_SIZE + 1];
    std::memset(out, 0xAA, sizeof out);
    DWORD length = 3;
    EXPECT_EQ(module().powerICC(kLun, IFD_POWER_UP, out, &length), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(out[3], 0xAA);
}

TEST_F(ModuleCard, T1ShortAndExtendedApdus) {
    ready(SCARD_PROTOCOL_T1);
    // SELECT by name of the card's application.
    const Answer select =
        transmit({0x00, 0xA4, 0x04, 0x0C, 0x08, 0xF0, 0x56, 0x4F, 0x52, 0x41, 0x53, 0x45, 0x4C}, 1);
    ASSERT_EQ(select.rc, IFD_SUCCESS);
    EXPECT_EQ(select.response, (Bytes{0x90, 0x00}));
    for (size_t n : {1u, 4u, 255u, 256u, 4000u}) {
        const Answer echo = transmit(echoApdu(n), 1);
        ASSERT_EQ(echo.rc, IFD_SUCCESS) << n;
        EXPECT_EQ(echo.response, echoAnswer(n)) << n;
    }
}

TEST_F(ModuleCard, T0ShortApdusOfEveryCase) {
    ready(SCARD_PROTOCOL_T0);
    // Case 1: the card reads a P3 of 00 and answers an unknown instruction.
    EXPECT_EQ(transmit({0x00, 0x12, 0x00, 0x00}, 0).response, (Bytes{0x6D, 0x00}));
    // Case 4 (and 3): the data wait for GET RESPONSE.
    const Bytes data = {0x11, 0x22, 0x33, 0x44};
    Bytes case4 = {0x00, 0xEE, 0x00, 0x00, 0x04};
    case4.insert(case4.end(), data.begin(), data.end());
    case4.push_back(0x00);
    EXPECT_EQ(transmit(case4, 0).response, (Bytes{0x61, 0x04}));
    Bytes answer = data;
    answer.insert(answer.end(), {0x90, 0x00});
    EXPECT_EQ(transmit({0x00, 0xC0, 0x00, 0x00, 0x04}, 0).response, answer);
    // Case 2: ECHO of 4 pattern bytes.
    EXPECT_EQ(transmit({0x00, 0xEE, 0x00, 0x04, 0x04}, 0).response,
              (Bytes{0x00, 0x01, 0x02, 0x03, 0x90, 0x00}));
}

TEST_F(ModuleCard, BadTransmissionsGetErrorsAndNothingWritten) {
    ready(SCARD_PROTOCOL_T1);
    EXPECT_EQ(transmit(echoApdu(4), 2).rc, IFD_PROTOCOL_NOT_SUPPORTED);
    EXPECT_EQ(transmit(echoApdu(4), 0xFFFFFFFF).rc, IFD_PROTOCOL_NOT_SUPPORTED);
    // A response that does not fit: nothing returned.
    const Answer tight = transmit(echoApdu(100), 1, 50);
    EXPECT_EQ(tight.rc, IFD_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_TRUE(tight.response.empty());
    EXPECT_EQ(transmit({}, 1).rc, IFD_COMMUNICATION_ERROR);
    Bytes rx(16);
    DWORD length = static_cast<DWORD>(rx.size());
    Bytes tx = echoApdu(1);
    SCARD_IO_HEADER send{1, 8};
    EXPECT_EQ(module().transmitToICC(kLun, send, tx.data(), MAX_BUFFER_SIZE_EXTENDED + 1, rx.data(),
                                     &length, nullptr),
              IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(module().transmitToICC(kLun, send, tx.data(), static_cast<DWORD>(tx.size()),
                                     rx.data(), nullptr, nullptr),
              IFD_COMMUNICATION_ERROR);
    // The card still answers afterwards.
    EXPECT_EQ(transmit(echoApdu(4), 1).response, echoAnswer(4));
}

TEST_F(ModuleCard, ProtocolsOutsideTheMaskAndAfterRemoval) {
    ready(SCARD_PROTOCOL_T1);
    EXPECT_EQ(
        module().setProtocolParameters(kLun, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, 0, 0, 0, 0),
        IFD_PROTOCOL_NOT_SUPPORTED);
    EXPECT_EQ(module().setProtocolParameters(kLun, 0x102, 0, 0, 0, 0), IFD_PROTOCOL_NOT_SUPPORTED);
    EXPECT_EQ(module().setProtocolParameters(kLun, SCARD_PROTOCOL_RAW, 0, 0, 0, 0),
              IFD_PROTOCOL_NOT_SUPPORTED);
    ASSERT_EQ(daemon->command("remove"), "OK");
    ASSERT_TRUE(waitForPresence(false));
    EXPECT_EQ(transmit(echoApdu(4), 1).rc, IFD_ICC_NOT_PRESENT);
    RESPONSECODE rc;
    powerUp(&rc);
    EXPECT_EQ(rc, IFD_ICC_NOT_PRESENT);
}

TEST_F(ModuleCard, ClientsOnSeveralThreadsEachGetTheirOwnAnswers) {
    ready(SCARD_PROTOCOL_T1);
    std::atomic<int> wrong{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 3; ++t)
        clients.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                const size_t n = 1 + static_cast<size_t>(t * 50 + i);
                if (transmit(echoApdu(n), 1).response != echoAnswer(n)) ++wrong;
            }
        });
    for (auto &c : clients)
        c.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(ModuleCard, Capabilities) {
    openWithCard();
    UCHAR value[16] = {};
    DWORD length = sizeof value;
    ASSERT_EQ(module().getCapabilities(kLun, TAG_IFD_SLOTS_NUMBER, &length, value), IFD_SUCCESS);
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(value[0], 1);
    length = sizeof value;
    ASSERT_EQ(module().getCapabilities(kLun, TAG_IFD_SIMULTANEOUS_ACCESS, &length, value),
              IFD_SUCCESS);
    EXPECT_EQ(value[0], 1);
    length = sizeof value;
    ASSERT_EQ(module().getCapabilities(kLun, TAG_IFD_POLLING_THREAD_KILLABLE, &length, value),
              IFD_SUCCESS);
    EXPECT_EQ(value[0], 0);
    length = sizeof(void *) - 1;
    EXPECT_EQ(module().getCapabilities(kLun, TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, &length, value),
              IFD_ERROR_INSUFFICIENT_BUFFER);
    length = sizeof value;
    EXPECT_EQ(module().getCapabilities(kLun, 0x12345, &length, value), IFD_ERROR_TAG);
    EXPECT_EQ(module().getCapabilities(kLun, TAG_IFD_SLOTS_NUMBER, nullptr, value),
              IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(module().setCapabilities(kLun, TAG_IFD_SLOTS_NUMBER, 1, value), IFD_ERROR_TAG);
}

TEST_F(ModuleCard, ControlGivesTheFeatureList) {
    openWithCard();
    UCHAR rx[64];
    DWORD returned = 99;
    ASSERT_EQ(
        module().control(kLun, CM_IOCTL_GET_FEATURE_REQUEST, nullptr, 0, rx, sizeof rx, &returned),
        IFD_SUCCESS);
    ASSERT_EQ(returned, 6u);
    EXPECT_EQ(rx[0], FEATURE_GET_TLV_PROPERTIES);
    returned = 99;
    EXPECT_EQ(module().control(kLun, SCARD_CTL_CODE(1), nullptr, 0, rx, sizeof rx, &returned),
              IFD_ERROR_NOT_SUPPORTED);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(
        module().control(kLun, CM_IOCTL_GET_FEATURE_REQUEST, nullptr, 0, rx, sizeof rx, nullptr),
        IFD_COMMUNICATION_ERROR);
}

}  // namespace
}  // namespace hv::ifdhandler::test
