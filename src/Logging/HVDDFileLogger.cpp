#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Logging/LogFileWatch.h"
#include "Logging/LogWriter.h"
#include "Platform/Application.h"
#include "vorasel/HVDDFileLogger.h"
#include "vorasel/SerialQueue.h"

using hv::logging::LogFileWatch;
using hv::logging::LogWriter;
using hv::platform::Application;

namespace {

constexpr uint64_t kDefaultMaximumFileSize = 1024 * 1024;
constexpr double kDefaultRollingFrequency = 60 * 60 * 24;
constexpr int kReportedWriteErrors = 10;

}  // namespace

namespace hv::logging {

// Everything here but `manager` is touched only under the log writer's lock.
struct FileLoggerState {
    explicit FileLoggerState(std::shared_ptr<HVDDLogFileManager> m) : manager(std::move(m)) {}

    const std::shared_ptr<HVDDLogFileManager> manager;
    uint64_t maximumFileSize = kDefaultMaximumFileSize;
    double rollingFrequency = kDefaultRollingFrequency;

    int fd = -1;
    uint64_t offset = 0;  // bytes in the current file
    std::shared_ptr<HVDDLogFileInfo> info;
    std::unique_ptr<LogFileWatch> watch;
    int writeErrors = 0;
    bool closing = false;

    void reportWriteError(const std::string &what) {
        if (writeErrors >= kReportedWriteErrors) return;
        ++writeErrors;
        Application &app = Application::shared();
        app.consoleLog("HVDDFileLogger.logMessage: " + what);
        if (writeErrors == kReportedWriteErrors)
            app.consoleLog(
                "HVDDFileLogger.logMessage: Too many exceptions -- will not log any more of "
                "them.");
    }

    // The newest log file if it may take more lines, else a new one.
    std::shared_ptr<HVDDLogFileInfo> chooseFile() {
        auto infos = manager->sortedLogFileInfos();
        if (!infos.empty()) {
            const auto &newest = infos.front();
            if (!newest->isArchived()) {
                const bool full = maximumFileSize > 0 && newest->fileSize() >= maximumFileSize;
                const bool old = rollingFrequency > 0 && newest->age() >= rollingFrequency;
                const bool wrongProtection =
                    Application::shared().declaresBackgroundMode() &&
                    Application::fileProtection(newest->filePath()) !=
                        Application::FileProtectionCompleteUntilFirstUserAuthentication;
                if (!full && !old && !wrongProtection) return newest;
                newest->setIsArchived(true);
                manager->didArchiveLogFile(newest->filePath());
            }
        }
        const std::string path = manager->createNewLogFile();
        if (path.empty()) {
            reportWriteError("no log file could be created in " + manager->logsDirectory());
            return nullptr;
        }
        return std::make_shared<HVDDLogFileInfo>(path);
    }

    bool open() {
        // A file moved or deleted before its watch was in place is rolled, and another chosen.
        for (int attempt = 0; attempt < 3 && fd < 0 && !closing; ++attempt) {
            if (!openChosenFile()) break;
            if (fileWasMovedOrDeleted()) rollNow();
        }
        if (fd < 0) return false;
        scheduleAgeDeadline();
        return true;
    }

    bool openChosenFile() {
        auto chosen = chooseFile();
        if (!chosen) return false;
        // A symlink or a FIFO planted under the name is refused, never written through (and a
        // FIFO with no reader does not block the open).
        const int opened = ::open(chosen->filePath().c_str(),
                                  O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (opened < 0) {
            reportWriteError("cannot open " + chosen->filePath() + ": " + std::strerror(errno));
            return false;
        }
        struct stat st;
        if (::fstat(opened, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(opened);
            reportWriteError("not a regular file: " + chosen->filePath());
            return false;
        }
        ::fcntl(opened, F_SETFL, O_APPEND);  // writes block again
        offset = static_cast<uint64_t>(st.st_size);
        fd = opened;
        info = std::move(chosen);
        if (!watch)
            watch = std::make_unique<LogFileWatch>([this](LogFileWatch::Event event) {
                LogWriter::shared().submit([this, event] {
                    if (event == LogFileWatch::Event::FileChanged) {
                        if (fileWasMovedOrDeleted()) rollNow();
                    } else {
                        maybeRollDueToAge();
                    }
                });
            });
        watch->watch(info->filePath());
        return true;
    }

    bool fileWasMovedOrDeleted() const {
        if (fd < 0) return false;
        struct stat opened;
        struct stat named;
        if (::fstat(fd, &opened) != 0 || opened.st_nlink == 0) return true;
        if (::stat(info->filePath().c_str(), &named) != 0) return true;
        return named.st_ino != opened.st_ino || named.st_dev != opened.st_dev;
    }

    void scheduleAgeDeadline() {
        if (!watch) return;
        if (fd >= 0 && rollingFrequency > 0) {
            const auto frequency = std::chrono::duration_cast<std::chrono::system_clock::duration>(
                std::chrono::duration<double>(rollingFrequency));
            watch->setDeadline(info->creationDate() + frequency);
        } else {
            watch->setDeadline(std::nullopt);
        }
    }

    void write(const std::string &line) {
        if (!open()) return;
        const char *p = line.data();
        size_t left = line.size();
        while (left > 0) {
            const ssize_t n = ::write(fd, p, left);
            if (n < 0) {
                if (errno == EINTR) continue;
                reportWriteError("write to " + info->filePath() + ": " + std::strerror(errno));
                break;
            }
            p += n;
            left -= static_cast<size_t>(n);
            offset += static_cast<uint64_t>(n);
        }
        maybeRollDueToSize();
    }

    void maybeRollDueToSize() {
        if (fd >= 0 && maximumFileSize > 0 && offset >= maximumFileSize) rollNow();
    }

    void maybeRollDueToAge() {
        if (fd < 0) return;
        if (rollingFrequency > 0 && info->age() >= rollingFrequency)
            rollNow();
        else
            scheduleAgeDeadline();
    }

    void rollNow() {
        if (fd < 0) {
            info.reset();
            return;
        }
        ::fsync(fd);
        // Through the descriptor: the file may have been renamed or deleted.
        std::string error;
        if (!Application::setExtendedAttribute(fd, "hvdd.log.archived", "", &error))
            Application::shared().consoleLog("HVDDLogFileInfo: setxattr(" + info->fileName() +
                                             ", hvdd.log.archived): error = " + error);
        ::close(fd);
        fd = -1;
        manager->didRollAndArchiveLogFile(info->filePath());
        info.reset();
        if (watch) {
            watch->unwatch();
            watch->setDeadline(std::nullopt);
        }
    }
};

}  // namespace hv::logging

using hv::logging::FileLoggerState;

namespace {

// Settings are read and changed on the writer, reached through the global logging queue, so
// they take effect between two messages.
void onWriter(FileLoggerState &state, const std::function<void(FileLoggerState &)> &work) {
    HVDDLog::loggingQueue().sync([&] { LogWriter::shared().sync([&] { work(state); }); });
}

}  // namespace

HVDDFileLogger::HVDDFileLogger() : HVDDFileLogger(std::make_shared<HVDDLogFileManagerDefault>()) {}

HVDDFileLogger::HVDDFileLogger(std::shared_ptr<HVDDLogFileManager> logFileManager)
    : logFileManager_(logFileManager ? std::move(logFileManager)
                                     : std::make_shared<HVDDLogFileManagerDefault>()),
      state_(std::make_unique<FileLoggerState>(logFileManager_)) {
    formatter_ = std::make_shared<HVDDLogFileFormatterDefault>();
}

HVDDFileLogger::~HVDDFileLogger() {
    LogWriter &writer = LogWriter::shared();
    std::unique_ptr<LogFileWatch> watch;
    writer.sync([&] {
        state_->closing = true;
        watch = std::move(state_->watch);
    });
    // Stops the watch thread; an event it was reporting may still queue a check, which runs
    // before the close below.
    watch.reset();
    writer.sync([&] {
        if (state_->fd >= 0) ::close(state_->fd);
        state_->fd = -1;
    });
}

std::string HVDDFileLogger::loggerName() {
    return "hv.logging.file";
}

void HVDDFileLogger::logMessage(const HVDDLogMessage &message) {
    std::string line;
    if (formatter_) {
        if (!formatter_->formatLogMessage(message, line)) return;
    } else {
        line = message.logMsg;
    }
    if (line.empty() || line.back() != '\n') line.push_back('\n');
    // Written before the log call returns (not necessarily synced): a line logged just before
    // the program dies is in the file.
    FileLoggerState *d = state_.get();
    LogWriter::shared().sync([d, &line] { d->write(line); });
}

void HVDDFileLogger::flush() {
    LogWriter::shared().sync([d = state_.get()] {
        if (d->fd >= 0) ::fsync(d->fd);
    });
}

uint64_t HVDDFileLogger::maximumFileSize() {
    uint64_t value = 0;
    onWriter(*state_, [&](FileLoggerState &d) { value = d.maximumFileSize; });
    return value;
}

void HVDDFileLogger::setMaximumFileSize(uint64_t bytes) {
    onWriter(*state_, [&](FileLoggerState &d) {
        d.maximumFileSize = bytes;
        d.maybeRollDueToSize();
    });
}

double HVDDFileLogger::rollingFrequency() {
    double value = 0;
    onWriter(*state_, [&](FileLoggerState &d) { value = d.rollingFrequency; });
    return value;
}

void HVDDFileLogger::setRollingFrequency(double seconds) {
    onWriter(*state_, [&](FileLoggerState &d) {
        d.rollingFrequency = seconds;
        d.maybeRollDueToAge();
    });
}

std::shared_ptr<HVDDLogFileManager> HVDDFileLogger::logFileManager() const {
    return logFileManager_;
}

void HVDDFileLogger::rollLogFile() {
    rollLogFileWithCompletionBlock(nullptr);
}

void HVDDFileLogger::rollLogFileWithCompletionBlock(std::function<void()> completion) {
    LogWriter::shared().sync([d = state_.get()] { d->rollNow(); });
    // Outside the writer's lock: a completion that logs must not wait for the logging queue
    // while a statement there waits for this lock.
    if (completion) completion();
}

std::shared_ptr<HVDDLogFileInfo> HVDDFileLogger::currentLogFileInfo() {
    std::shared_ptr<HVDDLogFileInfo> result;
    onWriter(*state_, [&](FileLoggerState &d) {
        // A copy of its own: the logger's object is used on the writer only.
        if (d.open()) result = std::make_shared<HVDDLogFileInfo>(d.info->filePath());
    });
    return result;
}
