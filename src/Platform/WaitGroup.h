// Waits for a set of submitted blocks to finish.
#pragma once

#include <condition_variable>
#include <mutex>

namespace hv::platform {

class WaitGroup {
public:
    void add() {
        std::lock_guard lock(mutex_);
        ++outstanding_;
    }
    void done() {
        std::lock_guard lock(mutex_);
        if (--outstanding_ == 0) cv_.notify_all();
    }
    void wait() {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return outstanding_ == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int outstanding_ = 0;
};

}  // namespace hv::platform
