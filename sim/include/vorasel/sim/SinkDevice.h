// A device that reads and discards everything it receives, counting bytes. For throughput
// and back-pressure tests.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "vorasel/sim/SessionPort.h"

namespace hv::sim {

class SinkDevice final : public Device {
public:
    ~SinkDevice() override;
    void attachPort(std::shared_ptr<SessionPort> port) override;
    void powerLost() override;
    size_t consumed() const { return consumed_.load(); }

private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<SessionPort>> ports_;
    std::vector<std::thread> threads_;
    std::atomic<size_t> consumed_{0};
};

}  // namespace hv::sim
