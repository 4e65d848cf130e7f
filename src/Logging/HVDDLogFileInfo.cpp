#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Logging/LogFileCreation.h"
#include "Platform/Application.h"
#include "vorasel/HVDDFileLogger.h"

using hv::platform::Application;
using std::chrono::system_clock;

namespace {

constexpr const char *kArchivedAttribute = "hvdd.log.archived";

system_clock::time_point toTimePoint(int64_t seconds, uint32_t nanoseconds) {
    return system_clock::time_point(std::chrono::duration_cast<system_clock::duration>(
        std::chrono::seconds(seconds) + std::chrono::nanoseconds(nanoseconds)));
}

}  // namespace

HVDDLogFileInfo::HVDDLogFileInfo(std::string filePath) : filePath_(std::move(filePath)) {
    const size_t slash = filePath_.rfind('/');
    fileName_ = slash == std::string::npos ? filePath_ : filePath_.substr(slash + 1);
}

void HVDDLogFileInfo::loadAttributes() {
    if (loaded_) return;
    loaded_ = true;
    struct statx st {};
    if (::statx(AT_FDCWD, filePath_.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &st) != 0) return;
    modificationDate_ = toTimePoint(st.stx_mtime.tv_sec, st.stx_mtime.tv_nsec);
    // The time recorded at creation first; the file system's birth time, or failing that the
    // modification time, only for files made without it.
    if (const auto recorded = hv::logging::recordedCreationTime(filePath_))
        creationDate_ = *recorded;
    else if (st.stx_mask & STATX_BTIME)
        creationDate_ = toTimePoint(st.stx_btime.tv_sec, st.stx_btime.tv_nsec);
    else
        creationDate_ = modificationDate_;
    fileSize_ = st.stx_size;
}

system_clock::time_point HVDDLogFileInfo::creationDate() {
    loadAttributes();
    return creationDate_;
}

system_clock::time_point HVDDLogFileInfo::modificationDate() {
    loadAttributes();
    return modificationDate_;
}

uint64_t HVDDLogFileInfo::fileSize() {
    loadAttributes();
    return fileSize_;
}

double HVDDLogFileInfo::age() {
    return std::chrono::duration<double>(system_clock::now() - creationDate()).count();
}

bool HVDDLogFileInfo::isArchived() {
    return hasExtendedAttributeWithName(kArchivedAttribute);
}

void HVDDLogFileInfo::setIsArchived(bool archived) {
    if (archived)
        addExtendedAttributeWithName(kArchivedAttribute);
    else
        removeExtendedAttributeWithName(kArchivedAttribute);
}

bool HVDDLogFileInfo::hasExtendedAttributeWithName(const std::string &name) {
    return Application::hasExtendedAttribute(filePath_, name);
}

void HVDDLogFileInfo::addExtendedAttributeWithName(const std::string &name) {
    std::string error;
    if (!Application::setExtendedAttribute(filePath_, name, "", &error))
        Application::shared().consoleLog("HVDDLogFileInfo: setxattr(" + fileName_ + ", " + name +
                                         "): error = " + error);
}

void HVDDLogFileInfo::removeExtendedAttributeWithName(const std::string &name) {
    std::string error;
    if (!Application::removeExtendedAttribute(filePath_, name, &error))
        Application::shared().consoleLog("HVDDLogFileInfo: removexattr(" + fileName_ + ", " + name +
                                         "): error = " + error);
}

void HVDDLogFileInfo::renameFile(const std::string &newFileName) {
    if (newFileName == fileName_) return;
    const size_t slash = filePath_.rfind('/');
    const std::string newPath =
        (slash == std::string::npos ? std::string() : filePath_.substr(0, slash + 1)) + newFileName;
    if (::rename(filePath_.c_str(), newPath.c_str()) != 0) {
        Application::shared().consoleLog("HVDDLogFileInfo: Error renaming file (" + fileName_ +
                                         "): " + std::strerror(errno));
        return;
    }
    filePath_ = newPath;
    fileName_ = newFileName;
    reset();
}

void HVDDLogFileInfo::reset() {
    loaded_ = false;
    creationDate_ = modificationDate_ = {};
    fileSize_ = 0;
}
