// The vendor attributes: power management and automatic power-on.
#include "PcscFixture.h"
#include "vorasel/sim/Ccid.h"

namespace hv::test::pcsc {
namespace {

class AttributesTest : public PcscTest {};
INSTANTIATE_TEST_SUITE_P(InProcess, AttributesTest, ::testing::Values(Backend::InProcess),
                         backendName);

BYTE attribute(DWORD id) {
    BYTE value = 0xEE;
    DWORD length = 1;
    EXPECT_EQ(SCardGetAttrib(0x5555, id, &value, &length), SCARD_S_SUCCESS);
    EXPECT_EQ(length, 1u);
    return value;
}

TEST_P(AttributesTest, PowerManagementIsChosenByTheFirstContext) {
    SCARDCONTEXT c = establish();
    EXPECT_EQ(attribute(SCARD_ATTR_VENDOR_POWER_MANAGEMENT), 1);
    release(c);
    c = establish(&g_bgm_disable);
    EXPECT_EQ(attribute(SCARD_ATTR_VENDOR_POWER_MANAGEMENT), 0);
    const BYTE on = 1;
    ScopedCapture capture;
    EXPECT_EQ(SCardSetAttrib(0, SCARD_ATTR_VENDOR_POWER_MANAGEMENT, &on, 1), SCARD_S_SUCCESS);
    EXPECT_TRUE(capture.logger().contains("Power management enabled"));
    EXPECT_EQ(attribute(SCARD_ATTR_VENDOR_POWER_MANAGEMENT), 1);

    HVHost::setOperatingSystemVersion("4.9.1");
    for (BYTE v : {0, 1, 2})
        EXPECT_EQ(SCardSetAttrib(0, SCARD_ATTR_VENDOR_POWER_MANAGEMENT, &v, 1),
                  SCARD_E_READER_UNSUPPORTED);
    EXPECT_EQ(attribute(SCARD_ATTR_VENDOR_POWER_MANAGEMENT), 1);
}

TEST_P(AttributesTest, GetAnswersLengthQueriesAndAllocates) {
    establish();
    DWORD length = 5;
    EXPECT_EQ(SCardGetAttrib(0, SCARD_ATTR_VENDOR_AUTO_POWER_ON, nullptr, &length),
              SCARD_S_SUCCESS);
    EXPECT_EQ(length, 1u);
    BYTE value = 0xEE;
    length = 0;
    EXPECT_EQ(SCardGetAttrib(0, SCARD_ATTR_VENDOR_AUTO_POWER_ON, &value, &length),
              SCARD_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(value, 0xEE);
    EXPECT_EQ(SCardGetAttrib(0, SCARD_ATTR_VENDOR_AUTO_POWER_ON, &value, nullptr),
              SCARD_E_INVALID_PARAMETER);
    for (DWORD id : {0x0007B102u, 0x00090303u /* the ATR's standard identifier */})
        EXPECT_EQ(SCardGetAttrib(0, id, &value, &length), SCARD_E_INVALID_VALUE);

    BYTE *block = nullptr;
    length = SCARD_AUTOALLOCATE;
    ASSERT_EQ(SCardGetAttrib(0, SCARD_ATTR_VENDOR_POWER_MANAGEMENT,
                             reinterpret_cast<LPBYTE>(&block), &length),
              SCARD_S_SUCCESS);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(*block, 1);
    EXPECT_EQ(SCardFreeMemory(contexts[0], block), SCARD_S_SUCCESS);
    length = SCARD_AUTOALLOCATE;
    EXPECT_EQ(SCardGetAttrib(0, SCARD_ATTR_VENDOR_POWER_MANAGEMENT, nullptr, &length),
              SCARD_E_INVALID_PARAMETER);
}

TEST_P(AttributesTest, SetRefusesBadValues) {
    establish();
    const BYTE two = 2, one = 1;
    const BYTE four[4] = {1, 0, 0, 0};
    for (DWORD id : {SCARD_ATTR_VENDOR_AUTO_POWER_ON, SCARD_ATTR_VENDOR_POWER_MANAGEMENT}) {
        EXPECT_EQ(SCardSetAttrib(0, id, &two, 1), SCARD_E_INVALID_VALUE);
        EXPECT_EQ(SCardSetAttrib(0, id, four, 4), SCARD_E_INVALID_VALUE);
        EXPECT_EQ(SCardSetAttrib(0, id, nullptr, 1), SCARD_E_INVALID_PARAMETER);
        EXPECT_EQ(SCardSetAttrib(0, id, &one, 0), SCARD_E_INVALID_PARAMETER);
    }
    EXPECT_EQ(SCardSetAttrib(0, 0x0007B102, &one, 1), SCARD_E_INVALID_VALUE);
    EXPECT_EQ(attribute(SCARD_ATTR_VENDOR_AUTO_POWER_ON), 0);
}

TEST_P(AttributesTest, AutoPowerOnPowersAWaitingCardAndTheNextInsertion) {
    insert("t1");
    context = establish();
    ASSERT_TRUE(waitForState(context, SCARD_STATE_PRESENT | SCARD_STATE_UNPOWERED));
    EXPECT_FALSE(kase->reader().cardPowered());
    const BYTE on = 1;
    ASSERT_EQ(SCardSetAttrib(0xFFFFFFFF, SCARD_ATTR_VENDOR_AUTO_POWER_ON, &on, 1), SCARD_S_SUCCESS);
    EXPECT_TRUE(kase->reader().cardPowered());
    EXPECT_EQ(readerState(context), static_cast<DWORD>(SCARD_STATE_PRESENT));
    EXPECT_EQ(attribute(SCARD_ATTR_VENDOR_AUTO_POWER_ON), 1);

    // The connection finds the card powered and does not power it again.
    SCARDHANDLE h = 0;
    ASSERT_EQ(
        SCardConnect(context, sc_reader_name, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &h, &protocol),
        SCARD_S_SUCCESS);
    EXPECT_EQ(commandsOfType(sim::ccid::kIccPowerOn), 1u);
    const Bytes apdu = echoApdu(5);
    EXPECT_EQ(transmit(h, apdu).data, echoed(apdu));

    // A card inserted now is powered by the driver on its own.
    kase->removeCard();
    ASSERT_TRUE(waitForState(context, SCARD_STATE_EMPTY));
    insert("t1");
    ASSERT_TRUE(waitForState(context, SCARD_STATE_PRESENT));
    EXPECT_TRUE(kase->reader().cardPowered());

    // The last release switches it off.
    release(context);
    context = establish();
    EXPECT_EQ(attribute(SCARD_ATTR_VENDOR_AUTO_POWER_ON), 0);
}

}  // namespace
}  // namespace hv::test::pcsc
