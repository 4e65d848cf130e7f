#include "vorasel/HVHost.h"

#include "Platform/Application.h"
#include "Platform/ExternalAccessory/EAAccessoryManager.h"
#include "Platform/Linux/SocketAccessoryProvider.h"
#include "Platform/MainThread.h"
#include "Platform/NotificationCenter.h"
#include "Platform/RunLoop.h"
#include "Platform/Semaphore.h"

using hv::platform::Application;
using hv::platform::NotificationCenter;
using hv::platform::RunLoop;

namespace {

// The application's moves are posted on the main thread, as the platform posts them.
void postOnMainThread(void (Application::*post)()) {
    Application &app = Application::shared();
    if (hv::platform::mainthread::isMainThread()) {
        (app.*post)();
        return;
    }
    hv::platform::Semaphore done;
    RunLoop::main().perform([&] {
        (app.*post)();
        done.signal();
    });
    done.wait();
}

}  // namespace

bool HVHost::setHostRunsMainLoop() {
    return hv::platform::mainthread::setHostRunsMainLoop();
}

bool HVHost::hostRunsMainLoop() {
    return hv::platform::mainthread::hostRunsMainLoop();
}

bool HVHost::isMainThread() {
    return hv::platform::mainthread::isMainThread();
}

bool HVHost::runMainLoopFor(std::chrono::milliseconds duration) {
    if (!hv::platform::mainthread::hostRunsMainLoop() ||
        !hv::platform::mainthread::isInitialThread())
        return false;
    RunLoop::main().runFor(duration);
    return true;
}

HVHost::ObserverToken HVHost::addObserver(const std::string &name, Observer observer) {
    if (!observer) return 0;
    return NotificationCenter::defaultCenter().addObserver(
        name, nullptr, [observer = std::move(observer)](const hv::platform::Notification &n) {
            observer(n.name.c_str(), n.sender);
        });
}

void HVHost::removeObserver(ObserverToken token) {
    NotificationCenter::defaultCenter().removeObserver(token);
}

void HVHost::postDidEnterBackground() {
    postOnMainThread(&Application::postDidEnterBackground);
}

void HVHost::postWillEnterForeground() {
    postOnMainThread(&Application::postWillEnterForeground);
}

void HVHost::postWillTerminate() {
    postOnMainThread(&Application::postWillTerminate);
}

void HVHost::setUserDefault(const std::string &key, bool value) {
    Application::shared().setBool(key, value);
}

bool HVHost::userDefault(const std::string &key) {
    return Application::shared().boolForKey(key);
}

void HVHost::removeUserDefault(const std::string &key) {
    Application::shared().removeDefault(key);
}

void HVHost::setResourceDirectory(const std::string &directory) {
    Application::shared().setResourceDirectory(directory);
}

void HVHost::setSoundHook(SoundHook hook) {
    Application::shared().setSoundHook(std::move(hook));
}

void HVHost::setSupportedAccessoryProtocols(std::vector<std::string> protocols) {
    Application::shared().setInfoList(Application::SupportedAccessoryProtocolsKey,
                                      std::move(protocols));
}

std::vector<std::string> HVHost::supportedAccessoryProtocols() {
    return Application::shared().infoList(Application::SupportedAccessoryProtocolsKey);
}

void HVHost::setBackgroundModes(std::vector<std::string> modes) {
    Application::shared().setInfoList(Application::BackgroundModesKey, std::move(modes));
}

std::vector<std::string> HVHost::backgroundModes() {
    return Application::shared().infoList(Application::BackgroundModesKey);
}

void HVHost::setOperatingSystemVersion(const std::string &version) {
    Application::shared().setOperatingSystemVersion(version);
}

std::string HVHost::operatingSystemVersion() {
    return Application::shared().operatingSystemVersion();
}

bool HVHost::useAccessoryDaemon(const std::string &socketPath) {
    using hv::platform::SocketAccessoryProvider;
    auto &manager = hv::platform::EAAccessoryManager::sharedAccessoryManager();
    auto previous = std::dynamic_pointer_cast<SocketAccessoryProvider>(manager.provider());
    // A provider still following the same path would attach the daemon's case a second time.
    if (previous && previous->socketPath() == socketPath) previous->stop();
    auto provider = SocketAccessoryProvider::connect(socketPath, manager);
    if (!provider) return false;
    manager.setProvider(provider);
    if (previous) previous->stop();
    return true;
}
