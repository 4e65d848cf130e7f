#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "Logging/LogDirectory.h"
#include "Logging/LogFileCreation.h"
#include "Platform/Application.h"
#include "vorasel/HVDDFileLogger.h"
#include "vorasel/SerialQueue.h"

using hv::platform::Application;

namespace {

constexpr const char *kBaseName = "HalvaneiOSLibrary";
constexpr const char *kExtension = ".log";
// Far more files than any sane configuration keeps; stops the search for a free name.
constexpr unsigned long kMaximumFileNumber = 100000;

std::string fileNameWithNumber(unsigned long n) {
    if (n < 2) return HVDDLogFileManagerDefault::kLogFileName;
    return std::string(kBaseName) + " " + std::to_string(n) + kExtension;
}

// The logs folder, checked safe to log into (and made when `create`); -1 when it is not.
int openDirectory(const std::string &path, bool create, std::atomic<bool> &failureReported) {
    std::string error;
    const int fd = hv::logging::openLogsDirectory(path, create, &error);
    if (fd >= 0) {
        failureReported = false;
        return fd;
    }
    // Once per failure, not once for every message that finds the folder missing.
    if (create && !failureReported.exchange(true))
        Application::shared().consoleLog(
            "HVDDFileLogManagerDefault: Error creating logsDirectory: " + error);
    return -1;
}

}  // namespace

// ---- HVDDLogFileManager ----

HVDDLogFileManager::~HVDDLogFileManager() = default;

std::vector<std::shared_ptr<HVDDLogFileInfo>> HVDDLogFileManager::sortedLogFileInfos() {
    auto infos = unsortedLogFileInfos();
    std::stable_sort(infos.begin(), infos.end(), [](const auto &a, const auto &b) {
        const auto ca = a->creationDate(), cb = b->creationDate();
        if (ca != cb) return ca > cb;
        return a->modificationDate() > b->modificationDate();
    });
    return infos;
}

void HVDDLogFileManager::didArchiveLogFile(const std::string &) {}
void HVDDLogFileManager::didRollAndArchiveLogFile(const std::string &) {}

std::vector<std::string> HVDDLogFileManager::unsortedLogFilePaths() {
    std::vector<std::string> paths;
    for (const auto &info : unsortedLogFileInfos())
        paths.push_back(info->filePath());
    return paths;
}

std::vector<std::string> HVDDLogFileManager::unsortedLogFileNames() {
    std::vector<std::string> names;
    for (const auto &info : unsortedLogFileInfos())
        names.push_back(info->fileName());
    return names;
}

std::vector<std::string> HVDDLogFileManager::sortedLogFilePaths() {
    std::vector<std::string> paths;
    for (const auto &info : sortedLogFileInfos())
        paths.push_back(info->filePath());
    return paths;
}

std::vector<std::string> HVDDLogFileManager::sortedLogFileNames() {
    std::vector<std::string> names;
    for (const auto &info : sortedLogFileInfos())
        names.push_back(info->fileName());
    return names;
}

// ---- HVDDLogFileManagerDefault ----

// A caches folder that others may write into (the shared fallback) gets a private folder of
// ours in between.
HVDDLogFileManagerDefault::HVDDLogFileManagerDefault()
    : HVDDLogFileManagerDefault(
          hv::logging::privateFolderIn(Application::shared().cachesDirectory()) + "/Logs") {}

HVDDLogFileManagerDefault::HVDDLogFileManagerDefault(std::string logsDirectory)
    : logsDirectory_(std::move(logsDirectory)) {}

uint64_t HVDDLogFileManagerDefault::maximumNumberOfLogFiles() const {
    return maximumNumberOfLogFiles_.load();
}

void HVDDLogFileManagerDefault::setMaximumNumberOfLogFiles(uint64_t count) {
    if (maximumNumberOfLogFiles_.exchange(count) == count) return;
    // The manager lives as long as a logger holds it; a deletion still queued must not outlive
    // it, so it runs on a copy of what it needs.
    const std::string directory = logsDirectory_;
    HVDDLog::loggingQueue().async([directory, count] {
        HVDDLogFileManagerDefault snapshot(directory);
        snapshot.maximumNumberOfLogFiles_ = count;
        snapshot.deleteOldLogFiles();
    });
}

std::string HVDDLogFileManagerDefault::logsDirectory() {
    const int fd = openDirectory(logsDirectory_, true, creationFailureReported_);
    if (fd >= 0) ::close(fd);
    return logsDirectory_;
}

bool HVDDLogFileManagerDefault::isLogFile(const std::string &fileName) const {
    if (fileName == kLogFileName) return true;
    // "HalvaneiOSLibrary <n>.log", the names of the files made while earlier ones exist.
    const std::string prefix = std::string(kBaseName) + " ";
    const std::string suffix = kExtension;
    if (fileName.size() <= prefix.size() + suffix.size()) return false;
    if (fileName.compare(0, prefix.size(), prefix) != 0) return false;
    if (fileName.compare(fileName.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
    const std::string number =
        fileName.substr(prefix.size(), fileName.size() - prefix.size() - suffix.size());
    if (number.size() > 9 || number[0] == '0') return false;
    if (!std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    return std::stoul(number) >= 2;
}

std::vector<std::shared_ptr<HVDDLogFileInfo>> HVDDLogFileManagerDefault::unsortedLogFileInfos() {
    std::vector<std::shared_ptr<HVDDLogFileInfo>> infos;
    std::error_code ec;
    // Listing does not make the folder: no folder, no files; nor does it trust one that is
    // not safe to log into.
    const int fd = openDirectory(logsDirectory_, false, creationFailureReported_);
    if (fd < 0) return infos;
    ::close(fd);
    std::filesystem::directory_iterator it(logsDirectory_, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (isLogFile(name))
            infos.push_back(std::make_shared<HVDDLogFileInfo>(it->path().string()));
    }
    return infos;
}

std::string HVDDLogFileManagerDefault::createNewLogFile() {
    const int directory = openDirectory(logsDirectory_, true, creationFailureReported_);
    if (directory < 0) return {};
    for (unsigned long n = 1; n <= kMaximumFileNumber; ++n) {
        const std::string name = fileNameWithNumber(n);
        const std::string path = logsDirectory_ + "/" + name;
        // O_EXCL: a name taken meanwhile by another process is skipped, never truncated, and
        // a symlink planted under it is not followed. Readable by us alone.
        const int fd = ::openat(directory, name.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            ::close(directory);
            return {};
        }
        hv::logging::markCreationTime(fd);
        ::close(fd);
        ::close(directory);
        Application::setFileProtection(
            path, Application::shared().declaresBackgroundMode()
                      ? Application::FileProtectionCompleteUntilFirstUserAuthentication
                      : Application::FileProtectionCompleteUnlessOpen);
        deleteOldLogFiles();
        return path;
    }
    ::close(directory);
    return {};
}

void HVDDLogFileManagerDefault::deleteOldLogFiles() {
    const uint64_t keep = maximumNumberOfLogFiles();
    if (keep == 0) return;
    auto infos = sortedLogFileInfos();
    size_t first = 0;
    // The newest file, unless archived, is the one being written: it does not count.
    if (!infos.empty() && !infos.front()->isArchived()) first = 1;
    if (first + keep >= infos.size()) return;
    // By name within the folder's descriptor: a folder swapped in meanwhile loses nothing.
    const int directory = openDirectory(logsDirectory_, false, creationFailureReported_);
    if (directory < 0) return;
    for (size_t i = first + keep; i < infos.size(); ++i)
        ::unlinkat(directory, infos[i]->fileName().c_str(), 0);
    ::close(directory);
}
