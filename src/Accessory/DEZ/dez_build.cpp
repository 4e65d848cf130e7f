// DEZ builders: message trees whose nodes point at the caller's (converted) variables.
#include <cstring>
#include <initializer_list>

#include "vorasel/dez_message.h"
#include "vorasel/marshal.h"

namespace {

const uint8_t *bytesOf(const void *p) {
    return static_cast<const uint8_t *>(p);
}

tlv_t *number32(uint16_t tag, uint32_t *value) {
    if (value == nullptr) return nullptr;
    return tlv_create(tag, 4, bytesOf(inplace_encode32(value)));
}

tlv_t *number16(uint16_t tag, uint16_t *value) {
    if (value == nullptr) return nullptr;
    return tlv_create(tag, 2, bytesOf(inplace_encode16(value)));
}

tlv_t *number8(uint8_t *value) {
    if (value == nullptr) return nullptr;
    return tlv_create(DEZ_FIELD_NUMBER, 1, value);
}

// The least significant byte (or two) of a 32-bit variable: after conversion those are its
// last bytes in memory.
tlv_t *lowByteOf32(uint16_t tag, uint32_t *value) {
    if (value == nullptr) return nullptr;
    return tlv_create(tag, 1, bytesOf(inplace_encode32(value)) + 3);
}

tlv_t *low16Of32(uint32_t *value) {
    if (value == nullptr) return nullptr;
    return tlv_create(DEZ_FIELD_NUMBER, 2, bytesOf(inplace_encode32(value)) + 2);
}

// The characters and their terminating zero.
tlv_t *string(uint16_t tag, const char *text) {
    if (text == nullptr) return nullptr;
    return tlv_create(tag, static_cast<uint32_t>(std::strlen(text) + 1), bytesOf(text));
}

tlv_t *block(const uint8_t *bytes, uint32_t length) {
    if (bytes == nullptr && length != 0) return nullptr;
    return tlv_create(DEZ_FIELD_BYTES, length, bytes);
}

// Links the fields under a new message node, or, if any node is missing, deletes them all.
tlv_t *assemble(uint16_t tag, std::initializer_list<tlv_t *> fields) {
    tlv_t *message = tlv_create(tag, 0, nullptr);
    bool complete = message != nullptr;
    for (tlv_t *field : fields)
        complete = complete && field != nullptr;
    if (!complete) {
        tlv_delete(message);
        for (tlv_t *field : fields)
            tlv_delete(field);
        return nullptr;
    }
    for (tlv_t *field : fields)
        tlv_append_child(message, field);
    return message;
}

uint32_t pixelCount(const uint16_t *p1, const uint16_t *p2) {
    return p1 != nullptr && p2 != nullptr ? static_cast<uint32_t>(*p1) * *p2 : 0;
}

}  // namespace

extern "C" {

tlv_t *dez_build_simple(uint16_t tag) {
    return tlv_create(tag, 0, nullptr);
}

tlv_t *dez_build_capture_image_2(uint32_t *number) {
    return number32(DEZ_CAPTURE_IMAGE_2, number);
}

tlv_t *dez_build_error_code(uint32_t *code) {
    return lowByteOf32(DEZ_ERROR_CODE, code);
}

tlv_t *dez_build_gpio_state(uint16_t *state) {
    return number16(DEZ_GPIO_STATE, state);
}

tlv_t *dez_build_capabilities(uint32_t *bits) {
    return number32(DEZ_CAPABILITIES, bits);
}

tlv_t *dez_build_idle_power_timeout(uint16_t *timeout) {
    return number16(DEZ_IDLE_POWER_TIMEOUT, timeout);
}

tlv_t *dez_build_property_value(const char *value) {
    return string(DEZ_PROPERTY_VALUE, value);
}

tlv_t *dez_build_read_property(const char *key) {
    return string(DEZ_READ_PROPERTY, key);
}

tlv_t *dez_build_write_product_no(const char *product_no) {
    return string(DEZ_WRITE_PRODUCT_NO, product_no);
}

tlv_t *dez_build_write_property(const char *key, const char *value) {
    return assemble(DEZ_WRITE_PROPERTY,
                    {string(DEZ_FIELD_STRING, key), string(DEZ_FIELD_STRING, value)});
}

tlv_t *dez_build_counter(const char *name, uint32_t *value) {
    return assemble(DEZ_COUNTER,
                    {string(DEZ_FIELD_STRING, name), number32(DEZ_FIELD_NUMBER, value)});
}

tlv_t *dez_build_counters(dez_counters_list_t *list) {
    if (list == nullptr) return nullptr;
    tlv_t *message = tlv_create(DEZ_COUNTERS, 0, nullptr);
    if (message == nullptr) return nullptr;
    for (dez_counter_t *entry = list->first; entry != nullptr; entry = entry->next) {
        tlv_t *counter = dez_build_counter(entry->name, &entry->value);
        if (counter == nullptr) {
            tlv_delete(message);
            return nullptr;
        }
        tlv_append_child(message, counter);
    }
    return message;
}

tlv_t *dez_build_gpio_pins(uint8_t *port, uint16_t *bitmask) {
    return assemble(DEZ_GPIO_PINS, {number8(port), number16(DEZ_FIELD_NUMBER, bitmask)});
}

tlv_t *dez_build_read_gpio(uint8_t *port, uint16_t *bitmask) {
    return assemble(DEZ_READ_GPIO, {dez_build_gpio_pins(port, bitmask)});
}

tlv_t *dez_build_write_gpio(uint8_t *port, uint16_t *bitmask, uint16_t *state) {
    return assemble(DEZ_WRITE_GPIO,
                    {dez_build_gpio_pins(port, bitmask), number16(DEZ_FIELD_NUMBER, state)});
}

tlv_t *dez_build_firmware_image(uint32_t *image_size, uint32_t *offset, const uint8_t *chunk,
                                uint32_t chunk_length) {
    return assemble(DEZ_FIRMWARE_IMAGE,
                    {number32(DEZ_FIELD_NUMBER, image_size), number32(DEZ_FIELD_NUMBER, offset),
                     block(chunk, chunk_length)});
}

tlv_t *dez_build_image_properties(uint16_t *p1, uint16_t *p2, uint16_t *p3, uint16_t *p4,
                                  uint32_t *p5, uint32_t *p6) {
    return assemble(DEZ_IMAGE_PROPERTIES,
                    {number16(DEZ_FIELD_NUMBER, p1), number16(DEZ_FIELD_NUMBER, p2),
                     number16(DEZ_FIELD_NUMBER, p3), number16(DEZ_FIELD_NUMBER, p4),
                     lowByteOf32(DEZ_FIELD_NUMBER, p5), low16Of32(p6)});
}

tlv_t *dez_build_image_properties_2(uint16_t *p1, uint16_t *p2, uint16_t *p3, uint16_t *p4,
                                    uint8_t *p5) {
    return assemble(DEZ_IMAGE_PROPERTIES,
                    {number16(DEZ_FIELD_NUMBER, p1), number16(DEZ_FIELD_NUMBER, p2),
                     number16(DEZ_FIELD_NUMBER, p3), number16(DEZ_FIELD_NUMBER, p4), number8(p5)});
}

tlv_t *dez_build_image(uint16_t *p1, uint16_t *p2, uint16_t *p3, uint16_t *p4, uint32_t *p5,
                       uint32_t *p6, const uint8_t *pixels) {
    const uint32_t count = pixelCount(p1, p2);  // host values, before conversion
    return assemble(DEZ_IMAGE,
                    {dez_build_image_properties(p1, p2, p3, p4, p5, p6), block(pixels, count)});
}

tlv_t *dez_build_image_2(uint16_t *p1, uint16_t *p2, uint16_t *p3, uint16_t *p4, uint8_t *p5,
                         const uint8_t *pixels) {
    const uint32_t count = pixelCount(p1, p2);
    return assemble(DEZ_IMAGE,
                    {dez_build_image_properties_2(p1, p2, p3, p4, p5), block(pixels, count)});
}

tlv_t *dez_build_identity(uint8_t *b1, const char *s1, const char *s2, const char *s3,
                          const char *s4, uint8_t *b2) {
    return assemble(DEZ_IDENTITY,
                    {number8(b1), string(DEZ_FIELD_STRING, s1), string(DEZ_FIELD_STRING, s2),
                     string(DEZ_FIELD_STRING, s3), string(DEZ_FIELD_STRING, s4), number8(b2)});
}

tlv_t *dez_build_identity_4(uint8_t *b1, const char *s1, const char *s2, uint8_t *b2,
                            const char *s3, uint8_t *b3) {
    return assemble(DEZ_IDENTITY,
                    {number8(b1), string(DEZ_FIELD_STRING, s1), string(DEZ_FIELD_STRING, s2),
                     number8(b2), string(DEZ_FIELD_STRING, s3), number8(b3)});
}

tlv_t *dez_build_sensor_info(uint32_t *number, const uint8_t *bytes, uint32_t count) {
    return assemble(DEZ_SENSOR_INFO, {number32(DEZ_FIELD_NUMBER, number), block(bytes, count)});
}

tlv_t *dez_build_sensor_info_5(uint32_t *number) {
    return assemble(DEZ_SENSOR_INFO, {number32(DEZ_FIELD_NUMBER, number)});
}

tlv_t *dez_build_selftest_result(uint32_t *result, uint16_t *v1, uint16_t *v2, uint16_t *v3,
                                 uint16_t *v4, uint16_t *v5, uint16_t *v6) {
    return assemble(DEZ_SELFTEST_RESULT,
                    {lowByteOf32(DEZ_FIELD_NUMBER, result), number16(DEZ_FIELD_NUMBER, v1),
                     number16(DEZ_FIELD_NUMBER, v2), number16(DEZ_FIELD_NUMBER, v3),
                     number16(DEZ_FIELD_NUMBER, v4), number16(DEZ_FIELD_NUMBER, v5),
                     number16(DEZ_FIELD_NUMBER, v6)});
}

}  // extern "C"
