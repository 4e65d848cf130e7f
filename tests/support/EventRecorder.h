// Records what the reader driver relays to its event callback, with the driver's state at
// that moment, for tests of the event thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "Smartcard/IFDH/HVIFDH.h"
#include "Wait.h"

namespace hv::test {

// What the driver relayed to its callback, with the driver's state at that moment.
struct RelayedEvent {
    uint8_t code;
    uint32_t slotState;
    HVIFDHATR atr;
    std::chrono::steady_clock::time_point at;
};

class EventRecorder {
public:
    static EventRecorder &shared() {
        static auto *recorder = new EventRecorder;
        return *recorder;
    }
    static void callback(uint8_t code) { shared().record(code); }

    void record(uint8_t code) {
        auto &driver = HVIFDH::sharedInstance();
        std::lock_guard lock(mutex_);
        events_.push_back(
            {code, driver.slot_state(), driver.ATR(), std::chrono::steady_clock::now()});
        changed_.notify_all();
    }
    std::vector<RelayedEvent> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    // The events with this code, in order.
    std::vector<RelayedEvent> withCode(uint8_t code) const {
        std::vector<RelayedEvent> out;
        for (const auto &e : events())
            if (e.code == code) out.push_back(e);
        return out;
    }
    // Card events only (accessory announcements arrive whenever the main loop turns).
    std::vector<uint8_t> cardCodes() const {
        std::vector<uint8_t> out;
        for (const auto &e : events())
            if (e.code == HVIFDHEventCardInserted || e.code == HVIFDHEventCardRemoved)
                out.push_back(e.code);
        return out;
    }
    bool waitFor(uint8_t code, size_t n = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
        return runLoopUntil([&] { return withCode(code).size() >= n; }, timeout);
    }
    // When the last event with this code was relayed (the clock's epoch if none was).
    std::chrono::steady_clock::time_point lastTime(uint8_t code) const {
        const auto all = withCode(code);
        return all.empty() ? std::chrono::steady_clock::time_point{} : all.back().at;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        events_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<RelayedEvent> events_;
};

}  // namespace hv::test
