// The threads on which a device serves its sessions, one per session port, as hardware would.
//
// A body runs until its port reports end; `closeAll` ends every session from the device side
// so the bodies return. `joinAll` (and the destructor) waits for them; called from one of the
// bodies (a device's own thread detaching it), it leaves that thread to finish on its own.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "vorasel/sim/SessionPort.h"

namespace hv::sim {

class PortThreads {
public:
    using Body = std::function<void(const std::shared_ptr<SessionPort> &)>;

    PortThreads() = default;
    PortThreads(const PortThreads &) = delete;
    PortThreads &operator=(const PortThreads &) = delete;
    ~PortThreads();

    // Starts `body(port)` on a new thread; threads whose bodies have returned are joined here.
    void start(std::shared_ptr<SessionPort> port, Body body);
    void closeAll();
    void joinAll();
    // Bodies still running.
    size_t running() const;

private:
    struct Worker {
        std::shared_ptr<SessionPort> port;
        std::thread thread;
        std::atomic<bool> done{false};
    };
    void reapLocked();

    mutable std::mutex mutex_;
    std::list<std::shared_ptr<Worker>> workers_;
};

}  // namespace hv::sim
