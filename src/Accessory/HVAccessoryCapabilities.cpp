// What the attached accessory offers, asked of the accessory itself every time.
#include "vorasel/HVAccessory.h"
#include "vorasel/HVLog.h"
#include "vorasel/HVManager.h"
#include "vorasel/dez_message.h"

bool HVAccessory::hasFingerprintSensor() const {
    uint32_t capabilities = 0;
    if (HVManager::sharedClass().getCapabilities(&capabilities) == HVManagerStatusSuccess) {
        HVLogVerbose("Received capabilities: %d", static_cast<int>(capabilities));
        return (capabilities & DEZ_CAPABILITY_FINGERPRINT_SENSOR) != 0;
    }
    // An attached accessory that cannot be asked is taken to have it.
    HVLogVerbose("Failed to retrieve capabilites");
    return isConnected();
}

bool HVAccessory::hasSmartCardReader() const {
    uint32_t capabilities = 0;
    if (HVManager::sharedClass().getCapabilities(&capabilities) == HVManagerStatusSuccess) {
        HVLogVerbose("Received capabilities: %d", static_cast<int>(capabilities));
        return (capabilities & DEZ_CAPABILITY_SMARTCARD_READER) != 0;
    }
    HVLogVerbose("Failed to retrieve capabilities");
    return isConnected();
}

bool HVAccessory::hasContactlessReader() const {
    return false;
}
