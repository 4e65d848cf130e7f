#include "Accessory/Management/ManagerExchange.h"

#include <utility>

#include "Accessory/Management/HVPAPMessageHandler.h"
#include "vorasel/HVLog.h"
#include "vorasel/dez_message.h"

namespace hv::management {

ManagerExchange &ManagerExchange::shared() {
    static auto *exchange = new ManagerExchange;
    return *exchange;
}

ManagerAnswer ManagerExchange::failure() {
    ManagerAnswer a;
    a.response = HVManagerResponseError;
    a.status = 3;
    return a;
}

void ManagerExchange::beginOperation(uint32_t handlerCapacity) {
    auto handler = std::make_shared<HVPAPMessageHandler>(handlerCapacity, generalHandleDEZ);
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
    open_ = false;
    answered_ = false;
    lost_ = false;
    answer_ = ManagerAnswer{};
}

void ManagerExchange::endOperation() {
    std::shared_ptr<HVPAPMessageHandler> gone;
    std::lock_guard lock(mutex_);
    gone = std::move(handler_);
    open_ = false;
}

void ManagerExchange::openRequest() {
    std::lock_guard lock(mutex_);
    open_ = true;
    answered_ = false;
    answer_ = ManagerAnswer{};
}

ManagerAnswer ManagerExchange::awaitAnswer(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    decided_.wait_until(lock, deadline, [this] { return answered_ || lost_; });
    open_ = false;
    if (!answered_) return lost_ ? failure() : ManagerAnswer{};
    answered_ = false;
    return std::exchange(answer_, ManagerAnswer{});
}

void ManagerExchange::sessionLost() {
    {
        std::lock_guard lock(mutex_);
        lost_ = true;
    }
    decided_.notify_all();
}

void ManagerExchange::decide(ManagerAnswer &&answer) {
    {
        std::lock_guard lock(mutex_);
        if (!open_ || answered_) return;
        answer_ = std::move(answer);
        answered_ = true;
    }
    decided_.notify_all();
}

void ManagerExchange::receive(const uint8_t *data, uint16_t length) {
    std::shared_ptr<HVPAPMessageHandler> handler;
    {
        std::lock_guard lock(mutex_);
        handler = handler_;
    }
    if (!handler) return;
    const HVPAPMessageHandlerStatus status = handler->handleMessage(data, length);
    if (status == HVPAPMessageHandlerStatusOk) return;
    HVLogError("[HVPAPMessageHandler handleMessage] returned %s",
               HVPAPMessageHandler::stringFromStatus(status));
    decide(failure());
}

void ManagerExchange::classify(tlv_t *message) {
    ManagerAnswer a;
    const char *value = nullptr;
    dez_counters_list_t *list = nullptr;
    if (dez_extract_error_code(message, &a.status) == TLV_OK) {
        a.response = HVManagerResponseStatus;
        HVLogVerbose("Received status code %d.", static_cast<int>(a.status));
    } else if (dez_extract_gpio_state(message, &a.gpioState) == TLV_OK) {
        a.response = HVManagerResponseGPIOState;
        HVLogVerbose("Received GPIO state %d.", static_cast<int>(a.gpioState));
    } else if (dez_extract_counters(message, &list) == TLV_OK) {
        a.response = HVManagerResponseCounters;
        HVLogVerbose("Received counter list.");
        // The names point into the handler's buffer: copy them now.
        for (const dez_counter_t *c = list->first; c; c = c->next)
            a.counters.emplace_back(c->name, c->value);
        dez_free_counters_list(&list);
    } else if (dez_extract_property_value(message, &value) == TLV_OK) {
        a.response = HVManagerResponsePropertyValue;
        HVLogVerbose("Received property value %s", value);
        a.propertyValue = value;
    } else if (dez_extract_capabilities(message, &a.capabilities) == TLV_OK) {
        a.response = HVManagerResponseCapabilities;
        HVLogVerbose("Received capabilites are %d", static_cast<int>(a.capabilities));
    } else {
        HVLogError("Received unexpected message.");
        a = failure();
    }
    decide(std::move(a));
}

void generalReceive(uint8_t *data, uint16_t length) {
    ManagerExchange::shared().receive(data, length);
}

void generalHandleDEZ(tlv_t *message) {
    ManagerExchange::shared().classify(message);
}

}  // namespace hv::management
