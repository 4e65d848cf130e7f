// A serial work queue: blocks run one at a time, in submission order, never concurrently.
//
// async() hands the block to the queue's worker thread. sync() waits until the block has run;
// when the queue is idle the block runs at once on the calling thread (as the queue's current
// block), otherwise it waits its turn on the worker. Calling sync() on the queue one is
// already running on runs the block inline instead of deadlocking.
//
// Waking a sleeping worker is a system call that the submitting thread pays. A queue made with
// a linger keeps its worker awake for that long after its last block: blocks submitted
// meanwhile cost their submitter no wake-up, and start at the latest when the linger ends (a
// sync() wakes the worker at once). The linger is one timed wait per busy spell, never polling.
//
// Public because a logger may bring a queue of its own (HVDDLogger::loggerQueue in HVLog.h).
#pragma once

#include <chrono>
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
    explicit SerialQueue(std::string label,
                         std::chrono::microseconds linger = std::chrono::microseconds(0));
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
    void enqueue(std::function<void()> block, bool urgent);
    bool takeSleepingWorker(bool urgent);  // under mutex_

    const std::string label_;
    const std::chrono::microseconds linger_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> pending_;
    bool busy_ = false;  // a block is running (on the worker or inline)
    bool stopping_ = false;
    bool workerAsleep_ = false;     // waiting on cv_ and not yet woken
    bool workerLingering_ = false;  // in its timed wait after a busy spell, not yet woken
    std::thread worker_;
};

}  // namespace hv::platform
