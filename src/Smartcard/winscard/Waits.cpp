// Waits on the reader: the calling thread turns its run loop, so what the library delivers to
// it keeps flowing, and whoever changes what a wait looks at wakes every waiting loop. The
// slices only bound how late a change made without a wake-up would be seen.
#include <algorithm>
#include <vector>

#include "Platform/RunLoop.h"
#include "Smartcard/winscard/ReaderRecord.h"
#include "vorasel/HVAccessory.h"
#include "vorasel/HVLog.h"

namespace hv::pcsc {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

struct Waiters {
    std::mutex mutex;
    std::vector<platform::RunLoop *> loops;  // one entry per wait in progress
};

Waiters &waiters() {
    static Waiters *w = new Waiters;
    return *w;
}

// Registers the calling thread's loop for the length of one wait.
class WaiterScope {
public:
    WaiterScope() : loop_(&platform::RunLoop::current()) {
        Waiters &w = waiters();
        std::lock_guard lock(w.mutex);
        w.loops.push_back(loop_);
    }
    ~WaiterScope() {
        Waiters &w = waiters();
        std::lock_guard lock(w.mutex);
        auto it = std::find(w.loops.begin(), w.loops.end(), loop_);
        if (it != w.loops.end()) w.loops.erase(it);
    }
    WaiterScope(const WaiterScope &) = delete;
    WaiterScope &operator=(const WaiterScope &) = delete;

private:
    platform::RunLoop *loop_;
};

}  // namespace

void wakeWaiters() {
    Waiters &w = waiters();
    std::lock_guard lock(w.mutex);
    for (auto *loop : w.loops)
        loop->wakeUp();
}

size_t waitsInProgress() {
    Waiters &w = waiters();
    std::lock_guard lock(w.mutex);
    return w.loops.size();
}

bool waitOnReader(steady_clock::time_point deadline, steady_clock::duration slice,
                  const std::function<bool()> &done) {
    WaiterScope scope;
    return platform::runCurrentLoopUntil(deadline, done, slice);
}

steady_clock::time_point sliceDeadline(uint32_t timeoutMs, uint32_t sliceMs, uint32_t *slices) {
    // Whole slices only: a time-out shorter than one slice does not wait at all.
    const uint32_t n = timeoutMs / sliceMs;
    if (slices) *slices = n;
    return steady_clock::now() + milliseconds(static_cast<uint64_t>(n) * sliceMs);
}

}  // namespace hv::pcsc

using namespace hv::pcsc;

extern "C" {

void waitForReaderStateChange(DWORD dwState, DWORD dwTimeoutMs) {
    uint32_t slices = 0;
    const auto deadline = sliceDeadline(dwTimeoutMs, 10, &slices);
    if (slices == 0 || reader.dwState.load() != dwState) return;
    waitOnReader(deadline, milliseconds(10),
                 [dwState] { return !readerOpen() || reader.dwState.load() != dwState; });
}

void waitForReaderConnect(DWORD dwTimeoutMs) {
    uint32_t slices = 0;
    const auto deadline = sliceDeadline(dwTimeoutMs, 50, &slices);
    if (slices == 0) return;
    waitOnReader(deadline, milliseconds(50),
                 [] { return readerOpen() || !HVAccessory::sharedClass().isConnected(); });
}

}  // extern "C"
