#include <atomic>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "LoggingTestSupport.h"
#include "Platform/Semaphore.h"
#include "Wait.h"
#include "vorasel/HVDDTTYLogger.h"

using hv::platform::Application;
using namespace std::chrono_literals;

namespace {

// The default manager, counting the rolls the logger reports.
class CountingManager : public HVDDLogFileManagerDefault {
public:
    using HVDDLogFileManagerDefault::HVDDLogFileManagerDefault;
    void didRollAndArchiveLogFile(const std::string &path) override {
        rolled = path;
        ++rolls;
    }
    std::atomic<int> rolls{0};
    std::string rolled;  // read after `rolls` is seen
};

// Every file it makes is /dev/full, a device: each open is refused, as a log file must be a
// regular file.
class FullDiskManager : public HVDDLogFileManager {
public:
    uint64_t maximumNumberOfLogFiles() const override { return 0; }
    void setMaximumNumberOfLogFiles(uint64_t) override {}
    std::string logsDirectory() override { return "/dev"; }
    std::vector<std::shared_ptr<HVDDLogFileInfo>> unsortedLogFileInfos() override { return {}; }
    std::string createNewLogFile() override { return "/dev/full"; }
};

}  // namespace

class FileLogger : public hv::test::LogFilesFixture {};

TEST_F(FileLogger, WritesTimestampedLinesToTheFixedNameInTheCachesLogsFolder) {
    auto logger = install();
    EXPECT_EQ(logger->maximumFileSize(), 1048576u);
    EXPECT_EQ(logger->rollingFrequency(), 86400.0);
    EXPECT_EQ(logger->logFileManager()->maximumNumberOfLogFiles(), 5u);
    log("HVInfo: f [Line 1] first");
    log("second\n");
    HVDDLog::flushLog();
    EXPECT_EQ(names(), std::vector<std::string>{"HalvaneiOSLibrary.log"});
    const std::regex lines(
        "\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3}  HVInfo: f \\[Line 1\\] first\n"
        "\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3}  second\n");
    const std::string content = read(logFile());
    EXPECT_TRUE(std::regex_match(content, lines)) << content;
    EXPECT_EQ(Application::fileProtection(logFile()),
              Application::FileProtectionCompleteUnlessOpen);
    EXPECT_FALSE(archived(logFile()));
    const auto current = logger->currentLogFileInfo();
    ASSERT_NE(current, nullptr);
    EXPECT_EQ(current->filePath(), logFile().string());
    EXPECT_EQ(current->fileSize(), content.size());
}

TEST_F(FileLogger, RollsWhenTheFileReachesTheMaximumSize) {
    auto logger = install();
    logger->setLogFormatter(nullptr);  // lines of exactly 1,024 bytes
    const std::string line(1023, 'x');
    for (int i = 0; i < 1023; ++i)
        log(line);
    HVDDLog::flushLog();
    EXPECT_EQ(std::filesystem::file_size(logFile()), 1047552u);
    EXPECT_FALSE(archived(logFile())) << "one line short of 1,048,576 bytes";
    log(line);
    HVDDLog::flushLog();
    EXPECT_EQ(std::filesystem::file_size(logFile()), 1048576u);
    EXPECT_TRUE(archived(logFile()));
    log("next");
    HVDDLog::flushLog();
    EXPECT_EQ(read(logFile("HalvaneiOSLibrary 2.log")), "next\n");
    EXPECT_EQ(std::filesystem::file_size(logFile()), 1048576u);
}

TEST_F(FileLogger, LoweringTheMaximumSizeRollsAtOnce) {
    auto logger = install();
    log("some text");
    HVDDLog::flushLog();
    logger->setMaximumFileSize(10);
    EXPECT_TRUE(archived(logFile()));
}

TEST_F(FileLogger, AnArchivedFileSendsTheNextMessageToNumberTwo) {
    std::filesystem::create_directories(logs());
    { std::ofstream(logFile()) << "old\n"; }
    ASSERT_TRUE(Application::setExtendedAttribute(logFile(), "hvdd.log.archived", ""));
    install();
    log("new");
    HVDDLog::flushLog();
    EXPECT_EQ(names(),
              (std::vector<std::string>{"HalvaneiOSLibrary 2.log", "HalvaneiOSLibrary.log"}));
    EXPECT_EQ(read(logFile()), "old\n");
    EXPECT_NE(read(logFile("HalvaneiOSLibrary 2.log")).find("  new\n"), std::string::npos);
}

TEST_F(FileLogger, TheNewestUnarchivedFileIsReused) {
    std::filesystem::create_directories(logs());
    { std::ofstream(logFile()) << "earlier run\n"; }
    install();
    log("appended");
    HVDDLog::flushLog();
    EXPECT_EQ(names(), std::vector<std::string>{"HalvaneiOSLibrary.log"});
    EXPECT_EQ(read(logFile()).rfind("earlier run\n", 0), 0u);
    EXPECT_NE(read(logFile()).find("  appended\n"), std::string::npos);
}

TEST_F(FileLogger, WithABackgroundModeOnlyFilesReadableWhileLockedAreReused) {
    Application::shared().setInfoList(Application::BackgroundModesKey, {"external-accessory"});
    std::filesystem::create_directories(logs());
    { std::ofstream(logFile()) << "locked away\n"; }
    Application::setFileProtection(logFile(), Application::FileProtectionCompleteUnlessOpen);
    install();
    log("fresh");
    HVDDLog::flushLog();
    EXPECT_TRUE(archived(logFile()));
    EXPECT_EQ(read(logFile()), "locked away\n");
    EXPECT_EQ(Application::fileProtection(logFile("HalvaneiOSLibrary 2.log")),
              Application::FileProtectionCompleteUntilFirstUserAuthentication);
}

TEST_F(FileLogger, OldFilesAreDeletedDownToMaximumNumberOfLogFiles) {
    auto manager = std::make_shared<CountingManager>();
    manager->setMaximumNumberOfLogFiles(1);
    auto logger = install(manager);
    std::filesystem::create_directories(logs());
    { std::ofstream(logs() / "notes.txt") << "not a log file\n"; }
    for (int i = 1; i <= 4; ++i) {
        log("file " + std::to_string(i));
        logger->rollLogFile();
    }
    log("current");
    HVDDLog::flushLog();
    EXPECT_EQ(manager->rolls.load(), 4);
    // The current file, the newest archived one, and what is not a log file.
    const auto sorted = manager->sortedLogFileInfos();
    ASSERT_EQ(sorted.size(), 2u);
    EXPECT_FALSE(sorted[0]->isArchived());
    EXPECT_NE(read(sorted[0]->filePath()).find("  current\n"), std::string::npos);
    EXPECT_TRUE(sorted[1]->isArchived());
    EXPECT_NE(read(sorted[1]->filePath()).find("  file 4\n"), std::string::npos);
    EXPECT_EQ(read(logs() / "notes.txt"), "not a log file\n");
    EXPECT_EQ(names().size(), 3u);
}

TEST_F(FileLogger, ChangingMaximumNumberOfLogFilesDeletesAtOnce) {
    auto logger = install();
    for (int i = 0; i < 4; ++i) {
        log("file " + std::to_string(i));
        logger->rollLogFile();
    }
    HVDDLog::flushLog();
    ASSERT_EQ(names().size(), 4u);
    logger->logFileManager()->setMaximumNumberOfLogFiles(2);
    HVDDLog::allLoggers();  // the deletion runs on the global logging queue, before this
    EXPECT_EQ(names().size(), 2u);
}

TEST_F(FileLogger, RollsByAgeWithoutFurtherMessages) {
    auto manager = std::make_shared<CountingManager>();
    auto logger = install(manager);
    logger->setRollingFrequency(0.3);
    log("young");
    HVDDLog::flushLog();
    ASSERT_TRUE(hv::test::waitUntil([&] { return manager->rolls.load() == 1; }));
    EXPECT_TRUE(archived(logFile()));
    log("after the roll");
    HVDDLog::flushLog();
    EXPECT_NE(read(logFile("HalvaneiOSLibrary 2.log")).find("  after the roll\n"),
              std::string::npos);
}

TEST_F(FileLogger, AFileOlderThanTheRollingFrequencyIsNotReused) {
    std::filesystem::create_directories(logs());
    { std::ofstream(logFile()) << "yesterday\n"; }
    auto logger = install();
    logger->setRollingFrequency(0.05);
    HVDDLogFileInfo old(logFile().string());
    ASSERT_TRUE(hv::test::waitUntil([&] { return old.age() >= 0.1; }));
    log("today");
    HVDDLog::flushLog();
    EXPECT_TRUE(archived(logFile()));
    EXPECT_EQ(read(logFile()), "yesterday\n");
}

TEST_F(FileLogger, AFileDeletedUnderTheLoggerIsRolledAtOnce) {
    auto manager = std::make_shared<CountingManager>();
    install(manager);
    log("before");
    HVDDLog::flushLog();
    ASSERT_TRUE(std::filesystem::remove(logFile()));
    ASSERT_TRUE(hv::test::waitUntil([&] { return manager->rolls.load() == 1; }));
    log("after");
    HVDDLog::flushLog();
    const std::string content = read(logFile());
    EXPECT_NE(content.find("  after\n"), std::string::npos);
    EXPECT_EQ(content.find("before"), std::string::npos);
}

TEST_F(FileLogger, AFileRenamedUnderTheLoggerIsRolledAndMarkedArchived) {
    auto manager = std::make_shared<CountingManager>();
    install(manager);
    log("before");
    HVDDLog::flushLog();
    std::filesystem::rename(logFile(), logs() / "moved.log");
    ASSERT_TRUE(hv::test::waitUntil([&] { return manager->rolls.load() == 1; }));
    EXPECT_TRUE(archived(logs() / "moved.log"));
    log("after");
    HVDDLog::flushLog();
    EXPECT_NE(read(logFile()).find("  after\n"), std::string::npos);
    EXPECT_EQ(read(logs() / "moved.log").find("after"), std::string::npos);
    EXPECT_TRUE(console().empty()) << console().front();
}

TEST_F(FileLogger, OpenAndWriteErrorsAreReportedTenTimesAndNeverReachTheCaller) {
    install(std::make_shared<FullDiskManager>());
    for (int i = 0; i < 25; ++i)
        log("lost line");
    HVDDLog::flushLog();
    const auto lines = console();
    ASSERT_EQ(lines.size(), 11u);
    for (size_t i = 0; i < 10; ++i)
        EXPECT_EQ(lines[i], "HVDDFileLogger.logMessage: not a regular file: /dev/full");
    EXPECT_EQ(lines[10],
              "HVDDFileLogger.logMessage: Too many exceptions -- will not log any more of them.");
}

TEST_F(FileLogger, AnUnusableCachesDirectoryIsReported) {
    std::filesystem::remove_all(caches_);
    { std::ofstream(caches_) << "a file where the folder should be\n"; }
    install();
    log("nowhere to go");
    log("still nowhere");
    HVDDLog::flushLog();
    const auto lines = console();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].rfind("HVDDFileLogManagerDefault: Error creating logsDirectory: ", 0), 0u)
        << lines[0];
    EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                           [](const std::string &l) {
                               return l.rfind(
                                          "HVDDFileLogger.logMessage: no log file could be "
                                          "created in ",
                                          0) == 0;
                           }),
              lines.end());
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string &l) {
                                return l.find("Error creating logsDirectory") != std::string::npos;
                            }),
              1)
        << "reported once, not once per message";
}

// A log statement returns with its line in the file already, unflushed: nothing is left
// queued for a writer that a dying process would never run.
TEST_F(FileLogger, EachLineIsInTheFileWhenItsLogStatementReturns) {
    install();
    for (int i = 0; i < 50; ++i) {
        const std::string text = "line " + std::to_string(i);
        log(text);
        ASSERT_NE(read(logFile()).find("  " + text + "\n"), std::string::npos) << i;
    }
}

// A program that logs and then dies at once (abort, _exit) still leaves its lines on the
// console and in the file.
TEST_F(FileLogger, LinesLoggedJustBeforeTheProcessDiesAreOnStderrAndInTheFile) {
    // The child runs this test afresh: it is told where the parent looks for the file (and
    // keeps what it was told when it comes by here).
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ::setenv("HV_TEST_DYING_CACHES", caches_.c_str(), 0);
    auto logTheDying = [](int from) {
        Application::shared().setCachesDirectory(std::getenv("HV_TEST_DYING_CACHES"));
        HVDDLog::addLogger(std::make_shared<HVDDTTYLogger>(STDERR_FILENO, nullptr, nullptr));
        HVDDLog::addLogger(std::make_shared<HVDDFileLogger>());
        for (int i = from; i < from + 5; ++i)
            HVDDLog::log(false, HVLogLevelVerbose, HVLogFlagError, 0, __FILE__, "test", 1, nullptr,
                         "dying line %d", i);
    };
    EXPECT_DEATH(
        {
            logTheDying(1);
            std::abort();
        },
        "dying line 1.*dying line 5");
    std::string content = read(logFile());
    for (int i = 1; i <= 5; ++i)
        EXPECT_NE(content.find("dying line " + std::to_string(i) + "\n"), std::string::npos) << i;

    std::filesystem::remove(logFile());
    EXPECT_EXIT(
        {
            logTheDying(6);
            ::_exit(3);
        },
        ::testing::ExitedWithCode(3), "dying line 6.*dying line 10");
    content = read(logFile());
    for (int i = 6; i <= 10; ++i)
        EXPECT_NE(content.find("dying line " + std::to_string(i) + "\n"), std::string::npos) << i;
    ::unsetenv("HV_TEST_DYING_CACHES");
}

TEST_F(FileLogger, RollWithCompletionAndConcurrentLogging) {
    auto manager = std::make_shared<CountingManager>();
    manager->setMaximumNumberOfLogFiles(0);  // keep every file
    auto logger = install(manager);
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 300; ++i)
                log("t" + std::to_string(t) + "-" + std::to_string(i));
        });
    std::atomic<bool> completed{false};
    logger->rollLogFileWithCompletionBlock([&] { completed = true; });
    logger->setMaximumFileSize(4096);
    for (auto &thread : threads)
        thread.join();
    HVDDLog::flushLog();
    EXPECT_TRUE(completed.load());
    // Every line is somewhere, once.
    std::string all;
    for (const auto &info : manager->sortedLogFileInfos())
        all += read(info->filePath());
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 900);
    EXPECT_NE(all.find("  t2-299\n"), std::string::npos);
    EXPECT_GE(manager->rolls.load(), 2);
}
