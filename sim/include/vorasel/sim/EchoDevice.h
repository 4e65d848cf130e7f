// A loopback device: every byte received on a session is sent back on it. For transport tests.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "vorasel/sim/SessionPort.h"

namespace hv::sim {

class EchoDevice final : public Device {
public:
    ~EchoDevice() override;
    void attachPort(std::shared_ptr<SessionPort> port) override;
    void powerLost() override;
    size_t portsServed() const { return served_.load(); }

private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<SessionPort>> ports_;
    std::vector<std::thread> threads_;
    std::atomic<size_t> served_{0};
};

}  // namespace hv::sim
