// Counting semaphore with time-outs.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace hv::platform {

class Semaphore {
public:
    explicit Semaphore(int64_t initial = 0) : count_(initial) {}
    Semaphore(const Semaphore &) = delete;
    Semaphore &operator=(const Semaphore &) = delete;

    void signal();
    void wait();
    // True when a signal was taken before the time-out.
    bool waitFor(std::chrono::nanoseconds timeout);
    bool waitUntil(std::chrono::steady_clock::time_point deadline);

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int64_t count_;
};

}  // namespace hv::platform
