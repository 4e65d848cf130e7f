#include "vorasel/sim/SinkDevice.h"

namespace hv::sim {

SinkDevice::~SinkDevice() {
    powerLost();
}

void SinkDevice::attachPort(std::shared_ptr<SessionPort> port) {
    std::lock_guard lock(mutex_);
    ports_.push_back(port);
    threads_.emplace_back([this, port] {
        uint8_t buf[4096];
        for (;;) {
            const ptrdiff_t n = port->read(buf, sizeof buf, Clock::now() + std::chrono::seconds(1));
            if (n < 0) return;
            consumed_ += static_cast<size_t>(n);
        }
    });
}

void SinkDevice::powerLost() {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        for (auto &p : ports_)
            p->close();
        ports_.clear();
        threads.swap(threads_);
    }
    for (auto &t : threads)
        t.join();
}

}  // namespace hv::sim
