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
    static const std::string s = HVProtocolSession::stringFromProtocol(HVAccessoryProtocolManager);
    return s;
}

constexpr auto kSettling = std::chrono::nanoseconds(100000000);

}  // namespace

struct HVAccessory::Queue {
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

HVAccessory::HVAccessory() : queue_(new Queue) {
    auto &manager = EAAccessoryManager::sharedAccessoryManager();
    bool present = false;
    for (const auto &a : manager.connectedAccessories())
        present |= a->offersProtocol(managerProtocol());
    connected_.store(present);
    queue_->names.reserve(2);

    hv::platform::Thread worker([this] { handleNotificationsProcess(); }, "hv.accessory");
    worker.start();

    manager.registerForLocalNotifications();
    auto &center = NotificationCenter::defaultCenter();
    auto handler = [this](const hv::platform::Notification &n) { handleAccessoryNotification(n); };
    center.addObserver(EAAccessoryManager::DidConnectNotification, &manager, handler);
    center.addObserver(EAAccessoryManager::DidDisconnectNotification, &manager, handler);
}

void HVAccessory::handleAccessoryNotification(const hv::platform::Notification &notification) {
    std::lock_guard lock(classLock());
    auto it = notification.userInfo.find(EAAccessoryManager::AccessoryKey);
    if (it == notification.userInfo.end()) return;
    const auto *accessory = std::any_cast<std::shared_ptr<EAAccessory>>(&it->second);
    if (!accessory || !*accessory || !(*accessory)->offersProtocol(managerProtocol())) return;

    if (queue_->names.size() >= 2) queue_->names.clear();
    if (notification.name == EAAccessoryManager::DidConnectNotification) {
        HVLogVerbose("Vorasel accessory connected!");
        queue_->names.push_back(HVAccessoryDidConnectNotification);
    } else {
        HVLogVerbose("Vorasel accessory disconnected!");
        queue_->names.push_back(HVAccessoryDidDisconnectNotification);
    }
    queue_->semaphore.signal();
}

void HVAccessory::handleNotificationsProcess() {
    for (;;) {
        queue_->semaphore.wait();
        // Announce only after the accessory has been quiet for the whole settling period.
        while (queue_->semaphore.waitFor(kSettling)) {
        }
        sendNotifications();
    }
}

void HVAccessory::sendNotifications() {
    std::lock_guard lock(classLock());
    const bool playSounds = Application::shared().boolForKey("HVPlaySounds");
    for (const char *name : queue_->names) {
        const bool connect = name == HVAccessoryDidConnectNotification;
        connected_.store(connect);
        postNotificationOnMainThread(connect ? HVAccessoryDidConnectNotificationPriority
                                             : HVAccessoryDidDisconnectNotificationPriority);
        postNotificationOnMainThread(name);
        if (playSounds) playSound(connect ? "HVAccessoryConnected" : "HVAccessoryDisconnected");
    }
    queue_->names.clear();
}

void HVAccessory::postNotificationOnMainThread(const char *name) {
    hv::platform::RunLoop::main().perform(
        [this, name] { NotificationCenter::defaultCenter().post(name, this); });
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
