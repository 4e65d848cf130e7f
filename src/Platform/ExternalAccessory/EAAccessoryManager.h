// The accessory service: which accessories are attached, their connect and disconnect
// notifications, and the provider that opens their sessions.
//
// Providers call accessoryAttached/accessoryDetached from any thread. The list of connected
// accessories changes at once; the notifications (after registerForLocalNotifications) are
// posted on the main run loop, carrying the accessory under EAAccessoryKey as a
// std::shared_ptr<EAAccessory>, as the phone does.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "Platform/ExternalAccessory/AccessoryProvider.h"
#include "vorasel/EAAccessory.h"

namespace hv::platform {

class EAAccessoryManager {
public:
    static constexpr const char *DidConnectNotification = "EAAccessoryDidConnectNotification";
    static constexpr const char *DidDisconnectNotification = "EAAccessoryDidDisconnectNotification";
    static constexpr const char *AccessoryKey = "EAAccessoryKey";

    static EAAccessoryManager &sharedAccessoryManager();

    // Attached accessories in the order they attached.
    std::vector<std::shared_ptr<EAAccessory>> connectedAccessories() const;
    void registerForLocalNotifications();
    void unregisterForLocalNotifications();

    // Provider side.
    void setProvider(std::shared_ptr<AccessoryProvider> provider);
    std::shared_ptr<AccessoryProvider> provider() const;
    std::shared_ptr<EAAccessory> accessoryAttached(AccessoryInfo info);
    void accessoryDetached(uint32_t connectionID);

private:
    EAAccessoryManager();
    void postOnMain(const char *name, std::shared_ptr<EAAccessory> accessory);

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<EAAccessory>> accessories_;
    std::shared_ptr<AccessoryProvider> provider_;
    uint32_t nextConnectionID_ = 1;
    bool notificationsRegistered_ = false;
};

}  // namespace hv::platform
