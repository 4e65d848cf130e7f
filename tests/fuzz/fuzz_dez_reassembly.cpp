// The reassembly handler fed arbitrary chunk sequences.
//
// Input: one byte choosing the capacity, then commands: 0xFF a null chunk, 0xFE clear(),
// any other byte c a chunk of the next c bytes (fewer at the end of the input).
#include <cstddef>
#include <cstdint>

#include "Accessory/Management/HVPAPMessageHandler.h"
#include "dez_fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0 || size > 1u << 16) return 0;
    const uint32_t capacity = 16 + 8u * data[0];
    size_t delivered = 0;
    HVPAPMessageHandler handler(capacity, [&delivered](tlv_t *message) {
        ++delivered;
        hv::fuzz::checkTree(message, {nullptr, nullptr});
        hv::fuzz::exerciseExtractors(message, {nullptr, nullptr});
    });
    FUZZ_CHECK(handler.maxSize() == capacity);

    size_t at = 1;
    while (at < size) {
        const uint8_t command = data[at++];
        const uint32_t before = handler.bufferLength();
        if (command == 0xFF) {
            FUZZ_CHECK(handler.handleMessage(nullptr, 0) == HVPAPMessageHandlerStatusMessageError);
            FUZZ_CHECK(handler.bufferLength() == before);
            continue;
        }
        if (command == 0xFE) {
            handler.clear();
            FUZZ_CHECK(handler.bufferLength() == 0);
            continue;
        }
        const size_t n = command < size - at ? command : size - at;
        const HVPAPMessageHandlerStatus status =
            handler.handleMessage(data + at, static_cast<uint16_t>(n));
        at += n;
        const uint32_t after = handler.bufferLength();
        FUZZ_CHECK(after <= capacity);
        switch (status) {
            case HVPAPMessageHandlerStatusOk: {
                // Nothing complete is left behind: an empty chunk delivers nothing.
                FUZZ_CHECK(after <= before + n);
                const size_t count = delivered;
                const uint8_t none = 0;
                FUZZ_CHECK(handler.handleMessage(&none, 0) == HVPAPMessageHandlerStatusOk);
                FUZZ_CHECK(delivered == count && handler.bufferLength() == after);
                break;
            }
            case HVPAPMessageHandlerStatusBufferFull:
                FUZZ_CHECK(before + n > capacity && after == 0);
                break;
            case HVPAPMessageHandlerStatusMessageCorrupted:
                FUZZ_CHECK(after < before + n);
                break;
            default:
                FUZZ_CHECK(false);
        }
    }
    return 0;
}
