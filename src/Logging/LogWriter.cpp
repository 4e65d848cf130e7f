#include "Logging/LogWriter.h"

#include <sched.h>

#include <cstdlib>
#include <memory>

#include "Platform/Semaphore.h"

namespace hv::logging {

LogWriter &LogWriter::shared() {
    static LogWriter *writer = [] {
        auto *w = new LogWriter;
        w->queue_.async([] {
            sched_param param{};
            sched_setscheduler(0, SCHED_BATCH, &param);
        });
        // A program that simply returns from main() still gets its last lines on disk.
        std::atexit([] {
            if (!shared().isCurrent()) shared().drain(std::chrono::seconds(2));
        });
        return w;
    }();
    return *writer;
}

void LogWriter::submit(std::function<void()> work) {
    slots_.acquire();
    queue_.async([this, work = std::move(work)] {
        work();
        slots_.release();
    });
}

void LogWriter::sync(const std::function<void()> &work) {
    queue_.sync(work);
}

bool LogWriter::drain(std::chrono::milliseconds timeout) {
    // Shared, so that a block that runs after the time-out still has its semaphore.
    auto done = std::make_shared<hv::platform::Semaphore>();
    queue_.async([done] { done->signal(); });
    return done->waitFor(timeout);
}

}  // namespace hv::logging
