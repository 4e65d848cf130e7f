#include "vorasel/sim/EchoDevice.h"

namespace hv::sim {

EchoDevice::~EchoDevice() {
    powerLost();
}

void EchoDevice::attachPort(std::shared_ptr<SessionPort> port) {
    ++served_;
    threads_.start(std::move(port), [](const std::shared_ptr<SessionPort> &p) {
        uint8_t buf[4096];
        for (;;) {
            const ptrdiff_t n = p->read(buf, sizeof buf, Clock::now() + std::chrono::seconds(1));
            if (n < 0) return;
            if (n > 0 && !p->write(buf, static_cast<size_t>(n))) return;
        }
    });
}

void EchoDevice::powerLost() {
    threads_.closeAll();
    threads_.joinAll();
}

}  // namespace hv::sim
