#include "vorasel/SerialQueue.h"

#include "Platform/Semaphore.h"
#include "Platform/ThreadName.h"

namespace hv::platform {
namespace {
thread_local const SerialQueue *tlsCurrentQueue = nullptr;
}

SerialQueue::SerialQueue(std::string label, std::chrono::microseconds linger)
    : label_(std::move(label)), linger_(linger) {}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    cv_.notify_all();
    if (worker_.joinable()) worker_.join();
}

const SerialQueue *SerialQueue::current() {
    return tlsCurrentQueue;
}

bool SerialQueue::isCurrent() const {
    return tlsCurrentQueue == this;
}

void SerialQueue::runAsCurrent(const std::function<void()> &block) {
    const SerialQueue *previous = tlsCurrentQueue;
    tlsCurrentQueue = this;
    block();
    tlsCurrentQueue = previous;
}

void SerialQueue::async(std::function<void()> block) {
    enqueue(std::move(block), false);
}

void SerialQueue::enqueue(std::function<void()> block, bool urgent) {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        pending_.push_back(std::move(block));
        if (!worker_.joinable())
            worker_ = std::thread([this] { workerLoop(); });
        else
            wake = takeSleepingWorker(urgent);
    }
    if (wake) cv_.notify_one();
}

bool SerialQueue::takeSleepingWorker(bool urgent) {
    // Only a sleeping worker needs the wake-up, and only once: a worker already woken, or busy,
    // finds the new block by itself, and a lingering one when its linger ends (unless someone
    // waits for the block).
    bool wake = workerAsleep_;
    workerAsleep_ = false;
    if (urgent && workerLingering_) {
        workerLingering_ = false;
        wake = true;
    }
    return wake;
}

void SerialQueue::sync(const std::function<void()> &block) {
    if (isCurrent()) {
        block();
        return;
    }
    {
        std::unique_lock lock(mutex_);
        if (!busy_ && pending_.empty()) {
            busy_ = true;
            lock.unlock();
            runAsCurrent(block);
            lock.lock();
            busy_ = false;
            if (!pending_.empty() && takeSleepingWorker(false)) {
                lock.unlock();
                cv_.notify_one();
            }
            return;
        }
    }
    Semaphore done;
    enqueue(
        [&] {
            block();
            done.signal();
        },
        true);
    done.wait();
}

void SerialQueue::workerLoop() {
    setCurrentThreadName(label_);
    std::unique_lock lock(mutex_);
    bool lingered = true;  // nothing has run yet
    for (;;) {
        while (busy_ || (pending_.empty() && !stopping_)) {
            if (!lingered && linger_.count() > 0) {
                lingered = true;
                workerLingering_ = true;
                cv_.wait_for(lock, linger_);
                workerLingering_ = false;
                continue;
            }
            workerAsleep_ = true;
            cv_.wait(lock);
            workerAsleep_ = false;
        }
        lingered = false;
        if (pending_.empty()) return;  // stopping, and everything queued has run
        auto block = std::move(pending_.front());
        pending_.pop_front();
        busy_ = true;
        lock.unlock();
        runAsCurrent(block);
        block = nullptr;
        lock.lock();
        busy_ = false;
    }
}

}  // namespace hv::platform
