#include "Platform/Application.h"

#include <sys/utsname.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "Platform/Linux/SystemLogClient.h"
#include "Platform/MainThread.h"
#include "Platform/NotificationCenter.h"
#include "Platform/ThreadName.h"
#include "vorasel/SerialQueue.h"

extern "C" char *program_invocation_short_name;

namespace hv::platform {

Application &Application::shared() {
    static Application *app = new Application;
    return *app;
}

Application::Application() {
    info_.emplace_back(SupportedAccessoryProtocolsKey,
                       std::vector<std::string>{"com.vorasel.sensor", "com.vorasel.ccidcontrol",
                                                "com.vorasel.ccidbulk", "com.vorasel.ccidinterrupt",
                                                "com.vorasel.trace", "com.vorasel.manager"});
    info_.emplace_back(BackgroundModesKey, std::vector<std::string>{});
    utsname uts{};
    if (uname(&uts) == 0) osVersion_ = uts.release;
    processName_ = program_invocation_short_name ? program_invocation_short_name : "";
}

std::vector<std::string> Application::infoList(const std::string &key) const {
    std::lock_guard lock(mutex_);
    for (const auto &[k, v] : info_)
        if (k == key) return v;
    return {};
}

void Application::setInfoList(const std::string &key, std::vector<std::string> values) {
    std::lock_guard lock(mutex_);
    for (auto &[k, v] : info_) {
        if (k == key) {
            v = std::move(values);
            return;
        }
    }
    info_.emplace_back(key, std::move(values));
}

bool Application::declaresBackgroundMode() const {
    for (const auto &mode : infoList(BackgroundModesKey))
        if (!mode.empty()) return true;
    return false;
}

bool Application::boolForKey(const std::string &key) const {
    std::lock_guard lock(mutex_);
    for (const auto &[k, v] : defaults_)
        if (k == key) return v;
    return false;
}

void Application::setBool(const std::string &key, bool value) {
    std::lock_guard lock(mutex_);
    for (auto &[k, v] : defaults_) {
        if (k == key) {
            v = value;
            return;
        }
    }
    defaults_.emplace_back(key, value);
}

void Application::removeDefault(const std::string &key) {
    std::lock_guard lock(mutex_);
    std::erase_if(defaults_, [&](const auto &entry) { return entry.first == key; });
}

std::string Application::operatingSystemVersion() const {
    std::lock_guard lock(mutex_);
    return osVersion_;
}

void Application::setOperatingSystemVersion(std::string version) {
    std::lock_guard lock(mutex_);
    osVersion_ = std::move(version);
}

bool Application::isMainThread() const {
    return mainthread::isMainThread();
}

std::string Application::processName() const {
    std::lock_guard lock(mutex_);
    return processName_;
}

void Application::setProcessName(std::string name) {
    std::lock_guard lock(mutex_);
    processName_ = std::move(name);
}

void Application::setResourceDirectory(std::string directory) {
    std::lock_guard lock(mutex_);
    resourceDirectory_ = std::move(directory);
}

std::optional<std::string> Application::pathForResource(const std::string &name,
                                                        const std::string &type) const {
    std::string dir;
    {
        std::lock_guard lock(mutex_);
        dir = resourceDirectory_;
    }
    if (dir.empty() || name.empty()) return std::nullopt;
    std::filesystem::path path = std::filesystem::path(dir) / (name + "." + type);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
    return path.string();
}

void Application::setSoundHook(SoundHook hook) {
    std::lock_guard lock(mutex_);
    soundHook_ = std::move(hook);
}

void Application::playSystemSound(const std::string &path) {
    // Sounds play on a thread of their own, as system sounds do: the caller may hold a lock, and
    // the host's hook may be slow. A hook that stalls only delays (and at worst drops) sounds.
    static auto *queue = new SerialQueue("hv.sound");
    SoundHook hook;
    {
        std::lock_guard lock(mutex_);
        if (!soundHook_ || pendingSounds_ >= kMaxPendingSounds) return;
        hook = soundHook_;
        ++pendingSounds_;
    }
    queue->async([this, hook = std::move(hook), path] {
        hook(path);
        std::lock_guard lock(mutex_);
        --pendingSounds_;
    });
}

void Application::systemLog(int priority, const std::string &text) {
    SystemLogHook hook;
    std::string tag;
    {
        std::lock_guard lock(mutex_);
        hook = systemLogHook_;
        tag = processName_;
    }
    if (hook) {
        hook(priority, text);
        return;
    }
    static auto *client = new SystemLogClient;
    client->send(priority, tag, text);
}

void Application::setSystemLogHook(SystemLogHook hook) {
    std::lock_guard lock(mutex_);
    systemLogHook_ = std::move(hook);
}

void Application::consoleLog(const std::string &text) {
    ConsoleLogHook hook;
    std::string name;
    {
        std::lock_guard lock(mutex_);
        hook = consoleLogHook_;
        name = processName_;
    }
    if (hook) {
        hook(text);
        return;
    }
    const auto now = std::chrono::system_clock::now();
    const time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    tm local{};
    localtime_r(&seconds, &local);
    char prefix[96];
    const size_t dateLen = std::strftime(prefix, sizeof prefix, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(prefix + dateLen, sizeof prefix - dateLen, ".%03d ", static_cast<int>(millis));
    char ids[48];
    std::snprintf(ids, sizeof ids, "[%d:%llx] ", static_cast<int>(getpid()),
                  static_cast<unsigned long long>(currentThreadId()));
    std::string line = prefix + name + ids + text + "\n";
    for (size_t done = 0; done < line.size();) {
        const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
}

void Application::setConsoleLogHook(ConsoleLogHook hook) {
    std::lock_guard lock(mutex_);
    consoleLogHook_ = std::move(hook);
}

std::string Application::cachesDirectory() const {
    {
        std::lock_guard lock(mutex_);
        if (!cachesDirectory_.empty()) return cachesDirectory_;
    }
    if (const char *xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg) return xdg;
    if (const char *home = std::getenv("HOME"); home && *home) return std::string(home) + "/.cache";
    return "/tmp";
}

void Application::setCachesDirectory(std::string directory) {
    std::lock_guard lock(mutex_);
    cachesDirectory_ = std::move(directory);
}

bool Application::setExtendedAttribute(const std::string &path, const std::string &name,
                                       const std::string &value, std::string *error) {
    const std::string attr = "user." + name;
    if (setxattr(path.c_str(), attr.c_str(), value.data(), value.size(), 0) == 0) return true;
    if (error) *error = std::strerror(errno);
    return false;
}

bool Application::setExtendedAttribute(int fd, const std::string &name, const std::string &value,
                                       std::string *error) {
    const std::string attr = "user." + name;
    if (fsetxattr(fd, attr.c_str(), value.data(), value.size(), 0) == 0) return true;
    if (error) *error = std::strerror(errno);
    return false;
}

bool Application::removeExtendedAttribute(const std::string &path, const std::string &name,
                                          std::string *error) {
    const std::string attr = "user." + name;
    if (removexattr(path.c_str(), attr.c_str()) == 0) return true;
    if (error) *error = std::strerror(errno);
    return false;
}

bool Application::hasExtendedAttribute(const std::string &path, const std::string &name) {
    const std::string attr = "user." + name;
    return getxattr(path.c_str(), attr.c_str(), nullptr, 0) >= 0;
}

bool Application::setFileProtection(const std::string &path, const std::string &protectionClass) {
    return setExtendedAttribute(path, "hv.protection", protectionClass);
}

std::optional<std::string> Application::fileProtection(const std::string &path) {
    char buf[128];
    const ssize_t n = getxattr(path.c_str(), "user.hv.protection", buf, sizeof buf);
    if (n < 0) return std::nullopt;
    return std::string(buf, static_cast<size_t>(n));
}

void Application::postDidEnterBackground() {
    NotificationCenter::defaultCenter().post(DidEnterBackgroundNotification, this);
}

void Application::postWillEnterForeground() {
    NotificationCenter::defaultCenter().post(WillEnterForegroundNotification, this);
}

void Application::postWillTerminate() {
    NotificationCenter::defaultCenter().post(WillTerminateNotification, this);
}

}  // namespace hv::platform
