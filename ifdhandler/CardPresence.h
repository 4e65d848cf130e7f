// What pcscd is told about the card, and the wait that replaces its polling.
//
// pcscd's event thread for the reader loops: presence check, then the waiting function, and
// it checks presence more than once in a turn (its power calls check first). So the answer a
// waiting thread gets changes only when its wait returns: every check between two waits gives
// the same answer. Insertions and removals are logged in order, and each wait that finds one
// not yet told returns at once with it, one at a time. So
// - a change that comes after a check, even before the wait has begun, ends that wait;
// - a removal followed at once by an insertion (a swapped card, or the case coming back with
//   its card unpowered) is told as a removal, then an insertion, never as "still present";
// - a change of the reader's state that no event announced (the reader opened, or went) ends
//   the wait too, and is told.
// Threads that never wait (pcscd's client threads check presence before powering the card)
// are told the reader's state as it is.
//
// Every function may be called from any thread. A wait turns the calling thread's run loop,
// and whoever records a change wakes every waiting loop, so a wait ends the moment its change
// arrives. `truth` callbacks are called without a lock held.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace hv::platform {
class RunLoop;
}

namespace hv::ifdhandler {

class CardPresence {
public:
    enum class Change : uint8_t { Inserted, Removed };
    enum class WaitResult { Changed, Stopped, TimedOut };
    using Truth = std::function<bool()>;

    // Changes kept for a waiting thread that has not taken them yet; a thread further behind
    // skips the oldest.
    static constexpr size_t kLogCapacity = 64;
    // Threads with a view; the least recently used view makes room for a new thread.
    static constexpr size_t kMaxViews = 16;

    // A card change the reader reported.
    void post(Change change);
    // The reader's state may have changed without a card change (the case came or went).
    void changed();
    // Ends the wait in progress on every waiting thread, or its next wait if none is in
    // progress, once.
    void stop();
    // Every thread starts afresh (a new channel).
    void reset();

    // What the calling thread is told: for a thread that waits, what its last wait settled;
    // for any other thread, `truth()`, the reader's state now.
    bool present(const Truth &truth);
    // Until there is a change the calling thread has not been told, or the reader's state
    // differs from what it was told, or a stop, or the time-out (0 or less only looks); then
    // settles what the next checks tell.
    WaitResult wait(std::chrono::milliseconds timeout, const Truth &truth);

private:
    struct View {
        std::thread::id thread;
        uint64_t cursor = 0;  // next log entry to read
        uint64_t stops = 0;   // stops taken
        bool told = false;    // what the thread is told
        bool waits = false;   // the thread has waited: its answer changes only when it waits
        uint64_t lastUse = 0;
    };

    View *findLocked();
    View &viewLocked();
    // The next unread change that alters what `view` is told, or head_.
    uint64_t nextTransitionLocked(View &view) const;
    void wakeLocked();

    mutable std::mutex mutex_;
    Change log_[kLogCapacity] = {};
    uint64_t head_ = 0;  // changes ever logged
    uint64_t stops_ = 0;
    uint64_t uses_ = 0;
    std::vector<View> views_;
    std::vector<std::shared_ptr<platform::RunLoop>> waiters_;
};

}  // namespace hv::ifdhandler
