#include "Platform/ExternalAccessory/EAAccessoryManager.h"

#include <algorithm>

#include <cstdlib>

#include "Platform/NotificationCenter.h"
#include "Platform/RunLoop.h"
#include "Platform/Linux/SocketAccessoryProvider.h"

namespace hv::platform {

EAAccessoryManager &EAAccessoryManager::sharedAccessoryManager() {
    static EAAccessoryManager *manager = new EAAccessoryManager;
    // A host that names an accessory daemon gets its accessories from it, from the start.
    static std::once_flag fromEnvironment;
    std::call_once(fromEnvironment, [] {
        const char *path = std::getenv(SocketAccessoryProvider::SocketEnvironmentVariable);
        if (!path || !*path) return;
        if (auto provider = SocketAccessoryProvider::connect(path, *manager))
            manager->setProvider(provider);
    });
    return *manager;
}

EAAccessoryManager::EAAccessoryManager() = default;

std::vector<std::shared_ptr<EAAccessory>> EAAccessoryManager::connectedAccessories() const {
    std::lock_guard lock(mutex_);
    return accessories_;
}

void EAAccessoryManager::registerForLocalNotifications() {
    std::lock_guard lock(mutex_);
    notificationsRegistered_ = true;
}

void EAAccessoryManager::unregisterForLocalNotifications() {
    std::lock_guard lock(mutex_);
    notificationsRegistered_ = false;
}

void EAAccessoryManager::setProvider(std::shared_ptr<AccessoryProvider> provider) {
    std::lock_guard lock(mutex_);
    provider_ = std::move(provider);
}

std::shared_ptr<AccessoryProvider> EAAccessoryManager::provider() const {
    std::lock_guard lock(mutex_);
    return provider_;
}

std::shared_ptr<EAAccessory> EAAccessoryManager::accessoryAttached(AccessoryInfo info) {
    std::shared_ptr<EAAccessory> accessory;
    {
        std::lock_guard lock(mutex_);
        accessory = std::make_shared<EAAccessory>(nextConnectionID_++, std::move(info));
        accessories_.push_back(accessory);
    }
    postOnMain(DidConnectNotification, accessory);
    return accessory;
}

void EAAccessoryManager::accessoryDetached(uint32_t connectionID) {
    std::shared_ptr<EAAccessory> accessory;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(accessories_.begin(), accessories_.end(),
                               [&](const auto &a) { return a->connectionID() == connectionID; });
        if (it == accessories_.end()) return;
        accessory = *it;
        accessories_.erase(it);
    }
    accessory->markDisconnected();
    postOnMain(DidDisconnectNotification, accessory);
}

void EAAccessoryManager::postOnMain(const char *name, std::shared_ptr<EAAccessory> accessory) {
    {
        std::lock_guard lock(mutex_);
        if (!notificationsRegistered_) return;
    }
    RunLoop::main().perform([this, name, accessory = std::move(accessory)] {
        NotificationCenter::defaultCenter().post(name, this, {{AccessoryKey, std::any(accessory)}});
    });
}

}  // namespace hv::platform
