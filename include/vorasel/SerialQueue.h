// A serial work queue: blocks run one at a time, in submission order, never concurrently.
//
// async() hands the block to the queue's worker thread. sync() waits until the block has run;
// when the queue is idle the block runs at once on the calling thread (as the queue's current
// block), otherwise it waits its turn on the worker. Calling sync() on the queue one is
// already running on runs the block inline instead of deadlocking.
//
// Public because a logger may bring a queue of its own (HVDDLogger::loggerQueue in HVLog.h).
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "vorasel/hv_export.h"

namespace hv::platform {

class HV_EXPORT SerialQueue {
public:
    explicit SerialQueue(std::string label);
    ~SerialQueue();  // runs what is still queued, then stops the worker
    SerialQueue(const SerialQueue &) = delete;
    SerialQueue &operator=(const SerialQueue &) = delete;

    void async(std::function<void()> block);
    void sync(const std::function<void()> &block);

    const std::string &label() const { return label_; }
    bool isCurrent() const;
    // The queue whose block the calling thread is running, or null.
    static const SerialQueue *current();

private:
    void workerLoop();
    void runAsCurrent(const std::function<void()> &block);

    const std::string label_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> pending_;
    bool busy_ = false;  // a block is running (on the worker or inline)
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace hv::platform
