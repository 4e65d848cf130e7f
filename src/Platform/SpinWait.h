// A short busy wait on a flag, for answers that usually come within microseconds.
//
// Putting a thread to sleep and waking it again costs a scheduler round trip, and on a
// virtual machine waking an idle CPU costs more; a waiter that keeps its CPU for a few tens of
// microseconds sees a quick answer the moment it is stored. The budget bounds the CPU given
// away; callers fall back to their ordinary sleeping wait when it runs out.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include <sched.h>

namespace hv::platform {

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

// Whether spinning can help at all: with a single CPU the spinner only delays whoever is to
// store the flag.
inline bool spinningHelps() {
    static const bool helps = std::thread::hardware_concurrency() > 1;
    return helps;
}

// Spins until `flag` is true or `budget` has passed; returns the flag. Between looks it
// yields: the thread that is to set the flag is often queued on this very CPU (the scheduler
// keeps a chain of wake-ups together), and must not wait for the budget to run out.
inline bool spinUntilSet(const std::atomic<bool> &flag, std::chrono::nanoseconds budget) {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + budget;
    for (;;) {
        for (int i = 0; i < 8; ++i) {
            if (flag.load(std::memory_order_acquire)) return true;
            cpuRelax();
        }
        sched_yield();
        if (Clock::now() >= end) return flag.load(std::memory_order_acquire);
    }
}

}  // namespace hv::platform
