// The frame every management operation shares: the operations' lock, the management session
// around the operation, and the wait for one answer.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "Accessory/Management/ManagerExchange.h"
#include "vorasel/HVManager.h"

class HVProtocolSession;

namespace hv::management {

// Serialises the operations (re-entrant for its holder).
std::recursive_mutex &operationLock();

// A management session for the life of one operation. Take operationLock() first.
class ManagerSession {
public:
    // Starts the session and a reassembly handler of `handlerCapacity`; status() says how.
    explicit ManagerSession(uint32_t handlerCapacity);
    // Ends the session if it started, then releases the handler.
    ~ManagerSession();
    ManagerSession(const ManagerSession &) = delete;
    ManagerSession &operator=(const ManagerSession &) = delete;

    // The start's result: HVManagerStatusSuccess, or the converted session status.
    HVManagerStatus status() const { return startStatus_; }
    // Sends one message (null: it could not be built) and deletes it.
    HVManagerStatus send(tlv_t *message);
    // The first answer to the message sent, waiting at most `timeout` from now.
    ManagerAnswer await(std::chrono::milliseconds timeout);
    // Ends the session now; a failed end gives its converted status, else `result`.
    HVManagerStatus finish(HVManagerStatus result);
    // The connection the session was opened on (0 when unknown).
    uint32_t connectionID() const;

private:
    HVManagerStatus startStatus_;
    std::shared_ptr<HVProtocolSession> session_;
    bool ended_ = false;
};

// One request/answer operation: `build` makes the request (null when it cannot), `evaluate`
// turns the answer into the result (and writes the outputs on success).
HVManagerStatus runOperation(const std::function<tlv_t *()> &build,
                             std::chrono::milliseconds timeout,
                             const std::function<bool(ManagerAnswer &)> &evaluate);

}  // namespace hv::management
