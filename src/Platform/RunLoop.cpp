#include "Platform/RunLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>

#include "Platform/MainThread.h"
#include "Platform/ThreadName.h"

namespace hv::platform {

struct TimerHandle::State {
    SteadyClock::duration interval;
    bool repeats;
    std::function<void()> action;
    SteadyClock::time_point nextFire;  // guarded by the loop's mutex
    std::atomic<bool> valid{true};
};

void TimerHandle::invalidate() {
    if (state_) state_->valid.store(false);
}

bool TimerHandle::isValid() const {
    return state_ && state_->valid.load();
}

namespace {
thread_local char tlsThreadMarker;
thread_local std::shared_ptr<RunLoop> tlsLoop;
}  // namespace

namespace {
// Sources one loop watches at most; a caller that finds no room keeps its own thread.
constexpr size_t kMaxSources = 15;
}  // namespace

RunLoop::RunLoop() = default;

RunLoop::~RunLoop() {
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void RunLoop::wakePollerLocked() {
    if (!polling_) return;
    const uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
}

void RunLoop::startMainDispatcher(std::shared_ptr<RunLoop> loop) {
    // The owner is claimed here, before any caller can see the loop, so the loop is never
    // served by two threads and isCurrent() is true only on the dispatcher.
    std::promise<void> claimed;
    std::thread([loop, &claimed] {
        setCurrentThreadName("hv.main");
        tlsLoop = loop;
        {
            std::lock_guard lock(loop->mutex_);
            loop->ownerThread_ = &tlsThreadMarker;
        }
        claimed.set_value();
        for (;;)
            loop->runUntil(SteadyClock::time_point::max());
    }).detach();
    claimed.get_future().wait();
}

std::shared_ptr<RunLoop> RunLoop::mainShared() {
    // Never destroyed: other threads may post to the main loop during exit.
    static auto *loop = [] {
        auto *shared = new std::shared_ptr<RunLoop>(new RunLoop);
        if (!mainthread::fixHostRunsMainLoop()) startMainDispatcher(*shared);
        return shared;
    }();
    return *loop;
}

RunLoop &RunLoop::main() {
    return *mainShared();
}

std::shared_ptr<RunLoop> RunLoop::currentShared() {
    if (!tlsLoop) {
        const bool hostMain = mainthread::isInitialThread() && mainthread::fixHostRunsMainLoop();
        tlsLoop = hostMain ? mainShared() : std::shared_ptr<RunLoop>(new RunLoop);
        std::lock_guard lock(tlsLoop->mutex_);
        tlsLoop->ownerThread_ = &tlsThreadMarker;
    }
    return tlsLoop;
}

RunLoop &RunLoop::current() {
    currentShared();
    return *tlsLoop;
}

bool RunLoop::isCurrent() const {
    std::lock_guard lock(mutex_);
    return ownerThread_ == &tlsThreadMarker;
}

void RunLoop::perform(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        work_.push(std::move(work));
        wakePollerLocked();
    }
    cv_.notify_all();
}

void RunLoop::wakeUp() {
    {
        std::lock_guard lock(mutex_);
        woken_ = true;
        wakePollerLocked();
    }
    cv_.notify_all();
}

std::shared_ptr<RunLoopSource> RunLoop::addSource(int fd, RunLoopSource::Interest interest,
                                                  RunLoopSource::Ready ready) {
    auto source = std::make_shared<RunLoopSource>();
    source->fd = fd;
    source->interest = std::move(interest);
    source->ready = std::move(ready);
    {
        std::lock_guard lock(mutex_);
        if (sources_.size() >= kMaxSources) return nullptr;
        if (wakeFd_ < 0) wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wakeFd_ < 0) return nullptr;
        sources_.push_back(source);
        // A loop asleep on its condition variable, or polling without this one, looks again.
        woken_ = true;
        wakePollerLocked();
    }
    cv_.notify_all();
    return source;
}

void RunLoop::removeSource(const std::shared_ptr<RunLoopSource> &source) {
    if (!source) return;
    {
        // Waits for a call in progress on the loop's thread (or is that call itself).
        std::lock_guard served(source->mutex);
        source->live = false;
    }
    std::lock_guard lock(mutex_);
    std::erase(sources_, source);
    wakePollerLocked();
}

TimerHandle RunLoop::addTimer(SteadyClock::duration interval, bool repeats,
                              std::function<void()> action) {
    auto state = std::make_shared<TimerHandle::State>();
    state->interval = std::max(interval, SteadyClock::duration(std::chrono::microseconds(100)));
    state->repeats = repeats;
    state->action = std::move(action);
    state->nextFire = SteadyClock::now() + state->interval;
    {
        std::lock_guard lock(mutex_);
        timers_.push_back(state);
        wakePollerLocked();
    }
    cv_.notify_all();
    return TimerHandle(state);
}

// Under the lock: drops invalid timers, returns one that is due (rescheduled or removed), and
// reports the earliest next fire time of the rest.
std::shared_ptr<TimerHandle::State> RunLoop::dueTimer(SteadyClock::time_point now,
                                                      SteadyClock::time_point *nextFire) {
    std::erase_if(timers_, [](const auto &t) { return !t->valid.load(); });
    std::shared_ptr<TimerHandle::State> due;
    *nextFire = SteadyClock::time_point::max();
    for (auto &t : timers_) {
        if (!due && t->nextFire <= now) {
            due = t;
            if (t->repeats) {
                // Missed firings are skipped, not fired in a burst.
                while (t->nextFire <= now)
                    t->nextFire += t->interval;
            } else {
                t->valid.store(false);
            }
        }
        if (t->valid.load()) *nextFire = std::min(*nextFire, t->nextFire);
    }
    if (due && !due->repeats) std::erase(timers_, due);
    return due;
}

// Serves one item (work first, then one due timer) or sleeps until something may be ready.
// Returns false once the deadline has passed.
bool RunLoop::runOnce(SteadyClock::time_point deadline) {
    std::unique_lock lock(mutex_);
    if (!work_.empty()) {
        auto work = work_.pop();
        lock.unlock();
        work();
        return true;
    }
    const auto now = SteadyClock::now();
    SteadyClock::time_point nextFire;
    if (auto timer = dueTimer(now, &nextFire)) {
        lock.unlock();
        timer->action();
        return true;
    }
    if (now >= deadline) return false;
    const auto wakeAt = std::min(deadline, nextFire);
    if (!sources_.empty()) return pollSources(lock, wakeAt);
    cv_.wait_until(lock, wakeAt, [&] { return woken_ || !work_.empty(); });
    woken_ = false;
    return true;
}

// Entered with the lock held and nothing to serve. Runs may nest (a source's handler may run
// this loop), so everything the sleep needs is on the stack.
bool RunLoop::pollSources(std::unique_lock<std::mutex> &lock, SteadyClock::time_point wakeAt) {
    std::shared_ptr<RunLoopSource> sources[kMaxSources];
    const size_t count = sources_.size();
    std::copy(sources_.begin(), sources_.end(), sources);
    const int wakeFd = wakeFd_;
    woken_ = false;
    lock.unlock();

    pollfd fds[kMaxSources + 1];
    fds[0] = {wakeFd, POLLIN, 0};
    for (size_t i = 0; i < count; ++i) {
        const short events = sources[i]->interest ? sources[i]->interest() : short(POLLIN);
        fds[i + 1] = {events ? sources[i]->fd : -1, events, 0};
    }
    lock.lock();
    // Whatever came while the interests were asked is served before any sleep.
    if (woken_ || !work_.empty()) {
        woken_ = false;
        return true;
    }
    polling_ = true;
    lock.unlock();

    const auto left = wakeAt - SteadyClock::now();
    timespec timeout{};
    timespec *bound = nullptr;
    if (wakeAt != SteadyClock::time_point::max()) {
        const auto ns = std::max<long long>(
            0, std::chrono::duration_cast<std::chrono::nanoseconds>(left).count());
        timeout.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
        timeout.tv_nsec = static_cast<long>(ns % 1'000'000'000);
        bound = &timeout;
    }
    const int ready = ::ppoll(fds, count + 1, bound, nullptr);

    lock.lock();
    polling_ = false;
    woken_ = false;
    lock.unlock();
    if (ready > 0 && (fds[0].revents & POLLIN)) {
        uint64_t drained;
        [[maybe_unused]] auto n = ::read(wakeFd, &drained, sizeof drained);
    }
    for (size_t i = 0; ready > 0 && i < count; ++i) {
        if (!fds[i + 1].revents) continue;
        std::lock_guard served(sources[i]->mutex);
        if (sources[i]->live) sources[i]->ready(fds[i + 1].revents);
    }
    lock.lock();
    return true;
}

void RunLoop::claimOwner() {
    std::lock_guard lock(mutex_);
    if (!ownerThread_) ownerThread_ = &tlsThreadMarker;
}

void RunLoop::runUntil(SteadyClock::time_point deadline) {
    claimOwner();
    while (runOnce(deadline)) {
    }
}

bool RunLoop::runUntil(SteadyClock::time_point deadline, const std::function<bool()> &done) {
    claimOwner();
    if (done()) return true;
    while (runOnce(deadline)) {
        if (done()) return true;
    }
    return done();
}

bool runCurrentLoopUntil(SteadyClock::time_point deadline, const std::function<bool()> &done,
                         SteadyClock::duration slice) {
    RunLoop &loop = RunLoop::current();
    while (!done()) {
        const auto now = SteadyClock::now();
        if (now >= deadline) return done();
        const auto sliceEnd = deadline - now > slice ? now + slice : deadline;
        loop.runUntil(sliceEnd, done);
    }
    return true;
}

}  // namespace hv::platform
