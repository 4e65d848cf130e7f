// A logger that keeps every message it receives, for tests that assert on log lines.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "vorasel/HVLog.h"

namespace hv::test {

class CaptureLogger : public HVDDAbstractLogger {
public:
    explicit CaptureLogger(std::string name = "hv.test.capture") : name_(std::move(name)) {}

    void logMessage(const HVDDLogMessage &message) override;
    std::string loggerName() override { return name_; }
    void flush() override;

    std::vector<std::string> lines() const;
    // True when some line contains `fragment`.
    bool contains(const std::string &fragment) const;
    size_t count(const std::string &fragment) const;
    size_t flushes() const;
    void clear();

private:
    const std::string name_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    size_t flushes_ = 0;
};

// Installs a capture logger and a level for one test, and removes it afterwards.
class ScopedCapture {
public:
    explicit ScopedCapture(uint32_t level = HVLogLevelVerbose);
    ~ScopedCapture();
    CaptureLogger &logger() { return *logger_; }

private:
    std::shared_ptr<CaptureLogger> logger_;
    uint32_t previousLevel_;
};

}  // namespace hv::test
