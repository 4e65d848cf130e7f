// A bound on work in flight, for a producer that must not outrun its consumer without limit.
//
// acquire() takes a place, waiting while `limit` places are taken; release() gives one back.
// A producer that had to wait resumes only once the backlog has drained to `resumeAt`: waking
// a blocked producer is a system call, so under sustained load it is paid once per batch of
// places instead of once per place.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace hv::platform {

class Backlog {
public:
    Backlog(size_t limit, size_t resumeAt);
    Backlog(const Backlog &) = delete;
    Backlog &operator=(const Backlog &) = delete;

    void acquire();
    void release();
    size_t inFlight() const;
    // Producers waiting in acquire().
    size_t waiting() const;

private:
    const size_t limit_;
    const size_t resumeAt_;
    mutable std::mutex mutex_;
    std::condition_variable room_;
    size_t taken_ = 0;
    size_t waiting_ = 0;
};

}  // namespace hv::platform
