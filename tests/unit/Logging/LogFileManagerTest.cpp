#include <string>

#include <gtest/gtest.h>

#include "LoggingTestSupport.h"

using hv::platform::Application;

class LogFileManager : public hv::test::LogFilesFixture {};

TEST_F(LogFileManager, LogFilesAreTheFixedNameAndItsNumberedSiblings) {
    HVDDLogFileManagerDefault manager;
    for (const char *name : {"HalvaneiOSLibrary.log", "HalvaneiOSLibrary 2.log",
                             "HalvaneiOSLibrary 10.log", "HalvaneiOSLibrary 123456789.log"})
        EXPECT_TRUE(manager.isLogFile(name)) << name;
    for (const char *name :
         {"HalvaneiOSLibrary 1.log", "HalvaneiOSLibrary 0.log", "HalvaneiOSLibrary 02.log",
          "HalvaneiOSLibrary x.log", "HalvaneiOSLibrary .log", "HalvaneiOSLibrary 2.txt",
          "HalvaneiOSLibrary.log.bak", "halvaneioslibrary.log", "HalvaneiOSLibrary  2.log",
          "HalvaneiOSLibrary 1234567890.log", "Other.log", ""})
        EXPECT_FALSE(manager.isLogFile(name)) << name;
}

TEST_F(LogFileManager, NewFilesTakeTheFirstFreeNameInTheCachesLogsFolder) {
    HVDDLogFileManagerDefault manager;
    manager.setMaximumNumberOfLogFiles(0);
    EXPECT_EQ(manager.logsDirectory(), (caches_ / "Logs").string());
    EXPECT_EQ(manager.createNewLogFile(), logFile().string());
    EXPECT_EQ(manager.createNewLogFile(), logFile("HalvaneiOSLibrary 2.log").string());
    EXPECT_EQ(manager.createNewLogFile(), logFile("HalvaneiOSLibrary 3.log").string());
    std::filesystem::remove(logFile("HalvaneiOSLibrary 2.log"));
    EXPECT_EQ(manager.createNewLogFile(), logFile("HalvaneiOSLibrary 2.log").string());
    EXPECT_EQ(std::filesystem::file_size(logFile("HalvaneiOSLibrary 2.log")), 0u);
    EXPECT_EQ(manager.unsortedLogFileNames().size(), 3u);
}

TEST_F(LogFileManager, SortedNewestFirst) {
    HVDDLogFileManagerDefault manager;
    manager.setMaximumNumberOfLogFiles(0);
    const std::string first = manager.createNewLogFile();
    const std::string second = manager.createNewLogFile();
    const std::string third = manager.createNewLogFile();
    EXPECT_EQ(manager.sortedLogFilePaths(), (std::vector<std::string>{third, second, first}));
    EXPECT_EQ(manager.sortedLogFileNames().front(), "HalvaneiOSLibrary 3.log");
}

TEST_F(LogFileManager, DeletionKeepsTheCurrentFileAndTheNewestArchivedOnes) {
    HVDDLogFileManagerDefault manager;
    manager.setMaximumNumberOfLogFiles(0);
    std::vector<std::string> paths;
    for (int i = 0; i < 5; ++i) {
        paths.push_back(manager.createNewLogFile());
        if (i < 4) HVDDLogFileInfo(paths.back()).setIsArchived(true);
    }
    manager.setMaximumNumberOfLogFiles(2);
    HVDDLog::allLoggers();  // the deletion is queued on the global logging queue
    EXPECT_EQ(manager.sortedLogFilePaths(),
              (std::vector<std::string>{paths[4], paths[3], paths[2]}));

    // With the newest archived too, nothing is the current file.
    HVDDLogFileInfo(paths[4]).setIsArchived(true);
    manager.deleteOldLogFiles();
    EXPECT_EQ(manager.sortedLogFilePaths(), (std::vector<std::string>{paths[4], paths[3]}));
}

TEST_F(LogFileManager, FileInfoKeepsAttributesUntilReset) {
    HVDDLogFileManagerDefault manager;
    HVDDLogFileInfo info(manager.createNewLogFile());
    EXPECT_EQ(info.fileName(), "HalvaneiOSLibrary.log");
    EXPECT_EQ(info.fileSize(), 0u);
    EXPECT_GE(info.age(), 0.0);
    EXPECT_LE(info.creationDate(), info.modificationDate());
    { std::ofstream(info.filePath(), std::ios::app) << "12345"; }
    EXPECT_EQ(info.fileSize(), 0u) << "kept until reset";
    info.reset();
    EXPECT_EQ(info.fileSize(), 5u);

    EXPECT_FALSE(info.isArchived());
    info.setIsArchived(true);
    EXPECT_TRUE(info.isArchived());
    info.setIsArchived(false);
    EXPECT_FALSE(info.isArchived());
    EXPECT_TRUE(console().empty());

    info.renameFile("HalvaneiOSLibrary 7.log");
    EXPECT_EQ(info.filePath(), logFile("HalvaneiOSLibrary 7.log").string());
    EXPECT_EQ(info.fileSize(), 5u);
}

TEST_F(LogFileManager, AttributeAndRenameFailuresAreReportedOnTheConsole) {
    HVDDLogFileInfo missing((caches_ / "gone.log").string());
    missing.setIsArchived(true);
    missing.setIsArchived(false);
    missing.renameFile("elsewhere.log");
    const auto lines = console();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0],
              "HVDDLogFileInfo: setxattr(gone.log, hvdd.log.archived): error = No such "
              "file or directory");
    EXPECT_EQ(lines[1],
              "HVDDLogFileInfo: removexattr(gone.log, hvdd.log.archived): error = No "
              "such file or directory");
    EXPECT_EQ(lines[2],
              "HVDDLogFileInfo: Error renaming file (gone.log): No such file or "
              "directory");
    EXPECT_EQ(missing.fileName(), "gone.log");
}
