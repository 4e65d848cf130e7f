#include "vorasel/sim/SinkDevice.h"

namespace hv::sim {

SinkDevice::~SinkDevice() {
    powerLost();
}

void SinkDevice::attachPort(std::shared_ptr<SessionPort> port) {
    threads_.start(std::move(port), [this](const std::shared_ptr<SessionPort> &p) {
        uint8_t buf[4096];
        for (;;) {
            const ptrdiff_t n = p->read(buf, sizeof buf, Clock::now() + std::chrono::seconds(1));
            if (n < 0) return;
            consumed_ += static_cast<size_t>(n);
        }
    });
}

void SinkDevice::powerLost() {
    threads_.closeAll();
    threads_.joinAll();
}

}  // namespace hv::sim
