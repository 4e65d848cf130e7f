// HVLibrary installs process-wide loggers, so these tests have a binary of their own: the
// library object is created once, in a temporary caches directory, before any test runs.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CaptureLogger.h"
#include "Platform/Application.h"
#include "vorasel/HVDDASLLogger.h"
#include "vorasel/HVDDFileLogger.h"
#include "vorasel/HVDDTTYLogger.h"
#include "vorasel/HVLibrary.h"
#include "vorasel/HVLog.h"

using hv::platform::Application;
using hv::test::CaptureLogger;

namespace {

struct Creation {
    uint32_t levelBefore = 0;
    uint32_t levelAfter = 0;
    int32_t logLevelAfter = -1;
    std::vector<std::shared_ptr<HVDDLogger>> loggers;
};
Creation creation;

class LibraryEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        caches_ =
            std::filesystem::temp_directory_path() / ("hv-library-" + std::to_string(::getpid()));
        std::filesystem::create_directories(caches_);
        Application::shared().setCachesDirectory(caches_.string());
        Application::shared().setSystemLogHook([](int, const std::string &) {});
        hvLogLevel = HVLogLevelVerbose;  // whatever was set before, creation switches it off
        creation.levelBefore = hvLogLevel.load();
        HVLibrary &library = HVLibrary::sharedClass();
        creation.levelAfter = hvLogLevel.load();
        creation.logLevelAfter = library.logLevel();
        creation.loggers = HVDDLog::allLoggers();
        // The console logger's lines would bury the test output; they are checked elsewhere.
        struct Silent : HVDDLogFormatter {
            bool formatLogMessage(const HVDDLogMessage &, std::string &) override { return false; }
        };
        HVDDTTYLogger::sharedInstance()->setLogFormatter(std::make_shared<Silent>());
    }
    void TearDown() override {
        HVDDLog::flushLog();
        std::error_code ec;
        std::filesystem::remove_all(caches_, ec);
    }
    static std::filesystem::path caches() { return caches_; }

private:
    static inline std::filesystem::path caches_;
};

const auto *const environment = ::testing::AddGlobalTestEnvironment(new LibraryEnvironment);

// A capture logger beside the library's loggers, for one test; the level back to Off after.
class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override { HVDDLog::addLogger(capture_); }
    void TearDown() override {
        hvLogLevel = 0;
        HVDDLog::removeLogger(capture_);
        HVDDLog::allLoggers();
    }
    HVLibrary &library() { return HVLibrary::sharedClass(); }
    std::vector<std::string> lines() { return capture_->lines(); }
    std::shared_ptr<CaptureLogger> capture_ = std::make_shared<CaptureLogger>();
};

}  // namespace

TEST_F(LibraryTest, CreationInstallsTheThreeLoggersAndSwitchesLoggingOff) {
    EXPECT_EQ(creation.levelBefore, HVLogLevelVerbose);
    EXPECT_EQ(creation.levelAfter, 0u);
    EXPECT_EQ(creation.logLevelAfter, 0);
    ASSERT_EQ(creation.loggers.size(), 3u);
    EXPECT_EQ(creation.loggers[0], HVDDASLLogger::sharedInstance());
    EXPECT_EQ(creation.loggers[1], HVDDTTYLogger::sharedInstance());
    auto file = std::dynamic_pointer_cast<HVDDFileLogger>(creation.loggers[2]);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->maximumFileSize(), 0x100000u);
    EXPECT_EQ(file->rollingFrequency(), 86400.0);
    EXPECT_EQ(file->logFileManager()->maximumNumberOfLogFiles(), 1u);
    EXPECT_EQ(file->logFileManager()->logsDirectory(),
              (LibraryEnvironment::caches() / "Logs").string());
}

TEST_F(LibraryTest, VersionAndLevelNames) {
    EXPECT_EQ(library().version(), hv_library_version);
    EXPECT_EQ(library().version(), "HVVERSION_AD_HOC_XCODE_BUILD");
    const char *names[] = {"Off", "Error", "Warn", "Info", "Debug", "Verbose"};
    for (int32_t level = 0; level <= 5; ++level)
        EXPECT_EQ(library().getLogLevelString(level), names[level]);
    EXPECT_EQ(library().getLogLevelString(6), "Unknown");
    EXPECT_EQ(library().getLogLevelString(7), "Unknown");
    EXPECT_EQ(library().getLogLevelString(-1), "Unknown");
}

TEST_F(LibraryTest, LevelChangesAreLoggedWhileEitherLevelAdmitsInfo) {
    library().setLogLevel(0);
    library().setLogLevel(5);
    EXPECT_EQ(hvLogLevel.load(), HVLogLevelVerbose);
    EXPECT_EQ(library().logLevel(), 5);
    library().setLogLevel(1);  // said under the Verbose mask, before it is lowered
    EXPECT_EQ(hvLogLevel.load(), HVLogLevelError);
    HVLogInfo("not at Error level");
    HVLogError("an error");
    library().setLogLevel(2);  // neither Error nor Warn admits Info
    EXPECT_EQ(library().logLevel(), 2);
    const auto got = lines();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].rfind("HVInfo: ", 0), 0u);
    EXPECT_NE(got[0].find("] Log level set to 'Verbose'"), std::string::npos) << got[0];
    EXPECT_NE(got[1].find("] Log level set to 'Error'"), std::string::npos) << got[1];
    EXPECT_NE(got[2].find("] an error"), std::string::npos);
    library().setLogLevel(0);
}

TEST_F(LibraryTest, OutOfRangeLevelsChangeNothing) {
    library().setLogLevel(3);
    capture_->clear();
    for (int32_t level : {6, -1, 100, INT32_MIN})
        library().setLogLevel(level);
    EXPECT_EQ(library().logLevel(), 3);
    EXPECT_EQ(hvLogLevel.load(), HVLogLevelInfo);
    EXPECT_TRUE(lines().empty());
    library().setLogLevel(3);  // the same level again: nothing to report
    EXPECT_TRUE(lines().empty());
    library().setLogLevel(0);
    EXPECT_EQ(lines().size(), 1u) << "lowering from Info is reported";
}

TEST_F(LibraryTest, LogLevelReadsTheCurrentMask) {
    const std::pair<uint32_t, int32_t> cases[] = {{0, 0},  {1, 1},  {3, 2}, {7, 3},
                                                  {15, 4}, {31, 5}, {5, 0}, {0xFFFFFFFF, 0}};
    for (const auto &[mask, level] : cases) {
        hvLogLevel = mask;
        EXPECT_EQ(library().logLevel(), level) << mask;
    }
    hvLogLevel = 0;
}

TEST_F(LibraryTest, TheLibraryLogFileGetsTheLines) {
    library().setLogLevel(3);
    HVLogInfo("into the file");
    library().setLogLevel(0);
    HVDDLog::flushLog();
    std::ifstream in(LibraryEnvironment::caches() / "Logs" / "HalvaneiOSLibrary.log");
    const std::string content{std::istreambuf_iterator<char>(in), {}};
    EXPECT_NE(content.find("  HVInfo: "), std::string::npos);
    EXPECT_NE(content.find("] Log level set to 'Info'\n"), std::string::npos);
    EXPECT_NE(content.find("] into the file\n"), std::string::npos);
}

TEST_F(LibraryTest, LevelsChangeWhileOtherThreadsLog) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&] {
            int i = 0;
            while (!stop.load()) {
                HVLogError("error %d", i);
                HVLogVerbose("verbose %d", i++);
            }
        });
    // Keep changing levels until an error logged meanwhile has come through (a loaded machine
    // may not schedule the logging threads at once).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool errorSeen = false;
    for (int round = 0; round < 200 || (!errorSeen && std::chrono::steady_clock::now() < deadline);
         ++round) {
        library().setLogLevel(round % 6);
        if (round % 50 == 49) {
            HVDDLog::flushLog();
            errorSeen = capture_->count("] error ") > 0;
        }
    }
    stop = true;
    for (auto &thread : threads)
        thread.join();
    library().setLogLevel(0);
    HVDDLog::flushLog();
    EXPECT_EQ(library().logLevel(), 0);
    EXPECT_GT(capture_->count("] error "), 0u);
}
