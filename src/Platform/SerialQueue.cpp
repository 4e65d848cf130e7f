#include "vorasel/SerialQueue.h"

#include "Platform/Semaphore.h"
#include "Platform/ThreadName.h"

namespace hv::platform {
namespace {
thread_local const SerialQueue *tlsCurrentQueue = nullptr;
}

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {}

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
    {
        std::lock_guard lock(mutex_);
        pending_.push_back(std::move(block));
        if (!worker_.joinable()) worker_ = std::thread([this] { workerLoop(); });
    }
    cv_.notify_all();
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
            if (!pending_.empty()) {
                lock.unlock();
                cv_.notify_all();
            }
            return;
        }
    }
    Semaphore done;
    async([&] {
        block();
        done.signal();
    });
    done.wait();
}

void SerialQueue::workerLoop() {
    setCurrentThreadName(label_);
    std::unique_lock lock(mutex_);
    for (;;) {
        cv_.wait(lock, [this] { return !busy_ && (!pending_.empty() || stopping_); });
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
