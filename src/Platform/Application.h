// The host application's facts and events, as the library reads them.
//
// Defaults make an ordinary program work with no set-up: the information dictionary declares
// every Vorasel accessory protocol and no background mode, user defaults are empty, the
// operating-system version comes from uname(2), resources are looked up in a directory the
// host may set, and the caches directory is $XDG_CACHE_HOME or ~/.cache. Hosts and tests
// change these facts through the setters. All operations are thread-safe.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace hv::platform {

class Application {
public:
    static constexpr const char *DidEnterBackgroundNotification =
        "UIApplicationDidEnterBackgroundNotification";
    static constexpr const char *WillEnterForegroundNotification =
        "UIApplicationWillEnterForegroundNotification";
    static constexpr const char *WillTerminateNotification =
        "UIApplicationWillTerminateNotification";

    // Information-dictionary keys the library reads.
    static constexpr const char *SupportedAccessoryProtocolsKey =
        "UISupportedExternalAccessoryProtocols";
    static constexpr const char *BackgroundModesKey = "UIBackgroundModes";

    // File-protection classes (kept as an extended attribute on Linux).
    static constexpr const char *FileProtectionCompleteUnlessOpen =
        "NSFileProtectionCompleteUnlessOpen";
    static constexpr const char *FileProtectionCompleteUntilFirstUserAuthentication =
        "NSFileProtectionCompleteUntilFirstUserAuthentication";

    static Application &shared();

    // Information dictionary: list-valued entries.
    std::vector<std::string> infoList(const std::string &key) const;
    void setInfoList(const std::string &key, std::vector<std::string> values);
    // Whether the UIBackgroundModes list has a non-empty entry (hvDoesAppRunInBackground).
    bool declaresBackgroundMode() const;

    // User defaults (booleans are all the library reads); absent means false.
    bool boolForKey(const std::string &key) const;
    void setBool(const std::string &key, bool value);
    void removeDefault(const std::string &key);

    std::string operatingSystemVersion() const;
    void setOperatingSystemVersion(std::string version);

    bool isMainThread() const;

    // The process name ("<UnnamedApp>" handling is the caller's).
    std::string processName() const;
    void setProcessName(std::string name);

    // Main resource bundle: a directory holding "<name>.<type>" files.
    void setResourceDirectory(std::string directory);
    std::optional<std::string> pathForResource(const std::string &name,
                                               const std::string &type) const;

    // System sounds: playing hands the file to the hook on a sound thread of its own, never
    // on the caller's; the default hook does nothing. At most kMaxPendingSounds wait for a
    // slow hook; further sounds are dropped.
    static constexpr int kMaxPendingSounds = 8;
    using SoundHook = std::function<void(const std::string &path)>;
    void setSoundHook(SoundHook hook);
    void playSystemSound(const std::string &path);

    // System log (syslog, facility "user", tagged with the process name and id) at the given
    // priority (0..7, syslog's own scale). With a hook set, the line goes to the hook instead.
    using SystemLogHook = std::function<void(int priority, const std::string &text)>;
    void systemLog(int priority, const std::string &text);
    void setSystemLogHook(SystemLogHook hook);

    // The platform's own console: one line on standard error with the date, the process name
    // and the process and thread ids in front, written with one write. For the library's
    // reports about its own logging, which cannot go through the loggers. With a hook set,
    // the text goes to the hook instead.
    using ConsoleLogHook = std::function<void(const std::string &text)>;
    void consoleLog(const std::string &text);
    void setConsoleLogHook(ConsoleLogHook hook);

    std::string cachesDirectory() const;
    void setCachesDirectory(std::string directory);

    // Extended attributes ("user." is put in front of the name) and protection classes.
    static bool setExtendedAttribute(const std::string &path, const std::string &name,
                                     const std::string &value, std::string *error = nullptr);
    // The same on an open file, which works after the file was renamed or deleted.
    static bool setExtendedAttribute(int fd, const std::string &name, const std::string &value,
                                     std::string *error = nullptr);
    static bool removeExtendedAttribute(const std::string &path, const std::string &name,
                                        std::string *error = nullptr);
    static bool hasExtendedAttribute(const std::string &path, const std::string &name);
    static bool setFileProtection(const std::string &path, const std::string &protectionClass);
    static std::optional<std::string> fileProtection(const std::string &path);

    // Moves of the application, posted synchronously on the calling thread (hosts call them
    // from their main thread, as the phone does).
    void postDidEnterBackground();
    void postWillEnterForeground();
    void postWillTerminate();

private:
    Application();
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, std::vector<std::string>>> info_;
    std::vector<std::pair<std::string, bool>> defaults_;
    std::string osVersion_;
    std::string processName_;
    std::string resourceDirectory_;
    std::string cachesDirectory_;
    SoundHook soundHook_;
    int pendingSounds_ = 0;
    SystemLogHook systemLogHook_;
    ConsoleLogHook consoleLogHook_;
};

}  // namespace hv::platform
