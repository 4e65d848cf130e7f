#include "Platform/Thread.h"

#include <system_error>
#include <thread>

#include "Platform/ThreadName.h"

namespace hv::platform {

struct Thread::State {
    std::function<void()> body;
    std::string name;
    std::atomic<bool> started{false};
    std::atomic<bool> cancelled{false};
    std::atomic<bool> executing{false};
    std::atomic<bool> finished{false};
};

namespace {
thread_local Thread::State *tlsCurrentThread = nullptr;
}

Thread::Thread(std::function<void()> body, std::string name) : state_(std::make_shared<State>()) {
    state_->body = std::move(body);
    state_->name = std::move(name);
}

bool Thread::start() {
    if (state_->started.exchange(true)) return true;
    state_->executing.store(true);
    try {
        std::thread([state = state_] {
            tlsCurrentThread = state.get();
            if (!state->name.empty()) setCurrentThreadName(state->name);
            state->body();
            state->body = nullptr;  // release what the body captured before reporting the end
            tlsCurrentThread = nullptr;
            state->finished.store(true);
            state->executing.store(false);
        }).detach();
    } catch (const std::system_error &) {
        state_->executing.store(false);
        state_->finished.store(true);
        return false;
    }
    return true;
}

void Thread::cancel() {
    state_->cancelled.store(true);
}
bool Thread::isCancelled() const {
    return state_->cancelled.load();
}
bool Thread::isExecuting() const {
    return state_->executing.load();
}
bool Thread::isFinished() const {
    return state_->finished.load();
}
const std::string &Thread::name() const {
    return state_->name;
}

bool Thread::currentIsCancelled() {
    return tlsCurrentThread && tlsCurrentThread->cancelled.load();
}

}  // namespace hv::platform
