#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Platform/Application.h"
#include "vorasel/HVDDASLLogger.h"
#include "vorasel/HVLog.h"

using hv::platform::Application;

namespace {

// The shared system-log logger installed, with the system log replaced by a recorder.
class SystemLogCapture {
public:
    SystemLogCapture() {
        Application::shared().setSystemLogHook([this](int priority, const std::string &text) {
            std::lock_guard lock(mutex_);
            lines_.emplace_back(priority, text);
        });
        HVDDLog::addLogger(HVDDASLLogger::sharedInstance());
    }
    ~SystemLogCapture() {
        HVDDLog::removeLogger(HVDDASLLogger::sharedInstance());
        HVDDLog::allLoggers();
        HVDDASLLogger::sharedInstance()->setLogFormatter(nullptr);
        HVDDASLLogger::sharedInstance()->flush();
        Application::shared().setSystemLogHook(nullptr);
    }
    std::vector<std::pair<int, std::string>> lines() {
        HVDDASLLogger::sharedInstance()->flush();
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    std::mutex mutex_;
    std::vector<std::pair<int, std::string>> lines_;
};

void logAt(uint32_t flag, const char *text) {
    HVDDLog::log(false, HVLogLevelVerbose, flag, 0, __FILE__, "test", 1, nullptr, "%s", text);
}

}  // namespace

TEST(SystemLogLogger, PriorityFollowsTheFlag) {
    SystemLogCapture capture;
    logAt(HVLogFlagError, "error");
    logAt(HVLogFlagWarn, "warn");
    logAt(HVLogFlagInfo, "info");
    logAt(HVLogFlagDebug, "debug");
    logAt(HVLogFlagVerbose, "verbose");
    const std::vector<std::pair<int, std::string>> expected{
        {1, "error"}, {2, "warn"}, {3, "info"}, {4, "debug"}, {5, "verbose"}};
    EXPECT_EQ(capture.lines(), expected);
    // A flag outside the five (which no level mask admits) would be a notice too.
    EXPECT_EQ(HVDDASLLogger::priorityForFlag(64), 5);
    EXPECT_EQ(HVDDASLLogger::priorityForFlag(HVLogFlagError | HVLogFlagWarn), 5);
}

TEST(SystemLogLogger, FormatterOutputIsWhatTheSystemLogGets) {
    struct Tagged : HVDDLogFormatter {
        bool formatLogMessage(const HVDDLogMessage &m, std::string &out) override {
            if (m.logMsg == "secret") return false;
            out = "lib: " + m.logMsg;
            return true;
        }
    };
    SystemLogCapture capture;
    HVDDASLLogger::sharedInstance()->setLogFormatter(std::make_shared<Tagged>());
    logAt(HVLogFlagInfo, "secret");
    logAt(HVLogFlagInfo, "shown");
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].second, "lib: shown");
}
