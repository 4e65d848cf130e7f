// The part 10 features the reader offers through IFDHControl.
#include "ControlFeatures.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using hv::ifdhandler::control;
using hv::ifdhandler::kTlvPropertiesControlCode;

std::vector<UCHAR> ask(DWORD code, DWORD capacity, RESPONSECODE *result) {
    std::vector<UCHAR> buffer(capacity + 1, 0xCC);
    DWORD returned = 77;
    *result = control(code, nullptr, 0, buffer.data(), capacity, &returned);
    EXPECT_EQ(buffer[capacity], 0xCC) << "written past the buffer";
    buffer.resize(returned);
    return buffer;
}

TEST(ControlFeatures, TheFeatureListNamesTheTlvProperties) {
    RESPONSECODE rc;
    const auto features = ask(CM_IOCTL_GET_FEATURE_REQUEST, 256, &rc);
    ASSERT_EQ(rc, IFD_SUCCESS);
    ASSERT_EQ(features.size(), 6u);
    EXPECT_EQ(features[0], FEATURE_GET_TLV_PROPERTIES);
    EXPECT_EQ(features[1], 4);
    const DWORD code =
        static_cast<DWORD>(features[2]) << 24 | features[3] << 16 | features[4] << 8 | features[5];
    EXPECT_EQ(code, kTlvPropertiesControlCode);
}

TEST(ControlFeatures, TheTlvPropertiesGiveTheExtendedApduSize) {
    RESPONSECODE rc;
    const auto properties = ask(kTlvPropertiesControlCode, 64, &rc);
    ASSERT_EQ(rc, IFD_SUCCESS);
    EXPECT_EQ(properties, (std::vector<UCHAR>{PCSCv2_PART10_PROPERTY_dwMaxAPDUDataSize, 4, 0x00,
                                              0x00, 0x01, 0x00}));
}

TEST(ControlFeatures, ShortBuffersAndOtherCodesGetNothing) {
    RESPONSECODE rc;
    EXPECT_TRUE(ask(CM_IOCTL_GET_FEATURE_REQUEST, 5, &rc).empty());
    EXPECT_EQ(rc, IFD_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_TRUE(ask(kTlvPropertiesControlCode, 0, &rc).empty());
    EXPECT_EQ(rc, IFD_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_TRUE(ask(SCARD_CTL_CODE(1), 256, &rc).empty());
    EXPECT_EQ(rc, IFD_ERROR_NOT_SUPPORTED);
    DWORD returned = 5;
    EXPECT_EQ(control(CM_IOCTL_GET_FEATURE_REQUEST, nullptr, 0, nullptr, 256, &returned),
              IFD_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(returned, 0u);
}

}  // namespace
