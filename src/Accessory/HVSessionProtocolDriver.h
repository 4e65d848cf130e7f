// The process-wide registry of protocol sessions, keyed by protocol: every other layer starts,
// ends and writes to sessions through it.
//
// One recursive lock is held for the whole of each operation, waits included, so operations
// on different protocols are serialised. Receive callbacks must never call back into the
// registry: a thread holding its lock may be waiting for the session thread that runs them.
#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "Accessory/HVProtocolSession.h"

class HVSessionProtocolDriver {
public:
    static HVSessionProtocolDriver &sharedClass();

    // 0, 1 or 2; 3 when the new session's streams failed to open.
    HVSessionStatus startSessionWithProtocol(int32_t protocol, HVSessionReceiveCallback callback);
    // 0 or 3.
    HVSessionStatus endSessionWithProtocol(int32_t protocol);
    // The session's write result, or 3.
    HVSessionStatus writeData(const uint8_t *data, uint16_t length, int32_t protocol);

    // For tests and diagnostics: the registered session, or null.
    std::shared_ptr<HVProtocolSession> sessionForProtocol(int32_t protocol);

private:
    HVSessionProtocolDriver() = default;
    std::recursive_mutex lock_;
    std::map<int32_t, std::shared_ptr<HVProtocolSession>> protocolSessions_;
};
