#include "Logging/LogWriter.h"

namespace hv::logging {

namespace {
thread_local int depth = 0;  // blocks of the writer running on this thread
}  // namespace

LogWriter &LogWriter::shared() {
    static LogWriter *writer = new LogWriter;
    return *writer;
}

void LogWriter::sync(const std::function<void()> &work) {
    std::lock_guard lock(mutex_);
    ++depth;
    struct Leave {
        ~Leave() { --depth; }
    } leave;
    work();
}

bool LogWriter::isCurrent() const {
    return depth > 0;
}

}  // namespace hv::logging
