#include "Accessory/HVSessionProtocolDriver.h"

#include <string>

#include "Platform/ExternalAccessory/EAAccessoryManager.h"
#include "vorasel/HVLog.h"

using hv::platform::EAAccessoryManager;
using hv::platform::EASession;

HVSessionProtocolDriver &HVSessionProtocolDriver::sharedClass() {
    static HVSessionProtocolDriver *driver = new HVSessionProtocolDriver;
    return *driver;
}

HVSessionStatus HVSessionProtocolDriver::startSessionWithProtocol(
    int32_t protocol, HVSessionReceiveCallback callback) {
    std::lock_guard lock(lock_);
    const char *protocolString = HVProtocolSession::stringFromProtocol(protocol);
    std::shared_ptr<hv::platform::EAAccessory> accessory;
    if (protocolString) {
        for (const auto &candidate :
             EAAccessoryManager::sharedAccessoryManager().connectedAccessories()) {
            if (candidate->offersProtocol(protocolString)) {
                accessory = candidate;
                break;
            }
        }
    }
    if (!accessory) {
        HVLogVerbose("Accessory not found.");
        return HVSessionStatusAccessoryNotFound;
    }
    if (auto it = protocolSessions_.find(protocol); it != protocolSessions_.end()) {
        auto old = it->second;
        old->endSession();
        protocolSessions_.erase(protocol);
    }
    auto platformSession = EASession::create(accessory, protocolString);
    if (!platformSession) {
        HVLogError("Unable to create session for protocol %s!", protocolString);
        return HVSessionStatusCreateFailed;
    }
    auto session = std::make_shared<HVProtocolSession>(static_cast<HVAccessoryProtocol>(protocol),
                                                       std::move(platformSession), callback);
    if (session->startSession()) {
        protocolSessions_[protocol] = session;
        return HVSessionStatusSuccess;
    }
    session->endSession();
    // Callers take any non-zero status as a failed start.
    return HVSessionStatusError;
}

HVSessionStatus HVSessionProtocolDriver::endSessionWithProtocol(int32_t protocol) {
    std::lock_guard lock(lock_);
    auto it = protocolSessions_.find(protocol);
    if (it == protocolSessions_.end()) {
        HVLogError("Session not started for protocol %d", protocol);
        return HVSessionStatusError;
    }
    auto session = it->second;
    protocolSessions_.erase(it);
    session->endSession();
    return HVSessionStatusSuccess;
}

HVSessionStatus HVSessionProtocolDriver::writeData(const uint8_t *data, uint16_t length,
                                                   int32_t protocol) {
    std::lock_guard lock(lock_);
    auto it = protocolSessions_.find(protocol);
    if (it == protocolSessions_.end()) {
        HVLogError("Session not started for protocol %d", protocol);
        return HVSessionStatusError;
    }
    return it->second->writeData(data, length);
}

std::shared_ptr<HVProtocolSession> HVSessionProtocolDriver::sessionForProtocol(int32_t protocol) {
    std::lock_guard lock(lock_);
    auto it = protocolSessions_.find(protocol);
    return it == protocolSessions_.end() ? nullptr : it->second;
}
