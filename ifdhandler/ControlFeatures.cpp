#include "ControlFeatures.h"

#include <cstring>

namespace hv::ifdhandler {

namespace {

RESPONSECODE reply(const UCHAR *data, DWORD length, UCHAR *response, DWORD capacity,
                   LPDWORD returned) {
    if (!response || capacity < length) return IFD_ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(response, data, length);
    *returned = length;
    return IFD_SUCCESS;
}

}  // namespace

RESPONSECODE control(DWORD controlCode, const UCHAR *, DWORD, UCHAR *response, DWORD capacity,
                     LPDWORD returned) {
    *returned = 0;
    if (controlCode == CM_IOCTL_GET_FEATURE_REQUEST) {
        // Tag, length 4, the feature's control code big-endian.
        const UCHAR features[] = {FEATURE_GET_TLV_PROPERTIES,
                                  4,
                                  static_cast<UCHAR>(kTlvPropertiesControlCode >> 24),
                                  static_cast<UCHAR>(kTlvPropertiesControlCode >> 16),
                                  static_cast<UCHAR>(kTlvPropertiesControlCode >> 8),
                                  static_cast<UCHAR>(kTlvPropertiesControlCode)};
        return reply(features, sizeof features, response, capacity, returned);
    }
    if (controlCode == kTlvPropertiesControlCode) {
        // Tag, length, value little-endian.
        const UCHAR properties[] = {
            PCSCv2_PART10_PROPERTY_dwMaxAPDUDataSize,   4,
            static_cast<UCHAR>(kMaxApduDataSize),       static_cast<UCHAR>(kMaxApduDataSize >> 8),
            static_cast<UCHAR>(kMaxApduDataSize >> 16), static_cast<UCHAR>(kMaxApduDataSize >> 24)};
        return reply(properties, sizeof properties, response, capacity, returned);
    }
    return IFD_ERROR_NOT_SUPPORTED;
}

}  // namespace hv::ifdhandler
