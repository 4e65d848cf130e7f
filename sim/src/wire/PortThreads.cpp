#include "vorasel/sim/PortThreads.h"

#include <vector>

namespace hv::sim {

PortThreads::~PortThreads() {
    closeAll();
    joinAll();
}

void PortThreads::reapLocked() {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if ((*it)->done.load(std::memory_order_acquire)) {
            if ((*it)->thread.joinable()) (*it)->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

void PortThreads::start(std::shared_ptr<SessionPort> port, Body body) {
    std::lock_guard lock(mutex_);
    reapLocked();
    auto w = std::make_shared<Worker>();
    w->port = std::move(port);
    // The thread shares its record, so a detached thread never outlives what it touches.
    w->thread = std::thread([w, body = std::move(body)] {
        body(w->port);
        w->done.store(true, std::memory_order_release);
    });
    workers_.push_back(std::move(w));
}

void PortThreads::closeAll() {
    std::vector<std::shared_ptr<SessionPort>> ports;
    {
        std::lock_guard lock(mutex_);
        for (auto &w : workers_)
            ports.push_back(w->port);
    }
    for (auto &p : ports)
        p->close();
}

void PortThreads::joinAll() {
    std::list<std::shared_ptr<Worker>> taken;
    {
        std::lock_guard lock(mutex_);
        taken.splice(taken.end(), workers_);
    }
    const auto me = std::this_thread::get_id();
    for (auto &w : taken) {
        if (!w->thread.joinable()) continue;
        if (w->thread.get_id() == me)
            w->thread.detach();
        else
            w->thread.join();
    }
}

size_t PortThreads::running() const {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const auto &w : workers_)
        if (!w->done.load(std::memory_order_acquire)) ++n;
    return n;
}

}  // namespace hv::sim
