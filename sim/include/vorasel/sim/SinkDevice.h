// A device that reads and discards everything it receives, counting bytes. For throughput
// and back-pressure tests.
#pragma once

#include <atomic>
#include <memory>

#include "vorasel/sim/PortThreads.h"
#include "vorasel/sim/SessionPort.h"

namespace hv::sim {

class SinkDevice final : public Device {
public:
    ~SinkDevice() override;
    void attachPort(std::shared_ptr<SessionPort> port) override;
    void powerLost() override;
    size_t consumed() const { return consumed_.load(); }

private:
    std::atomic<size_t> consumed_{0};
    PortThreads threads_;
};

}  // namespace hv::sim
