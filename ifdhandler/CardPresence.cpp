#include "CardPresence.h"

#include <algorithm>

#include "Platform/RunLoop.h"

namespace hv::ifdhandler {

using platform::RunLoop;
using platform::SteadyClock;

void CardPresence::post(Change change) {
    std::lock_guard lock(mutex_);
    log_[head_ % kLogCapacity] = change;
    ++head_;
    wakeLocked();
}

void CardPresence::changed() {
    std::lock_guard lock(mutex_);
    wakeLocked();
}

void CardPresence::stop() {
    std::lock_guard lock(mutex_);
    ++stops_;
    wakeLocked();
}

void CardPresence::reset() {
    std::lock_guard lock(mutex_);
    views_.clear();
}

void CardPresence::wakeLocked() {
    for (const auto &loop : waiters_)
        loop->wakeUp();
}

CardPresence::View *CardPresence::findLocked() {
    const auto self = std::this_thread::get_id();
    for (auto &view : views_) {
        if (view.thread == self) {
            view.lastUse = ++uses_;
            return &view;
        }
    }
    return nullptr;
}

CardPresence::View &CardPresence::viewLocked() {
    if (View *view = findLocked()) return *view;
    if (views_.size() == kMaxViews)
        views_.erase(
            std::min_element(views_.begin(), views_.end(),
                             [](const View &a, const View &b) { return a.lastUse < b.lastUse; }));
    View view;
    view.thread = std::this_thread::get_id();
    view.cursor = head_;
    view.stops = stops_;
    view.lastUse = ++uses_;
    views_.push_back(view);
    return views_.back();
}

uint64_t CardPresence::nextTransitionLocked(View &view) const {
    // A thread that fell further behind than the log reaches reads what is left of it.
    if (head_ - view.cursor > kLogCapacity) view.cursor = head_ - kLogCapacity;
    for (uint64_t i = view.cursor; i < head_; ++i) {
        const Change change = log_[i % kLogCapacity];
        if ((change == Change::Removed) == view.told) return i;
    }
    return head_;
}

bool CardPresence::present(const Truth &truth) {
    {
        std::lock_guard lock(mutex_);
        if (View *view = findLocked(); view && view->waits) return view->told;
    }
    const bool now = truth();
    std::lock_guard lock(mutex_);
    View &view = viewLocked();
    if (view.waits) return view.told;  // its first wait began meanwhile
    // What happened before its first wait is in the state it is told.
    view.cursor = head_;
    view.told = now;
    return now;
}

CardPresence::WaitResult CardPresence::wait(std::chrono::milliseconds timeout, const Truth &truth) {
    const auto loop = RunLoop::currentShared();
    const auto deadline = SteadyClock::now() + std::max(timeout, std::chrono::milliseconds(0));
    {
        std::lock_guard lock(mutex_);
        viewLocked().waits = true;
        waiters_.push_back(loop);
    }
    loop->runUntil(deadline, [&] {
        bool told;
        {
            std::lock_guard lock(mutex_);
            View &view = viewLocked();
            if (view.stops != stops_ || nextTransitionLocked(view) != head_) return true;
            told = view.told;
        }
        return truth() != told;
    });
    const bool now = truth();
    std::lock_guard lock(mutex_);
    if (auto it = std::find(waiters_.begin(), waiters_.end(), loop); it != waiters_.end())
        waiters_.erase(it);
    View &view = viewLocked();
    if (view.stops != stops_) {
        view.stops = stops_;
        return WaitResult::Stopped;
    }
    // One change at a time: each is told by the checks before the next wait.
    if (const uint64_t next = nextTransitionLocked(view); next != head_) {
        view.cursor = next + 1;
        view.told = !view.told;
        return WaitResult::Changed;
    }
    view.cursor = head_;
    if (now == view.told) return WaitResult::TimedOut;
    view.told = now;
    return WaitResult::Changed;
}

}  // namespace hv::ifdhandler
