// Accessory presence: whether the Vorasel accessory is attached, announced as notifications.
//
// HVAccessory watches the platform's accessory notifications, recognises the accessory by its
// management protocol string, and after a settling period of 100 ms without further changes
// posts, on the main thread, first the priority notification (for the library's own
// listeners) and then the public one, both with the HVAccessory object as sender. At most two
// changes wait at any time; a third within one settling period replaces both. Observe them
// with HVHost::addObserver (HVHost.h) or hv_host_add_observer (hv_host.h).
//
// Thread rules: every operation may be called from any thread. The notifications are posted
// on the main thread: the library's own dispatcher thread, or the host's initial thread when
// the host runs the main loop (then only while it turns it). Sounds ("HVPlaySounds") play on
// a sound thread, never on the caller's.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "vorasel/EAAccessory.h"
#include "vorasel/hv_export.h"

extern "C" {
HV_EXPORT extern const char *const HVAccessoryDidConnectNotificationPriority;
HV_EXPORT extern const char *const HVAccessoryDidConnectNotification;
HV_EXPORT extern const char *const HVAccessoryDidDisconnectNotificationPriority;
HV_EXPORT extern const char *const HVAccessoryDidDisconnectNotification;
}

class HV_EXPORT HVAccessory {
public:
    static HVAccessory &sharedClass();

    bool isConnected() const { return connected_.load(); }
    // First space-free word of the model number (or its first 10 characters), "/" as "-".
    std::optional<std::string> modelNumber() const;
    // "pca_" and the revision; a bare integer n becomes "n.0.0".
    std::optional<std::string> hardwareRevision() const;
    // The attached Vorasel accessory, or null.
    std::shared_ptr<hv::platform::EAAccessory> getAccessory() const;
    // Plays the named "wav" resource of the application's bundle, if it has one.
    void playSound(const std::string &name) const;

    // Asked of the accessory every time (HVManager::getCapabilities, up to 2 s). When it cannot
    // be asked, an attached accessory is taken to have the function and a detached one not.
    bool hasFingerprintSensor() const;
    bool hasSmartCardReader() const;
    // Always false; asks nothing.
    bool hasContactlessReader() const;

    // Normalisation rules, exposed for tests.
    static std::string normalizedModelNumber(const std::string &model);
    static std::string normalizedHardwareRevision(const std::string &revision);

private:
    HVAccessory();
    struct Impl;
    friend struct Impl;

    std::atomic<bool> connected_{false};
    Impl *impl_;
};
