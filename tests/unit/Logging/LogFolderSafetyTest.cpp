// The log folder and files where other local users could reach them (a shared caches folder),
// and a file's creation time kept with it.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <future>
#include <string>

#include <gtest/gtest.h>

#include "LoggingTestSupport.h"

using hv::platform::Application;
using namespace std::chrono_literals;

namespace {

mode_t modeOf(const std::filesystem::path &path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

class LogFolderSafety : public hv::test::LogFilesFixture {
protected:
    // A world-writable, sticky folder like /tmp, used as the caches folder.
    std::filesystem::path shareCaches() {
        const auto shared = caches_ / "shared";
        std::filesystem::create_directories(shared);
        EXPECT_EQ(::chmod(shared.c_str(), 01777), 0);
        Application::shared().setCachesDirectory(shared.string());
        return shared;
    }
    std::filesystem::path privateFolder(const std::filesystem::path &shared) {
        return shared / ("vorasel-" + std::to_string(::geteuid()));
    }
};

TEST_F(LogFolderSafety, ASharedCachesFolderGetsAPrivateFolderAndFilesOnlyWeCanRead) {
    const auto shared = shareCaches();
    HVDDLogFileManagerDefault manager;
    const std::string path = manager.createNewLogFile();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path, (privateFolder(shared) / "Logs" / "HalvaneiOSLibrary.log").string());
    EXPECT_EQ(modeOf(privateFolder(shared)), 0700u);
    EXPECT_EQ(modeOf(path), 0600u);
    // Files in a caller's own folder are private too.
    Application::shared().setCachesDirectory(caches_.string());
    HVDDLogFileManagerDefault own;
    EXPECT_EQ(modeOf(own.createNewLogFile()), 0600u);
}

TEST_F(LogFolderSafety, AFolderPlantedInTheSharedFolderIsRefused) {
    const auto shared = shareCaches();
    const auto elsewhere = caches_ / "elsewhere";
    std::filesystem::create_directories(elsewhere);
    // A symlink where our private folder goes, then a folder that others may write into.
    std::filesystem::create_directory_symlink(elsewhere, privateFolder(shared));
    HVDDLogFileManagerDefault planted;
    EXPECT_EQ(planted.createNewLogFile(), "");
    EXPECT_TRUE(planted.unsortedLogFileInfos().empty());
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere));

    std::filesystem::remove(privateFolder(shared));
    std::filesystem::create_directory(privateFolder(shared));
    ASSERT_EQ(::chmod(privateFolder(shared).c_str(), 0777), 0);
    HVDDLogFileManagerDefault open;
    EXPECT_EQ(open.createNewLogFile(), "");
    EXPECT_FALSE(std::filesystem::exists(privateFolder(shared) / "Logs"));
    // Reported once, not once per attempt.
    const auto lines = console();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("Error creating logsDirectory"), std::string::npos) << lines[0];
}

TEST_F(LogFolderSafety, ASymlinkOrAFifoUnderTheLogFileNameIsNeverWrittenThrough) {
    std::filesystem::create_directories(logs());
    const auto victim = caches_ / "victim";
    { std::ofstream(victim) << "keep\n"; }
    std::filesystem::create_symlink(victim, logFile());
    auto logger = install();
    log("through the link");
    HVDDLog::flushLog();
    EXPECT_EQ(read(victim), "keep\n");

    HVDDLog::removeLogger(logger);
    std::filesystem::remove(logFile());
    ASSERT_EQ(::mkfifo(logFile().c_str(), 0600), 0);
    install();
    auto logging = std::async(std::launch::async, [] {
        log("into the fifo");
        HVDDLog::flushLog();
    });
    const bool returned = logging.wait_for(5s) == std::future_status::ready;
    if (!returned) {
        // Unblock the writer stuck in the open, so that the test ends.
        const int reader = ::open(logFile().c_str(), O_RDONLY | O_NONBLOCK);
        logging.wait();
        ::close(reader);
    }
    EXPECT_TRUE(returned) << "the logger blocked on a FIFO";
}

// Where the file system takes user attributes, the creation time is recorded with the file and
// is what its age counts from, whatever writes came since.
TEST_F(LogFolderSafety, TheRecordedCreationTimeRollsAnOldFileThatIsStillBeingWritten) {
    HVDDLogFileManagerDefault manager;
    const std::string path = manager.createNewLogFile();
    ASSERT_FALSE(path.empty());
    char value[32];
    if (::getxattr(path.c_str(), "user.hvdd.log.created", value, sizeof value) < 0 &&
        errno == ENOTSUP)
        GTEST_SKIP() << "this file system takes no user attributes";
    ASSERT_GT(::getxattr(path.c_str(), "user.hvdd.log.created", value, sizeof value), 0);

    const auto twoDaysAgo = std::chrono::system_clock::now() - 48h;
    const std::string old = std::to_string(
        std::chrono::duration_cast<std::chrono::nanoseconds>(twoDaysAgo.time_since_epoch())
            .count());
    ASSERT_EQ(::setxattr(path.c_str(), "user.hvdd.log.created", old.data(), old.size(), 0), 0);
    { std::ofstream(path, std::ios::app) << "a line written just now\n"; }
    HVDDLogFileInfo info(path);
    EXPECT_NEAR(info.age(), 48 * 3600.0, 60.0);

    // The logger finds it too old to take more lines.
    install();
    log("fresh");
    HVDDLog::flushLog();
    EXPECT_EQ(read(logFile()).find("fresh"), std::string::npos);
    EXPECT_TRUE(archived(logFile()));
    EXPECT_NE(read(logFile("HalvaneiOSLibrary 2.log")).find("  fresh\n"), std::string::npos);

    // A value that is not a time is no creation time: the file system's dates serve.
    const std::string junk = "yesterday";
    ASSERT_EQ(::setxattr(path.c_str(), "user.hvdd.log.created", junk.data(), junk.size(), 0), 0);
    HVDDLogFileInfo fallback(path);
    EXPECT_LT(fallback.age(), 3600.0);
}

// A file system that takes no user attributes still gets its log files, dated by what it has.
TEST_F(LogFolderSafety, FilesAreMadeWhereUserAttributesAreRefused) {
    const std::filesystem::path candidate = "/dev/shm";
    const auto probe = candidate / ("hv-xattr-probe-" + std::to_string(::getpid()));
    { std::ofstream(probe) << ""; }
    const bool refused = ::setxattr(probe.c_str(), "user.probe", "1", 1, 0) != 0;
    std::filesystem::remove(probe);
    if (!refused) GTEST_SKIP() << candidate << " takes user attributes: no refusing one here";
    const auto folder = candidate / ("hv-logs-" + std::to_string(::getpid()));
    HVDDLogFileManagerDefault manager(folder.string());
    const std::string path = manager.createNewLogFile();
    EXPECT_FALSE(path.empty());
    HVDDLogFileInfo info(path);
    EXPECT_LT(info.age(), 3600.0);
    std::filesystem::remove_all(folder);
}

}  // namespace
