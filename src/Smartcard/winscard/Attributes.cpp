// The two vendor attributes: power management (the reader closes in the background) and
// automatic power-on of an inserted card.
#include <cstring>

#include "Smartcard/winscard/Calls.h"
#include "Smartcard/winscard/ReaderRecord.h"
#include "vorasel/HVLog.h"

using namespace hv::pcsc;

namespace {

LONG setAutoPowerOn(uint8_t value) {
    HVIFDH &ifd = driver();
    if (value == 0) {
        HVLogInfo("Auto card power on DISABLED");
        ifd.setAuto_power_on(false);
        return SCARD_S_SUCCESS;
    }
    if (value != 1) return SCARD_E_INVALID_VALUE;
    HVLogInfo("Auto card power on ENABLED");
    ifd.setAuto_power_on(true);
    if (reader.dwState.load() == SCARD_STATE_UNKNOWN)
        waitForReaderStateChange(SCARD_STATE_UNKNOWN, 250);
    // A card already waiting unpowered is powered now; a failure here is not reported.
    if (ifd.slot_state() == HVIFDHSlotStateSwallowed && ifd.powerOnICC() == HVIFDHStatusSuccess)
        storeState(SCARD_STATE_PRESENT);
    return SCARD_S_SUCCESS;
}

LONG setPowerManagement(uint8_t value) {
    if (systemOlderThan5()) return SCARD_E_READER_UNSUPPORTED;
    if (value == 1) {
        HVLogInfo("Power management enabled");
    } else if (value == 0) {
        HVLogInfo("Power management disabled");
    } else {
        return SCARD_E_INVALID_VALUE;
    }
    reader.bPowerManagement.store(value);
    return SCARD_S_SUCCESS;
}

}  // namespace

namespace hv::pcsc::calls {

LONG SCardGetAttrib(SCARDHANDLE hCard, DWORD dwAttrId, LPBYTE pbAttr, LPDWORD pcbAttrLen) {
    HVLogDebug("hCard = 0x%08x, dwAttrId = %d", hCard, dwAttrId);
    if (dwAttrId != SCARD_ATTR_VENDOR_POWER_MANAGEMENT &&
        dwAttrId != SCARD_ATTR_VENDOR_AUTO_POWER_ON)
        return SCARD_E_INVALID_VALUE;
    if (!pcbAttrLen) return SCARD_E_INVALID_PARAMETER;
    const uint8_t value = dwAttrId == SCARD_ATTR_VENDOR_AUTO_POWER_ON
                              ? (driver().auto_power_on() ? 1 : 0)
                              : reader.bPowerManagement.load();
    LONG result = SCARD_S_SUCCESS;
    if (*pcbAttrLen == SCARD_AUTOALLOCATE) {
        if (!pbAttr) {
            result = SCARD_E_INVALID_PARAMETER;
        } else if (auto *block = static_cast<uint8_t *>(allocateOutputBlock(1))) {
            *block = value;
            std::memcpy(pbAttr, &block, sizeof block);
        } else {
            result = SCARD_E_NO_MEMORY;
        }
    } else if (pbAttr) {
        if (*pcbAttrLen == 0)
            result = SCARD_E_INSUFFICIENT_BUFFER;
        else
            pbAttr[0] = value;
    }
    *pcbAttrLen = 1;
    return result;
}

LONG SCardSetAttrib(SCARDHANDLE hCard, DWORD dwAttrId, LPCBYTE pbAttr, DWORD cbAttrLen) {
    HVLogDebug("hCard = 0x%08x, dwAttrId = %d", hCard, dwAttrId);
    if (!pbAttr || cbAttrLen == 0) return SCARD_E_INVALID_PARAMETER;
    if (dwAttrId == SCARD_ATTR_VENDOR_AUTO_POWER_ON) {
        if (cbAttrLen != 1) return SCARD_E_INVALID_VALUE;
        return setAutoPowerOn(pbAttr[0]);
    }
    if (dwAttrId == SCARD_ATTR_VENDOR_POWER_MANAGEMENT) {
        if (cbAttrLen != 1) return SCARD_E_INVALID_VALUE;
        return setPowerManagement(pbAttr[0]);
    }
    return SCARD_E_INVALID_VALUE;
}

}  // namespace hv::pcsc::calls
