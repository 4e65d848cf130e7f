#include "Platform/MainThread.h"

#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "Platform/RunLoop.h"
#include "Platform/ThreadName.h"

namespace hv::platform::mainthread {

namespace {

enum Mode : int { Undecided, Library, Host };

std::atomic<int> &mode() {
    static std::atomic<int> m{Undecided};
    return m;
}

int decide(int wanted) {
    int expected = Undecided;
    mode().compare_exchange_strong(expected, wanted);
    return mode().load();
}

}  // namespace

bool setHostRunsMainLoop() {
    return decide(Host) == Host;
}

bool hostRunsMainLoop() {
    return mode().load() == Host;
}

bool fixHostRunsMainLoop() {
    return decide(Library) == Host;
}

bool isInitialThread() {
    return currentThreadId() == static_cast<uint64_t>(getpid());
}

bool isMainThread() {
    if (fixHostRunsMainLoop()) return isInitialThread();
    return RunLoop::main().isCurrent();
}

}  // namespace hv::platform::mainthread
