// One attached accessory, as the platform's accessory service reports it: what
// HVAccessory::getAccessory() hands out. Immutable but for the connected flag, which turns false
// when the accessory goes away.
//
// Thread rules: every operation may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "vorasel/hv_export.h"

namespace hv::platform {

// What an accessory says of itself when it attaches.
struct AccessoryInfo {
    std::string name;
    std::string manufacturer;
    std::string modelNumber;
    std::string serialNumber;
    std::string firmwareRevision;
    std::string hardwareRevision;
    std::vector<std::string> protocolStrings;
};

class HV_EXPORT EAAccessory {
public:
    EAAccessory(uint32_t connectionID, AccessoryInfo info)
        : connectionID_(connectionID), info_(std::move(info)) {}

    uint32_t connectionID() const { return connectionID_; }
    const std::vector<std::string> &protocolStrings() const { return info_.protocolStrings; }
    bool offersProtocol(const std::string &protocolString) const;
    const std::string &name() const { return info_.name; }
    const std::string &manufacturer() const { return info_.manufacturer; }
    const std::string &modelNumber() const { return info_.modelNumber; }
    const std::string &serialNumber() const { return info_.serialNumber; }
    const std::string &firmwareRevision() const { return info_.firmwareRevision; }
    const std::string &hardwareRevision() const { return info_.hardwareRevision; }
    bool isConnected() const { return connected_.load(); }

    // The accessory service's own: the accessory has gone.
    void markDisconnected() { connected_.store(false); }

private:
    const uint32_t connectionID_;
    const AccessoryInfo info_;
    std::atomic<bool> connected_{true};
};

}  // namespace hv::platform
