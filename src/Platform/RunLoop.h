// Per-thread run loop: serves posted work, timers and (through posted work) stream events.
//
// Every thread has one, created on first use by RunLoop::current(). RunLoop::main() is the
// main thread's loop: turned by the library's own dispatcher thread, or by the host on the
// process's initial thread when it has declared so (MainThread.h). Work posted with perform()
// from any thread runs on the loop's own thread, in posting order, while that thread runs the
// loop. Timers fire on their
// loop only while it runs. An idle loop sleeps on a condition variable; perform() and wakeUp()
// wake it at once.
//
// A loop may also watch descriptors (addSource): it then sleeps in poll() rather than on the
// condition variable, and a descriptor that becomes ready is served on the loop's own thread,
// with no thread in between. A loop with no source sleeps as before.
//
// runUntil(deadline) serves until the deadline and returns then, not before. For waits that
// must end as soon as something has happened, runUntil(deadline, done) also returns as soon as
// `done()` holds; `done` is checked before the first sleep, after every item served, and
// whenever the loop is woken, so the thread that makes it true should call wakeUp().
// Runs may nest: work served by a loop may itself run the same loop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "Platform/RingQueue.h"

namespace hv::platform {

using SteadyClock = std::chrono::steady_clock;

class RunLoop;

// A timer added to a run loop. invalidate() stops it; a timer that does not repeat is
// invalidated after it fires. The handle may be dropped without stopping the timer.
class TimerHandle {
public:
    TimerHandle() = default;
    void invalidate();
    bool isValid() const;

private:
    friend class RunLoop;
    struct State;
    explicit TimerHandle(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

// A descriptor a run loop watches. Made by RunLoop::addSource.
class RunLoopSource {
public:
    // The poll events wanted now (0: none, the descriptor is left alone); asked before every
    // sleep, on the loop's thread.
    using Interest = std::function<short()>;
    // Called on the loop's thread with what poll reported.
    using Ready = std::function<void(short revents)>;

private:
    friend class RunLoop;
    int fd = -1;
    Interest interest;
    Ready ready;
    std::recursive_mutex mutex;  // held while ready() runs; removal waits for it
    bool live = true;
};

class RunLoop : public std::enable_shared_from_this<RunLoop> {
public:
    static RunLoop &current();
    static std::shared_ptr<RunLoop> currentShared();
    static RunLoop &main();
    static std::shared_ptr<RunLoop> mainShared();

    RunLoop(const RunLoop &) = delete;
    RunLoop &operator=(const RunLoop &) = delete;
    ~RunLoop();

    void runUntil(SteadyClock::time_point deadline);
    // True when `done` held before the deadline passed.
    bool runUntil(SteadyClock::time_point deadline, const std::function<bool()> &done);
    void runFor(SteadyClock::duration interval) { runUntil(SteadyClock::now() + interval); }

    void perform(std::function<void()> work);
    // Watches `fd` while the loop runs. Once removeSource returns, `ready` neither runs (on
    // another thread) nor is called again; it may be called from `ready` itself.
    std::shared_ptr<RunLoopSource> addSource(int fd, RunLoopSource::Interest interest,
                                             RunLoopSource::Ready ready);
    void removeSource(const std::shared_ptr<RunLoopSource> &source);
    TimerHandle addTimer(SteadyClock::duration interval, bool repeats,
                         std::function<void()> action);
    void wakeUp();

    // Whether the calling thread is this loop's thread.
    bool isCurrent() const;

private:
    RunLoop();
    static void startMainDispatcher(std::shared_ptr<RunLoop> loop);
    bool runOnce(SteadyClock::time_point deadline);
    // Sleeps in poll() on the sources and the wake descriptor; true when one was served.
    bool pollSources(std::unique_lock<std::mutex> &lock, SteadyClock::time_point wakeAt);
    void wakePollerLocked();
    void claimOwner();
    std::shared_ptr<TimerHandle::State> dueTimer(SteadyClock::time_point now,
                                                 SteadyClock::time_point *nextFire);

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    RingQueue<std::function<void()>> work_;
    std::vector<std::shared_ptr<TimerHandle::State>> timers_;
    bool woken_ = false;
    const void *ownerThread_ = nullptr;  // address of a thread_local marker of the owner
    std::vector<std::shared_ptr<RunLoopSource>> sources_;
    int wakeFd_ = -1;       // an eventfd, made with the first source
    bool polling_ = false;  // asleep in poll(): wakes go through wakeFd_
};

// Runs the calling thread's loop until `done` holds or `deadline` passes; true when `done` held.
// Threads that make `done` true should wake the loop; `slice` only bounds how late a change
// made without a wake-up is seen, so the wait never costs a slice when it is woken.
bool runCurrentLoopUntil(SteadyClock::time_point deadline, const std::function<bool()> &done,
                         SteadyClock::duration slice = std::chrono::milliseconds(5));

}  // namespace hv::platform
