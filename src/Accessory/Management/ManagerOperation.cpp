#include "Accessory/Management/ManagerOperation.h"

#include "Accessory/HVSessionProtocolDriver.h"
#include "vorasel/HVLog.h"
#include "vorasel/dez_message.h"

namespace hv::management {

std::recursive_mutex &operationLock() {
    static auto *lock = new std::recursive_mutex;
    return *lock;
}

ManagerSession::ManagerSession(uint32_t handlerCapacity) {
    auto &registry = HVSessionProtocolDriver::sharedClass();
    const HVSessionStatus started =
        registry.startSessionWithProtocol(HVAccessoryProtocolManager, generalReceive);
    startStatus_ = HVManager::convertFromSessionStatus(started);
    if (startStatus_ != HVManagerStatusSuccess) {
        ended_ = true;
        return;
    }
    ManagerExchange::shared().beginOperation(handlerCapacity);
    // The session does not pass an end of its stream to the receive callback; a lost session
    // must still end a wait at once.
    session_ = registry.sessionForProtocol(HVAccessoryProtocolManager);
    if (session_) session_->setLossObserver([] { ManagerExchange::shared().sessionLost(); });
}

ManagerSession::~ManagerSession() {
    finish(HVManagerStatusSuccess);
}

HVManagerStatus ManagerSession::send(tlv_t *message) {
    const HVManagerStatus sent = HVManager::sharedClass().sendMessage(message);
    dez_delete(message);
    return sent;
}

ManagerAnswer ManagerSession::await(std::chrono::milliseconds timeout) {
    return ManagerExchange::shared().awaitAnswer(std::chrono::steady_clock::now() + timeout);
}

uint32_t ManagerSession::connectionID() const {
    if (!session_ || !session_->session() || !session_->session()->accessory()) return 0;
    return session_->session()->accessory()->connectionID();
}

HVManagerStatus ManagerSession::finish(HVManagerStatus result) {
    if (ended_) return result;
    ended_ = true;
    if (session_) session_->setLossObserver(nullptr);
    session_.reset();
    const HVSessionStatus ended =
        HVSessionProtocolDriver::sharedClass().endSessionWithProtocol(HVAccessoryProtocolManager);
    ManagerExchange::shared().endOperation();
    return ended == HVSessionStatusSuccess ? result : HVManager::convertFromSessionStatus(ended);
}

HVManagerStatus runOperation(const std::function<tlv_t *()> &build,
                             std::chrono::milliseconds timeout,
                             const std::function<bool(ManagerAnswer &)> &evaluate) {
    std::lock_guard lock(operationLock());
    ManagerSession session(1024);
    if (session.status() != HVManagerStatusSuccess) return session.status();
    HVManagerStatus result = session.send(build());
    if (result == HVManagerStatusSuccess) {
        HVLogVerbose("Wait for operation to complete.");
        ManagerAnswer answer = session.await(timeout);
        HVLogVerbose("Operation completed.");
        result = evaluate(answer) ? HVManagerStatusSuccess : HVManagerStatusFailed;
    }
    return session.finish(result);
}

}  // namespace hv::management
