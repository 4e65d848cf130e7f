#include "vorasel/HVAccessory.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "Accessory/HVProtocolSession.h"
#include "Platform/Application.h"
#include "Platform/ExternalAccessory/EAAccessoryManager.h"
#include "Platform/NotificationCenter.h"
#include "Platform/RunLoop.h"
#include "Platform/Semaphore.h"
#include "Platform/Thread.h"
#include "vorasel/HVLog.h"

using hv::platform::Application;
using hv::platform::EAAccessory;
using hv::platform::EAAccessoryManager;
using hv::platform::NotificationCenter;

const char *const HVAccessoryDidConnectNotificationPriority =
    "HVAccessoryDidConnectNotificationPriority";
const char *const HVAccessoryDidConnectNotification = "HVAccessoryDidConnectNotification";
const char *const HVAccessoryDidDisconnectNotificationPriority =
    "HVAccessoryDidDisconnectNotificationPriority";
const char *const HVAccessoryDidDisconnectNotification = "HVAccessoryDidDisconnectNotification";

namespace {

// Guards creation, the queue and the sending loop.
std::recursive_mutex &classLock() {
    static auto *lock = new std::recursive_mutex;
    return *lock;
}

const std::string &managerProtocol() {
    // Never destroyed: the library's threads may still match accessories during exit.
    static const auto *s =
        new std::string(HVProtocolSession::stringFromProtocol(HVAccessoryProtocolManager));
    return *s;
}

constexpr auto kSettling = std::chrono::nanoseconds(100000000);

}  // namespace

// The notification side, the worker and the posting: nothing of it leaves the library.
struct __attribute__((visibility("hidden"))) HVAccessory::Impl {
    explicit Impl(HVAccessory &owner) : owner(owner) { names.reserve(2); }

    void handleAccessoryNotification(const hv::platform::Notification &notification);
    void handleNotificationsProcess();
    void sendNotifications();
    void postNotificationOnMainThread(const char *name);

    HVAccessory &owner;
    std::vector<const char *> names;  // guarded by classLock()
    hv::platform::Semaphore semaphore{0};
};

HVAccessory &HVAccessory::sharedClass() {
    static HVAccessory *instance = [] {
        std::lock_guard lock(classLock());
        return new HVAccessory;
    }();
    return *instance;
}

HVAccessory::HVAccessory() : impl_(new Impl(*this)) {
    auto &manager = EAAccessoryManager::sharedAccessoryManager();
    bool present = false;
    for (const auto &a : manager.connectedAccessories())
        present |= a->offersProtocol(managerProtocol());
    connected_.store(present);

    hv::platform::Thread worker([impl = impl_] { impl->handleNotificationsProcess(); },
                                "hv.accessory");
    worker.start();

    manager.registerForLocalNotifications();
    auto &center = NotificationCenter::defaultCenter();
    auto handler = [impl = impl_](const hv::platform::Notification &n) {
        impl->handleAccessoryNotification(n);
    };
    center.addObserver(EAAccessoryManager::DidConnectNotification, &manager, handler);
    center.addObserver(EAAccessoryManager::DidDisconnectNotification, &manager, handler);
}

void HVAccessory::Impl::handleAccessoryNotification(
    const hv::platform::Notification &notification) {
    std::lock_guard lock(classLock());
    auto it = notification.userInfo.find(EAAccessoryManager::AccessoryKey);
    if (it == notification.userInfo.end()) return;
    const auto *accessory = std::any_cast<std::shared_ptr<EAAccessory>>(&it->second);
    if (!accessory || !*accessory || !(*accessory)->offersProtocol(managerProtocol())) return;

    if (names.size() >= 2) names.clear();
    if (notification.name == EAAccessoryManager::DidConnectNotification) {
        HVLogVerbose("Vorasel accessory connected!");
        names.push_back(HVAccessoryDidConnectNotification);
    } else {
        HVLogVerbose("Vorasel accessory disconnected!");
        names.push_back(HVAccessoryDidDisconnectNotification);
    }
    semaphore.signal();
}

void HVAccessory::Impl::handleNotificationsProcess() {
    for (;;) {
        semaphore.wait();
        // Announce only after the accessory has been quiet for the whole settling period.
        while (semaphore.waitFor(kSettling)) {
        }
        sendNotifications();
    }
}

void HVAccessory::Impl::sendNotifications() {
    std::vector<const char *> sounds;
    {
        std::lock_guard lock(classLock());
        const bool playSounds = Application::shared().boolForKey("HVPlaySounds");
        for (const char *name : names) {
            const bool connect = name == HVAccessoryDidConnectNotification;
            owner.connected_.store(connect);
            postNotificationOnMainThread(connect ? HVAccessoryDidConnectNotificationPriority
                                                 : HVAccessoryDidDisconnectNotificationPriority);
            postNotificationOnMainThread(name);
            if (playSounds)
                sounds.push_back(connect ? "HVAccessoryConnected" : "HVAccessoryDisconnected");
        }
        names.clear();
    }
    // Outside the lock: looking the resource up touches the disk.
    for (const char *sound : sounds)
        owner.playSound(sound);
}

void HVAccessory::Impl::postNotificationOnMainThread(const char *name) {
    hv::platform::RunLoop::main().perform(
        [this, name] { NotificationCenter::defaultCenter().post(name, &owner); });
}

void HVAccessory::playSound(const std::string &name) const {
    if (auto path = Application::shared().pathForResource(name, "wav"))
        Application::shared().playSystemSound(*path);
}

std::shared_ptr<EAAccessory> HVAccessory::getAccessory() const {
    for (const auto &a : EAAccessoryManager::sharedAccessoryManager().connectedAccessories())
        if (a->offersProtocol(managerProtocol())) return a;
    return nullptr;
}

std::string HVAccessory::normalizedModelNumber(const std::string &model) {
    std::string out = model;
    if (const size_t space = out.find(' '); space != std::string::npos)
        out = out.substr(0, space);
    else if (out.size() >= 10)
        out = out.substr(0, 10);
    for (char &c : out)
        if (c == '/') c = '-';
    return out;
}

std::string HVAccessory::normalizedHardwareRevision(const std::string &revision) {
    std::string out = revision;
    if (out.find('.') == std::string::npos) {
        // A whole integer and nothing else (leading blanks and a sign allowed, as a number
        // scanner takes them), clamped to the int range.
        const char *begin = out.c_str();
        char *end = nullptr;
        errno = 0;
        const long long value = std::strtoll(begin, &end, 10);
        const bool digits = end != begin && (end[-1] >= '0' && end[-1] <= '9');
        if (digits && *end == '\0') {
            const long long clamped = value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : value;
            out = std::to_string(static_cast<int>(clamped)) + ".0.0";
        }
    }
    return "pca_" + out;
}

std::optional<std::string> HVAccessory::modelNumber() const {
    auto accessory = getAccessory();
    if (!accessory) return std::nullopt;
    return normalizedModelNumber(accessory->modelNumber());
}

std::optional<std::string> HVAccessory::hardwareRevision() const {
    auto accessory = getAccessory();
    if (!accessory) return std::nullopt;
    return normalizedHardwareRevision(accessory->hardwareRevision());
}
