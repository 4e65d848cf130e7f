// Watches a file logger's current file, on a thread of its own: inotify reports the file being
// deleted or renamed, and a deadline (the file's creation date plus the rolling frequency)
// reports that the file has grown old. The watch only reports; the logger checks and rolls on
// its writer.
//
// Thread rules: watch(), unwatch() and setDeadline() may be called from any thread. The handler
// runs on the watch thread, one call at a time, and may block (it queues work on the writer).
// The destructor waits for a handler call in progress, so it must not run on a thread that
// call waits for.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "Platform/Semaphore.h"

namespace hv::logging {

class LogFileWatch {
public:
    enum class Event {
        FileChanged,     // deleted, renamed, or its attributes changed: check the file
        DeadlinePassed,  // the deadline has come; it is cleared
    };
    using Handler = std::function<void(Event)>;
    using WallClock = std::chrono::system_clock;

    explicit LogFileWatch(Handler handler);
    ~LogFileWatch();
    LogFileWatch(const LogFileWatch &) = delete;
    LogFileWatch &operator=(const LogFileWatch &) = delete;

    // Watches `path` instead of the previous file; false when inotify refused it.
    bool watch(const std::string &path);
    void unwatch();
    // Reports DeadlinePassed once at `deadline`; nullopt cancels.
    void setDeadline(std::optional<WallClock::time_point> deadline);

private:
    void run();
    void wake();

    const Handler handler_;
    int inotifyFd_ = -1;
    int wakeFd_ = -1;
    std::mutex mutex_;
    int watchDescriptor_ = -1;
    std::optional<WallClock::time_point> deadline_;
    bool stopping_ = false;
    hv::platform::Semaphore exited_;
};

}  // namespace hv::logging
