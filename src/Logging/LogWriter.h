// Where the library's loggers do their I/O (the console, the log file, the system log).
//
// Every write is made on the logging thread itself, before the log call returns: a line logged
// just before the program dies (abort, _exit, a crash) has been handed to the operating system
// already. One lock for all of them keeps each logger's writes, and the checks of the file
// logger's watch, in order and apart from each other. It is recursive: a completion block or a
// check that logs, or a logger that logs about its own trouble, may come back in.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>

namespace hv::logging {

class LogWriter {
public:
    // Created on first use, never destroyed.
    static LogWriter &shared();

    // Runs `work` now, on the calling thread, under the writer's lock.
    void submit(const std::function<void()> &work) { sync(work); }
    void sync(const std::function<void()> &work);
    // Everything submitted has been written already; kept for callers that wait for it.
    bool drain(std::chrono::milliseconds) { return true; }
    // Whether the calling thread is inside a block of the writer.
    bool isCurrent() const;

private:
    LogWriter() = default;
    std::recursive_mutex mutex_;
};

}  // namespace hv::logging
