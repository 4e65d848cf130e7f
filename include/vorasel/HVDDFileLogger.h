// The rolling file logger and its parts: the file manager that names, lists and deletes log
// files, the default line formatter, and the information kept about one log file.
//
// Files: "HalvaneiOSLibrary.log" in the caches directory's "Logs" folder, then
// "HalvaneiOSLibrary 2.log", "HalvaneiOSLibrary 3.log", ... for each new file while the earlier
// names exist. A file that is done with ("archived") carries the extended attribute
// "hvdd.log.archived" (user.hvdd.log.archived on Linux) and is never written again. The current
// file is rolled (archived and closed, the next message opening a new one) when it reaches
// maximumFileSize, when it reaches rollingFrequency in age (a timer, even with no messages),
// and at once when it is deleted or renamed. After a new file is made, the oldest archived
// files beyond maximumNumberOfLogFiles are deleted.
//
// Each line is "YYYY/MM/DD HH:MM:SS:mmm  <message>" (local time) and a newline.
//
// Thread rules: a log statement only formats the line; the write, the rolling and every file
// operation run on the library's log writer thread, so a slow or failing disk holds a log
// statement only once a thousand writes are pending. The settings may be read and changed from
// any thread except a logger's queue, the global logging queue and the writer thread; they take
// effect between two messages. flush() (and HVDDLog::flushLog()) waits until every line logged
// before it is on disk. Write errors never reach the caller: the first ten are reported on the
// console.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vorasel/HVLog.h"
#include "vorasel/hv_export.h"

namespace hv::logging {
struct FileLoggerState;
}

// What is known about one log file. Attributes are read once and kept until reset(). Not
// thread-safe: use one object from one thread at a time.
class HV_EXPORT HVDDLogFileInfo {
public:
    explicit HVDDLogFileInfo(std::string filePath);

    const std::string &filePath() const { return filePath_; }
    const std::string &fileName() const { return fileName_; }
    // The birth time where the file system keeps it, else the modification time.
    std::chrono::system_clock::time_point creationDate();
    std::chrono::system_clock::time_point modificationDate();
    uint64_t fileSize();
    // Seconds since creation.
    double age();

    bool isArchived();
    void setIsArchived(bool archived);

    bool hasExtendedAttributeWithName(const std::string &name);
    void addExtendedAttributeWithName(const std::string &name);
    void removeExtendedAttributeWithName(const std::string &name);

    // Renames the file within its folder.
    void renameFile(const std::string &newFileName);
    // Forgets the attributes read so far.
    void reset();

private:
    void loadAttributes();

    std::string filePath_;
    std::string fileName_;
    bool loaded_ = false;
    std::chrono::system_clock::time_point creationDate_{};
    std::chrono::system_clock::time_point modificationDate_{};
    uint64_t fileSize_ = 0;
};

// Names, lists, creates and deletes log files for a file logger.
class HV_EXPORT HVDDLogFileManager {
public:
    virtual ~HVDDLogFileManager();

    // 0 keeps every file.
    virtual uint64_t maximumNumberOfLogFiles() const = 0;
    virtual void setMaximumNumberOfLogFiles(uint64_t count) = 0;

    virtual std::string logsDirectory() = 0;
    virtual std::vector<std::shared_ptr<HVDDLogFileInfo>> unsortedLogFileInfos() = 0;
    // Newest first (by creation date).
    virtual std::vector<std::shared_ptr<HVDDLogFileInfo>> sortedLogFileInfos();
    // The path of a new, empty log file, or an empty text when none could be made.
    virtual std::string createNewLogFile() = 0;

    // Told when the logger archived a file it found unfit to reuse, and when it rolled its
    // current file.
    virtual void didArchiveLogFile(const std::string &logFilePath);
    virtual void didRollAndArchiveLogFile(const std::string &logFilePath);

    std::vector<std::string> unsortedLogFilePaths();
    std::vector<std::string> unsortedLogFileNames();
    std::vector<std::string> sortedLogFilePaths();
    std::vector<std::string> sortedLogFileNames();
};

class HV_EXPORT HVDDLogFileManagerDefault : public HVDDLogFileManager {
public:
    static constexpr const char *kLogFileName = "HalvaneiOSLibrary.log";

    // The caches directory's "Logs" folder, as the application has it now.
    HVDDLogFileManagerDefault();
    explicit HVDDLogFileManagerDefault(std::string logsDirectory);

    // Default 5. Changing it deletes files beyond the new count (on the global logging queue).
    uint64_t maximumNumberOfLogFiles() const override;
    void setMaximumNumberOfLogFiles(uint64_t count) override;

    // Created, with its parents, when missing; a failure is reported once on the console.
    std::string logsDirectory() override;
    std::vector<std::shared_ptr<HVDDLogFileInfo>> unsortedLogFileInfos() override;
    // Created empty under the first free name, with the protection class the application's
    // background modes call for; then deleteOldLogFiles().
    std::string createNewLogFile() override;

    // "HalvaneiOSLibrary.log" and "HalvaneiOSLibrary <n>.log" for n >= 2.
    bool isLogFile(const std::string &fileName) const;
    // Keeps the current (newest, unarchived) file and the newest maximumNumberOfLogFiles of the
    // others.
    void deleteOldLogFiles();

private:
    std::atomic<uint64_t> maximumNumberOfLogFiles_{5};
    std::atomic<bool> creationFailureReported_{false};
    const std::string logsDirectory_;
};

// "YYYY/MM/DD HH:MM:SS:mmm  <message>" in the local time zone.
class HV_EXPORT HVDDLogFileFormatterDefault : public HVDDLogFormatter {
public:
    bool formatLogMessage(const HVDDLogMessage &message, std::string &out) override;
};

class HV_EXPORT HVDDFileLogger : public HVDDAbstractLogger {
public:
    // With an HVDDLogFileManagerDefault.
    HVDDFileLogger();
    explicit HVDDFileLogger(std::shared_ptr<HVDDLogFileManager> logFileManager);
    ~HVDDFileLogger() override;
    HVDDFileLogger(const HVDDFileLogger &) = delete;
    HVDDFileLogger &operator=(const HVDDFileLogger &) = delete;

    void logMessage(const HVDDLogMessage &message) override;
    std::string loggerName() override;
    // Waits until every line logged so far is written and synchronised to disk.
    void flush() override;

    // Bytes; 0 means no limit. Default 1,048,576.
    uint64_t maximumFileSize();
    void setMaximumFileSize(uint64_t bytes);
    // Seconds; 0 or less means no limit. Default 86,400 (24 hours).
    double rollingFrequency();
    void setRollingFrequency(double seconds);

    std::shared_ptr<HVDDLogFileManager> logFileManager() const;

    // Archives the current file now (after the lines logged before); the next message opens a
    // new file. The completion runs on the writer thread when done and must not log.
    void rollLogFile();
    void rollLogFileWithCompletionBlock(std::function<void()> completion);

    // The file the next line goes to (opening or making it when none is open), or null when no
    // file could be opened.
    std::shared_ptr<HVDDLogFileInfo> currentLogFileInfo();

private:
    std::shared_ptr<HVDDLogFileManager> logFileManager_;
    std::unique_ptr<hv::logging::FileLoggerState> state_;
};
