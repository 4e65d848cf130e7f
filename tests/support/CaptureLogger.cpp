#include "CaptureLogger.h"

#include <algorithm>

namespace hv::test {

void CaptureLogger::logMessage(const HVDDLogMessage &message) {
    std::lock_guard lock(mutex_);
    lines_.push_back(message.logMsg);
}

void CaptureLogger::flush() {
    std::lock_guard lock(mutex_);
    ++flushes_;
}

std::vector<std::string> CaptureLogger::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

bool CaptureLogger::contains(const std::string &fragment) const {
    return count(fragment) > 0;
}

size_t CaptureLogger::count(const std::string &fragment) const {
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const auto &l) {
        return l.find(fragment) != std::string::npos;
    }));
}

size_t CaptureLogger::flushes() const {
    std::lock_guard lock(mutex_);
    return flushes_;
}

void CaptureLogger::clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}

ScopedCapture::ScopedCapture(uint32_t level)
    : logger_(std::make_shared<CaptureLogger>()), previousLevel_(hvLogLevel.load()) {
    HVDDLog::addLogger(logger_);
    hvLogLevel.store(level);
}

ScopedCapture::~ScopedCapture() {
    hvLogLevel.store(previousLevel_);
    HVDDLog::removeLogger(logger_);
    HVDDLog::allLoggers();  // waits for the removal to take effect
}

}  // namespace hv::test
