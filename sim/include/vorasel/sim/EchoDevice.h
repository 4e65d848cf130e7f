// A loopback device: every byte received on a session is sent back on it. For transport tests.
#pragma once

#include <atomic>
#include <memory>

#include "vorasel/sim/PortThreads.h"
#include "vorasel/sim/SessionPort.h"

namespace hv::sim {

class EchoDevice final : public Device {
public:
    ~EchoDevice() override;
    void attachPort(std::shared_ptr<SessionPort> port) override;
    void powerLost() override;
    size_t portsServed() const { return served_.load(); }

private:
    std::atomic<size_t> served_{0};
    PortThreads threads_;
};

}  // namespace hv::sim
