// What the management session thread hands to the operation waiting for an answer: the
// reassembly handler of the operation in progress, the answer to its open request, and the
// receive functions that fill them.
//
// A request is open from the moment it is sent until its wait ends. The first complete message
// (or receive failure) while it is open decides it; later messages are classified and logged
// but change nothing, so an answer that comes late, twice, or after the wait gave up never
// reaches another request. Values that live in the handler's buffer (the property value, the
// counter names) are copied while the handler still holds them.
//
// Thread rules: the operation side (beginOperation ... endOperation) runs on the thread that
// holds the manager's operation lock; generalReceive and generalHandleDEZ run on the manager
// session thread. One mutex guards the state here; it is never held while the handler runs, so
// the lock order is the handler's lock, then this one.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vorasel/HVManager.h"
#include "vorasel/lib_tlv_hl.h"

class HVPAPMessageHandler;

namespace hv::management {

// Kind of the message that decided a request.
enum HVManagerResponse : int32_t {
    HVManagerResponseStatus = 0,
    HVManagerResponseGPIOState = 1,
    HVManagerResponseCounters = 2,
    HVManagerResponsePropertyValue = 3,
    HVManagerResponseCapabilities = 4,
    HVManagerResponseError = 5,  // an unexpected message, a receive failure, a lost session
    HVManagerResponseNone = 6,   // nothing yet: the wait timed out
};

struct ManagerAnswer {
    HVManagerResponse response = HVManagerResponseNone;
    uint32_t status = 0;  // the error_code's status; 3 after a failure or unexpected message
    uint16_t gpioState = 0;
    uint32_t capabilities = 0;
    std::string propertyValue;
    std::vector<HVAccessoryCounter> counters;

    // An error_code with status 0.
    bool acknowledged() const { return response == HVManagerResponseStatus && status == 0; }
};

class ManagerExchange {
public:
    static ManagerExchange &shared();

    // A new operation on a new session: a reassembly handler of this capacity, no request
    // open, the session not lost.
    void beginOperation(uint32_t handlerCapacity);
    // The operation's session has ended: the handler goes, and nothing is accepted.
    void endOperation();
    // A request is about to be written: any earlier answer is forgotten.
    void openRequest();
    // Waits until the open request is decided, the session is lost, or the deadline passes,
    // then closes the request. The answer's response is None after a time-out.
    ManagerAnswer awaitAnswer(std::chrono::steady_clock::time_point deadline);
    // The session is lost: the wait in progress, and every later one of this operation, ends at
    // once with HVManagerResponseError.
    void sessionLost();

    // Session thread.
    void receive(const uint8_t *data, uint16_t length);
    void classify(tlv_t *message);

private:
    ManagerExchange() = default;
    // Stores the answer if it is the first to an open request.
    void decide(ManagerAnswer &&answer);
    static ManagerAnswer failure();

    std::mutex mutex_;
    std::condition_variable decided_;
    std::shared_ptr<HVPAPMessageHandler> handler_;
    bool open_ = false;
    bool answered_ = false;
    bool lost_ = false;
    ManagerAnswer answer_;
};

// The receive callback of the management session.
void generalReceive(uint8_t *data, uint16_t length);
// The callback of every reassembly handler of the management operations.
void generalHandleDEZ(tlv_t *message);

}  // namespace hv::management
