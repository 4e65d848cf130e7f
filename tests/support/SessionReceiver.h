// Collects what a session's receive callback gets, for tests. The callback is a plain function,
// so each protocol has one process-wide receiver.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "Accessory/HVProtocolSession.h"

namespace hv::test {

class SessionReceiver {
public:
    struct Delivery {
        bool lost;  // a (null, 0) call
        std::vector<uint8_t> bytes;
    };

    // The receiver of protocol 0..5 and its callback.
    static SessionReceiver &of(int protocol);
    static HVSessionReceiveCallback callback(int protocol);

    std::vector<Delivery> deliveries() const;
    std::vector<uint8_t> bytes() const;  // all data, in order
    size_t losses() const;
    void clear();

    void record(uint8_t *data, uint16_t length);

private:
    mutable std::mutex mutex_;
    std::vector<Delivery> deliveries_;
};

}  // namespace hv::test
