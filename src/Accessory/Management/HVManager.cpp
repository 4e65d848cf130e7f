#include "vorasel/HVManager.h"

#include <cstdlib>
#include <cstring>

#include "Accessory/HVSessionProtocolDriver.h"
#include "Accessory/Management/ManagerOperation.h"
#include "vorasel/HVLog.h"
#include "vorasel/dez_message.h"
#include "vorasel/hv_version.h"

using hv::management::ManagerAnswer;
using hv::management::ManagerExchange;
using hv::management::runOperation;
using namespace std::chrono_literals;

namespace {
constexpr auto kCountersAndGpioTimeout = 1s;
constexpr auto kPropertyAndCapabilitiesTimeout = 2s;
// The session write takes a 16-bit length.
constexpr uint32_t kMaxMessage = 0xFFFF;
}  // namespace

HVManager &HVManager::sharedClass() {
    static auto *manager = new HVManager;
    return *manager;
}

HVManagerStatus HVManager::convertFromSessionStatus(int32_t sessionStatus) {
    switch (sessionStatus) {
        case HVSessionStatusSuccess:
            return HVManagerStatusSuccess;
        case HVSessionStatusCreateFailed:
            return HVManagerStatusSessionFailed;
        case HVSessionStatusAccessoryNotFound:
            return HVManagerStatusAccessoryNotFound;
        default:
            return HVManagerStatusFailed;
    }
}

HVManagerStatus HVManager::sendMessage(const tlv_t *message) {
    std::lock_guard lock(hv::management::operationLock());
    ManagerExchange::shared().openRequest();
    uint8_t *bytes = nullptr;
    uint32_t length = 0;
    if (tlv_write_tree(message, &bytes, &length) != TLV_OK) return HVManagerStatusEncodeFailed;
    if (length > kMaxMessage) {
        // Cut to 16 bits, the length would send a prefix the accessory cannot make sense of.
        HVLogError("Message of %u bytes is too long to send.", static_cast<unsigned>(length));
        std::free(bytes);
        return HVManagerStatusEncodeFailed;
    }
    const HVSessionStatus written = HVSessionProtocolDriver::sharedClass().writeData(
        bytes, static_cast<uint16_t>(length), HVAccessoryProtocolManager);
    std::free(bytes);
    return convertFromSessionStatus(written);
}

HVManagerStatus HVManager::readCounters(std::vector<HVAccessoryCounter> &counters) {
    return runOperation([] { return dez_build_simple(DEZ_READ_COUNTERS); }, kCountersAndGpioTimeout,
                        [&counters](ManagerAnswer &a) {
                            if (a.response != hv::management::HVManagerResponseCounters)
                                return false;
                            for (auto &c : a.counters)
                                counters.push_back(std::move(c));
                            return true;
                        });
}

HVManagerStatus HVManager::resetCounters() {
    return runOperation([] { return dez_build_simple(DEZ_RESET_COUNTERS); },
                        kCountersAndGpioTimeout, [](ManagerAnswer &a) { return a.acknowledged(); });
}

HVManagerStatus HVManager::readGPIOState(uint16_t *state, uint8_t port, uint16_t bitmask) {
    return runOperation([&] { return dez_build_read_gpio(&port, &bitmask); },
                        kCountersAndGpioTimeout,
                        [state](ManagerAnswer &a) {
                            if (a.response != hv::management::HVManagerResponseGPIOState)
                                return false;
                            if (state) *state = a.gpioState;
                            return true;
                        });
}

HVManagerStatus HVManager::writeGPIOState(uint16_t state, uint8_t port, uint16_t bitmask) {
    return runOperation([&] { return dez_build_write_gpio(&port, &bitmask, &state); },
                        kCountersAndGpioTimeout, [](ManagerAnswer &a) { return a.acknowledged(); });
}

HVManagerStatus HVManager::readPropertyValue(char *value, const char *key) {
    return readPropertyValueWithCapacity(value, kPropertyValueCapacity, key);
}

HVManagerStatus HVManager::readPropertyValueWithCapacity(char *value, size_t capacity,
                                                         const char *key) {
    return runOperation(
        [key] { return dez_build_read_property(key); }, kPropertyAndCapabilitiesTimeout,
        [value, capacity](ManagerAnswer &a) {
            if (a.response != hv::management::HVManagerResponsePropertyValue) return false;
            const size_t size = a.propertyValue.size() + 1;
            if (!value) return true;
            if (size > capacity) {
                HVLogError("Property value of %zu bytes does not fit %zu.", size, capacity);
                return false;
            }
            std::memcpy(value, a.propertyValue.c_str(), size);
            return true;
        });
}

HVManagerStatus HVManager::writePropertyValue(const char *value, const char *key) {
    return runOperation([value, key] { return dez_build_write_property(key, value); },
                        kPropertyAndCapabilitiesTimeout,
                        [](ManagerAnswer &a) { return a.acknowledged(); });
}

HVManagerStatus HVManager::getCapabilities(uint32_t *capabilities) {
    return runOperation([] { return dez_build_simple(DEZ_GET_CAPABILITIES); },
                        kPropertyAndCapabilitiesTimeout,
                        [capabilities](ManagerAnswer &a) {
                            if (a.response != hv::management::HVManagerResponseCapabilities)
                                return false;
                            if (capabilities) *capabilities = a.capabilities;
                            return true;
                        });
}

HVManagerStatus HVManager::getLibraryVersion(const char **version) {
    if (version) *version = hv_library_version;
    return HVManagerStatusSuccess;
}
