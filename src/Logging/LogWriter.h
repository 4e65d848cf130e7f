// Where the library's loggers do their slow I/O (the log file, the system log), away from the
// threads that log.
//
// A log statement waits until every logger has taken its message; the file and system-log
// loggers take it by queueing the write here, so a slow or failing disk or a busy system log
// holds a caller only once kSlots writes are pending. One serial queue for all of them keeps
// each logger's writes in order and costs a caller at most one wake-up per message.
//
// Thread rules: submit() and sync() may be called from any thread but the writer's own (a block
// running here must not submit and wait for a slot, nor destroy a logger that uses the writer).
#pragma once

#include <chrono>
#include <functional>

#include "Platform/Backlog.h"
#include "vorasel/SerialQueue.h"

namespace hv::logging {

class LogWriter {
public:
    static constexpr int kSlots = 1000;

    // Created on first use, never destroyed; what is pending at exit() is written then (for
    // at most two seconds).
    static LogWriter &shared();

    // Queues `work`; waits only while kSlots blocks are pending (and then until half of them
    // are written).
    void submit(std::function<void()> work);
    // Runs `work` on the writer after everything queued before it, and waits for it.
    void sync(const std::function<void()> &work);
    // Waits until everything queued so far has run, or the time-out passes; true when it has.
    bool drain(std::chrono::milliseconds timeout);
    bool isCurrent() const { return queue_.isCurrent(); }

private:
    LogWriter() = default;
    // Lines arriving within a millisecond of the last cost their caller no wake-up.
    hv::platform::SerialQueue queue_{"hv.logging.io", std::chrono::milliseconds(1)};
    hv::platform::Backlog slots_{kSlots, kSlots / 2};
};

}  // namespace hv::logging
