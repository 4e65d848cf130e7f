// Big-endian conversion of DEZ numbers.
#include "vorasel/marshal.h"

#include <cstring>

extern "C" {

uint32_t *inplace_encode32(uint32_t *value) {
    const uint32_t host = *value;
    const uint8_t bytes[4] = {static_cast<uint8_t>(host >> 24), static_cast<uint8_t>(host >> 16),
                              static_cast<uint8_t>(host >> 8), static_cast<uint8_t>(host)};
    std::memcpy(value, bytes, sizeof bytes);
    return value;
}

uint16_t *inplace_encode16(uint16_t *value) {
    const uint16_t host = *value;
    const uint8_t bytes[2] = {static_cast<uint8_t>(host >> 8), static_cast<uint8_t>(host)};
    std::memcpy(value, bytes, sizeof bytes);
    return value;
}

uint32_t decode32(const uint8_t *bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

uint16_t decode16(const uint8_t *bytes) {
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

}  // extern "C"
