// The management receive path fed arbitrary accessory bytes between requests and waits:
// whatever arrives, a request's answer is one whole message of one kind (or a failure), and
// nothing outside an open request is taken.
//
// Input: one byte choosing the handler capacity (1,024 or the upgrade's 512), then commands:
// 0xFF a null chunk (a lost session's call), 0xFE a request goes out, 0xFD the wait ends (at
// once), 0xFC a new operation, 0xFB the session is lost; any other byte c a chunk of the next c
// bytes (fewer at the end of the input).
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Accessory/Management/ManagerExchange.h"
#include "dez_fuzz_checks.h"

using namespace hv::management;

namespace {

void checkAnswer(const ManagerAnswer &a, bool requestOpen) {
    if (!requestOpen) {
        FUZZ_CHECK(a.response == HVManagerResponseNone || a.response == HVManagerResponseError);
        return;
    }
    switch (a.response) {
        case HVManagerResponseStatus:
            FUZZ_CHECK(a.status <= 0xFF);
            break;
        case HVManagerResponseCounters:
            for (const auto &c : a.counters)
                FUZZ_CHECK(c.name().size() < 1024);
            break;
        case HVManagerResponsePropertyValue:
            FUZZ_CHECK(a.propertyValue.size() < 1024);
            break;
        case HVManagerResponseError:
            FUZZ_CHECK(a.status == 3);
            break;
        case HVManagerResponseGPIOState:
        case HVManagerResponseCapabilities:
        case HVManagerResponseNone:
            break;
    }
    // Only the decided kind carries a value.
    if (a.response != HVManagerResponseCounters) FUZZ_CHECK(a.counters.empty());
    if (a.response != HVManagerResponsePropertyValue) FUZZ_CHECK(a.propertyValue.empty());
    if (a.response != HVManagerResponseGPIOState) FUZZ_CHECK(a.gpioState == 0);
    if (a.response != HVManagerResponseCapabilities) FUZZ_CHECK(a.capabilities == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0 || size > 1u << 16) return 0;
    ManagerExchange &exchange = ManagerExchange::shared();
    const uint32_t capacity = data[0] & 1 ? 512 : 1024;
    exchange.beginOperation(capacity);
    bool open = false;
    std::vector<uint8_t> chunk;
    size_t at = 1;
    while (at < size) {
        const uint8_t command = data[at++];
        switch (command) {
            case 0xFF:
                generalReceive(nullptr, 0);
                continue;
            case 0xFE:
                exchange.openRequest();
                open = true;
                continue;
            case 0xFD: {
                const ManagerAnswer a = exchange.awaitAnswer(std::chrono::steady_clock::now());
                checkAnswer(a, open);
                open = false;
                continue;
            }
            case 0xFC:
                exchange.endOperation();
                exchange.beginOperation(capacity);
                open = false;
                continue;
            case 0xFB:
                exchange.sessionLost();
                continue;
            default:
                break;
        }
        const size_t n = command < size - at ? command : size - at;
        // An exact copy, so a read past the chunk is caught.
        chunk.assign(data + at, data + at + n);
        uint8_t none = 0;
        generalReceive(n ? chunk.data() : &none, static_cast<uint16_t>(n));
        at += n;
    }
    checkAnswer(exchange.awaitAnswer(std::chrono::steady_clock::now()), open);
    exchange.endOperation();
    return 0;
}
