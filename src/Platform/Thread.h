// A thread with a name and a cancellation flag, in the manner of the phone's thread objects.
//
// start() launches the body on a new, detached OS thread; the Thread object may be destroyed
// while it runs (the running thread keeps the shared state alive). cancel() only sets the
// flag: the body polls isCancelled() (or Thread::currentIsCancelled()) and returns.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace hv::platform {

class Thread {
public:
    explicit Thread(std::function<void()> body, std::string name = {});
    Thread(const Thread &) = delete;
    Thread &operator=(const Thread &) = delete;

    // Starts the body once; later calls do nothing. False if the OS refused the thread.
    bool start();
    void cancel();
    bool isCancelled() const;
    // From start() until the body has returned.
    bool isExecuting() const;
    bool isFinished() const;
    const std::string &name() const;

    // Cancellation flag of the Thread running the caller (false on other threads).
    static bool currentIsCancelled();

    struct State;  // opaque; shared by the object and its running thread

private:
    std::shared_ptr<State> state_;
};

}  // namespace hv::platform
