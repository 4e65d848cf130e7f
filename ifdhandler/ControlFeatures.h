// IFDHControl's answers: the reader's PC/SC part 10 features. The reader has no PIN pad and no
// escape commands; it tells clients (OpenSC among them) that it carries extended APDUs, which
// the T=1 engine chains for any card that accepts them.
#pragma once

#include "PcscHeaders.h"

namespace hv::ifdhandler {

// The control code of FEATURE_GET_TLV_PROPERTIES, as the feature list gives it.
inline constexpr DWORD kTlvPropertiesControlCode =
    SCARD_CTL_CODE(3400 + FEATURE_GET_TLV_PROPERTIES);
// The most command or response data one APDU carries here.
inline constexpr uint32_t kMaxApduDataSize = 65536;

// Answers `controlCode` into `response` (`capacity` bytes); *returned is 0 unless it succeeds.
RESPONSECODE control(DWORD controlCode, const UCHAR *command, DWORD commandLength, UCHAR *response,
                     DWORD capacity, LPDWORD returned);

}  // namespace hv::ifdhandler
