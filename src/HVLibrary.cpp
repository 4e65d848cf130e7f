#include "vorasel/HVLibrary.h"

#include <mutex>

#include "vorasel/HVDDASLLogger.h"
#include "vorasel/HVDDFileLogger.h"
#include "vorasel/HVDDTTYLogger.h"
#include "vorasel/HVLog.h"

namespace {

struct LevelEntry {
    const char *name;
    uint32_t mask;
};

constexpr LevelEntry kLevels[] = {
    {"Off", HVLogLevelOff},   {"Error", HVLogLevelError}, {"Warn", HVLogLevelWarn},
    {"Info", HVLogLevelInfo}, {"Debug", HVLogLevelDebug}, {"Verbose", HVLogLevelVerbose},
};
constexpr int32_t kLevelCount = static_cast<int32_t>(sizeof kLevels / sizeof kLevels[0]);

std::mutex &classLock() {
    static auto *lock = new std::mutex;
    return *lock;
}

}  // namespace

HVLibrary &HVLibrary::sharedClass() {
    static HVLibrary *instance = new HVLibrary;
    return *instance;
}

HVLibrary::HVLibrary() {
    std::lock_guard lock(classLock());
    version_ = hv_library_version;
    logLevel_ = 0;
    hvLogLevel = 0;
    HVDDLog::addLogger(HVDDASLLogger::sharedInstance());
    HVDDLog::addLogger(HVDDTTYLogger::sharedInstance());
    auto fileLogger = std::make_shared<HVDDFileLogger>();
    fileLogger->setRollingFrequency(60 * 60 * 24);
    fileLogger->logFileManager()->setMaximumNumberOfLogFiles(1);
    fileLogger->setMaximumFileSize(0x100000);
    HVDDLog::addLogger(fileLogger);
}

void HVLibrary::setLogLevel(int32_t level) {
    if (level < 0 || level >= kLevelCount) return;
    const uint32_t mask = kLevels[level].mask;
    logLevel_ = static_cast<int32_t>(mask);
    const uint32_t current = hvLogLevel.load();
    if (mask == current) return;
    if (current > mask) {
        // Said while the old level still lets it through.
        HVLogInfo("Log level set to '%s'", kLevels[level].name);
        hvLogLevel = mask;
    } else {
        hvLogLevel = mask;
        HVLogInfo("Log level set to '%s'", kLevels[level].name);
    }
}

int32_t HVLibrary::logLevel() const {
    const uint32_t mask = hvLogLevel.load();
    for (int32_t level = 1; level < kLevelCount; ++level)
        if (kLevels[level].mask == mask) return level;
    return 0;
}

std::string HVLibrary::getLogLevelString(int32_t level) const {
    if (level < 0 || level >= kLevelCount) return "Unknown";
    return kLevels[level].name;
}
