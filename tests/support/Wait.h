// Waiting on conditions with deadlines, never on fixed sleeps.
#pragma once

#include <algorithm>
#include <chrono>
#include <thread>

#include "Platform/RunLoop.h"

namespace hv::test {

// Polls `condition` until it holds or `timeout` passes; true when it held. The poll interval
// bounds the reaction time only: the wait ends as soon as the condition is seen.
template <typename Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// Runs the calling thread's run loop until `condition` holds or `timeout` passes. Slices of
// 1 ms bound the reaction to conditions changed by threads that do not wake the loop.
template <typename Condition>
bool runLoopUntil(Condition condition,
                  std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return hv::platform::runCurrentLoopUntil(
        std::chrono::steady_clock::now() + timeout, [&] { return static_cast<bool>(condition()); },
        std::chrono::milliseconds(1));
}

}  // namespace hv::test
