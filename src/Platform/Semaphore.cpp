#include "Platform/Semaphore.h"

namespace hv::platform {

void Semaphore::signal() {
    // Notify under the lock: a waiter that wakes may destroy the semaphore at once.
    std::lock_guard lock(mutex_);
    ++count_;
    cv_.notify_one();
}

void Semaphore::wait() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return count_ > 0; });
    --count_;
}

bool Semaphore::waitFor(std::chrono::nanoseconds timeout) {
    return waitUntil(std::chrono::steady_clock::now() + timeout);
}

bool Semaphore::waitUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_until(lock, deadline, [this] { return count_ > 0; })) return false;
    --count_;
    return true;
}

}  // namespace hv::platform
