#include "Platform/Backlog.h"

#include <algorithm>

namespace hv::platform {

Backlog::Backlog(size_t limit, size_t resumeAt)
    : limit_(std::max<size_t>(limit, 1)), resumeAt_(std::min(resumeAt, limit_ - 1)) {}

void Backlog::acquire() {
    std::unique_lock lock(mutex_);
    if (taken_ >= limit_) {
        ++waiting_;
        room_.wait(lock, [this] { return taken_ <= resumeAt_; });
        --waiting_;
    }
    ++taken_;
}

void Backlog::release() {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        --taken_;
        wake = waiting_ > 0 && taken_ <= resumeAt_;
    }
    if (wake) room_.notify_all();
}

size_t Backlog::inFlight() const {
    std::lock_guard lock(mutex_);
    return taken_;
}

size_t Backlog::waiting() const {
    std::lock_guard lock(mutex_);
    return waiting_;
}

}  // namespace hv::platform
