// Status names and the conversion from PC/SC results.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "CaptureLogger.h"
#include "vorasel/HVSmartcard.h"
#include "vorasel/winscard.h"

namespace hv::test {
namespace {

TEST(SmartcardStatus, NamesEachKnownValueAndOnlyThose) {
    std::set<std::string> names;
    for (int32_t s = 0; s <= 16; ++s) {
        const std::string name = HVSmartcard::stringFromStatus(s);
        EXPECT_EQ(name.rfind("HVSmartcardStatus", 0), 0u) << s;
        EXPECT_NE(name, "HVSmartcardStatusUNKNOWN") << s;
        names.insert(name);
    }
    EXPECT_EQ(names.size(), 17u);
    EXPECT_STREQ(HVSmartcard::stringFromStatus(0), "HVSmartcardStatusSuccess");
    EXPECT_STREQ(HVSmartcard::stringFromStatus(14), "HVSmartcardStatusNotConnected");
    EXPECT_STREQ(HVSmartcard::stringFromStatus(16), "HVSmartcardStatusProtocolNotIncluded");
    for (int32_t s : {17, 18, -1, INT32_MIN, INT32_MAX})
        EXPECT_STREQ(HVSmartcard::stringFromStatus(s), "HVSmartcardStatusUNKNOWN") << s;
}

TEST(SmartcardStatus, ConvertsTheCardPathCodesSilently) {
    ScopedCapture capture(HVLogLevelError);
    const struct {
        LONG code;
        HVSmartcardStatus status;
    } table[] = {
        {SCARD_S_SUCCESS, HVSmartcardStatusSuccess},
        {SCARD_E_INVALID_PARAMETER, HVSmartcardStatusInvalidParameter},
        {SCARD_E_INVALID_TARGET, HVSmartcardStatusProtocolNotIncluded},
        {SCARD_E_INSUFFICIENT_BUFFER, HVSmartcardStatusInvalidValue},
        {SCARD_E_SHARING_VIOLATION, HVSmartcardStatusSharingViolation},
        {SCARD_E_NO_SMARTCARD, HVSmartcardStatusNoSmartcard},
        {SCARD_E_PROTO_MISMATCH, HVSmartcardStatusProtocolMismatch},
        {SCARD_E_NOT_READY, HVSmartcardStatusNotReady},
        {SCARD_F_COMM_ERROR, HVSmartcardStatusInternalSessionLost},
        {SCARD_E_READER_UNAVAILABLE, HVSmartcardStatusReaderUnavailable},
        {SCARD_E_READER_UNSUPPORTED, HVSmartcardStatusReaderUnsupported},
        {SCARD_E_NO_READERS_AVAILABLE, HVSmartcardStatusReaderUnavailable},
        {SCARD_W_UNRESPONSIVE_CARD, HVSmartcardStatusUnresponsiveCard},
        {SCARD_W_UNPOWERED_CARD, HVSmartcardStatusUnpoweredCard},
        {SCARD_W_RESET_CARD, HVSmartcardStatusResetCard},
        {SCARD_W_REMOVED_CARD, HVSmartcardStatusRemovedCard},
    };
    for (const auto &row : table)
        EXPECT_EQ(pcsc_to_hvsc(static_cast<uint32_t>(row.code)), row.status)
            << std::hex << row.code;
    HVDDLog::flushLog();
    EXPECT_TRUE(capture.logger().lines().empty());
}

TEST(SmartcardStatus, AnyOtherCodeIsUnexpectedAndLoggedWithItsValue) {
    ScopedCapture capture(HVLogLevelError);
    EXPECT_EQ(pcsc_to_hvsc(0x80100065), HVSmartcardStatusUnexpected);
    EXPECT_EQ(pcsc_to_hvsc(static_cast<uint32_t>(SCARD_E_INVALID_HANDLE)),
              HVSmartcardStatusUnexpected);
    EXPECT_EQ(pcsc_to_hvsc(0x1), HVSmartcardStatusUnexpected);
    HVDDLog::flushLog();
    EXPECT_TRUE(capture.logger().contains("HVError: "));
    EXPECT_TRUE(capture.logger().contains("] Unexpected status 80100065!"));
    EXPECT_TRUE(capture.logger().contains("] Unexpected status 80100003!"));
    EXPECT_TRUE(capture.logger().contains("] Unexpected status 00000001!"));
}

}  // namespace
}  // namespace hv::test
