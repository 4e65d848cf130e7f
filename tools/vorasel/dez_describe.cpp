#include "dez_describe.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "vorasel/dez_message.h"

namespace vorasel::tool {

namespace {

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
    char line[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(line, sizeof line, fmt, args);
    va_end(args);
    return line;
}

std::string q(const char *text) {
    return quoted(text, std::strlen(text));
}

std::string capabilityNames(uint32_t bits) {
    std::string names;
    auto add = [&names](const char *name) {
        names += names.empty() ? " (" : ", ";
        names += name;
    };
    if (bits & DEZ_CAPABILITY_FINGERPRINT_SENSOR) add("fingerprint sensor");
    if (bits & DEZ_CAPABILITY_SMARTCARD_READER) add("smart-card reader");
    return names.empty() ? names : names + ")";
}

std::optional<std::string> emptyMessage(const tlv_t *m, const char *name) {
    if (tlv_get_length(m) == 0) return std::string(name);
    return std::string("not a valid ") + name + " message (it should carry no content)";
}

std::optional<std::string> describeCounters(const tlv_t *m) {
    dez_counters_list_t *list = nullptr;
    if (dez_extract_counters(m, &list) != TLV_OK) return std::nullopt;
    size_t count = 0;
    std::string entries;
    for (const dez_counter_t *e = list->first; e; e = e->next, ++count)
        entries += format(" %s=%u", q(e->name).c_str(), e->value);
    dez_free_counters_list(&list);
    return format("counters count=%zu", count) + entries;
}

std::optional<std::string> describeKnown(const tlv_t *m) {
    uint32_t a32, b32, c32;
    uint16_t a16, b16, c16, d16, e16, f16;
    uint8_t a8, b8, c8;
    const char *s1, *s2, *s3, *s4;
    const uint8_t *bytes;

    switch (m->tag) {
        case DEZ_RESET:
            return emptyMessage(m, "reset");
        case DEZ_READ_COUNTERS:
            return emptyMessage(m, "read_counters");
        case DEZ_RESET_COUNTERS:
            return emptyMessage(m, "reset_counters");
        case DEZ_GET_CAPABILITIES:
            return emptyMessage(m, "get_capabilities");
        case DEZ_CAPTURE_IMAGE_2:
            if (dez_extract_capture_image_2(m, &a32) == TLV_OK)
                return format("capture_image_2 number=%u", a32);
            break;
        case DEZ_ERROR_CODE:
            if (dez_extract_error_code(m, &a32) == TLV_OK)
                return format("error_code code=%u%s", a32, a32 == 0 ? " (success)" : "");
            break;
        case DEZ_GPIO_STATE:
            if (dez_extract_gpio_state(m, &a16) == TLV_OK)
                return format("gpio_state state=0x%04X", a16);
            break;
        case DEZ_PROPERTY_VALUE:
            if (dez_extract_property_value(m, &s1) == TLV_OK)
                return "property_value value=" + q(s1);
            break;
        case DEZ_CAPABILITIES:
            if (dez_extract_capabilities(m, &a32) == TLV_OK)
                return format("capabilities bits=0x%08X", a32) + capabilityNames(a32);
            break;
        case DEZ_WRITE_PRODUCT_NO:
            if (dez_extract_write_product_no(m, &s1) == TLV_OK)
                return "write_product_no product_no=" + q(s1);
            break;
        case DEZ_READ_PROPERTY:
            if (dez_extract_read_property(m, &s1) == TLV_OK) return "read_property key=" + q(s1);
            break;
        case DEZ_IDLE_POWER_TIMEOUT:
            if (dez_extract_idle_power_timeout(m, &a16) == TLV_OK)
                return format("idle_power_timeout timeout=%u", a16);
            break;
        case DEZ_COUNTER:
            if (dez_extract_counter(m, &s1, &a32) == TLV_OK)
                return "counter name=" + q(s1) + format(" value=%u", a32);
            break;
        case DEZ_COUNTERS:
            return describeCounters(m);
        case DEZ_GPIO_PINS:
            if (dez_extract_gpio_pins(m, &a8, &a16) == TLV_OK)
                return format("gpio_pins port=%u bitmask=0x%04X", a8, a16);
            break;
        case DEZ_READ_GPIO:
            if (dez_extract_read_gpio(m, &a8, &a16) == TLV_OK)
                return format("read_gpio port=%u bitmask=0x%04X", a8, a16);
            break;
        case DEZ_WRITE_GPIO:
            if (dez_extract_write_gpio(m, &a8, &a16, &b16) == TLV_OK)
                return format("write_gpio port=%u bitmask=0x%04X state=0x%04X", a8, a16, b16);
            break;
        case DEZ_WRITE_PROPERTY:
            if (dez_extract_write_property(m, &s1, &s2) == TLV_OK)
                return "write_property key=" + q(s1) + " value=" + q(s2);
            break;
        case DEZ_FIRMWARE_IMAGE:
            if (dez_extract_firmware_image(m, &a32, &b32, &bytes, &c32) == TLV_OK)
                return format("firmware_image image_size=%u offset=%u chunk=%u bytes", a32, b32,
                              c32);
            break;
        case DEZ_IMAGE_PROPERTIES:
            if (dez_extract_image_properties(m, &a16, &b16, &c16, &d16, &a32, &b32) == TLV_OK)
                return format("image_properties p1=%u p2=%u p3=%u p4=%u p5=%u p6=%u", a16, b16, c16,
                              d16, a32, b32);
            if (dez_extract_image_properties_2(m, &a16, &b16, &c16, &d16, &a32) == TLV_OK)
                return format("image_properties_2 p1=%u p2=%u p3=%u p4=%u p5=%u", a16, b16, c16,
                              d16, a32);
            break;
        case DEZ_IMAGE:
            if (dez_extract_image(m, &a16, &b16, &c16, &d16, &a32, &b32, &bytes) == TLV_OK)
                return format("image p1=%u p2=%u p3=%u p4=%u p5=%u p6=%u pixels=%u bytes", a16, b16,
                              c16, d16, a32, b32, static_cast<uint32_t>(a16) * b16);
            if (dez_extract_image_2(m, &a16, &b16, &c16, &d16, &a32, &bytes) == TLV_OK)
                return format("image_2 p1=%u p2=%u p3=%u p4=%u p5=%u pixels=%u bytes", a16, b16,
                              c16, d16, a32, static_cast<uint32_t>(a16) * b16);
            break;
        case DEZ_IDENTITY:
            if (dez_extract_identity(m, &a8, &s1, &s2, &s3, &s4, &b8) == TLV_OK)
                return format("identity b1=%u s1=", a8) + q(s1) + " s2=" + q(s2) + " s3=" + q(s3) +
                       " s4=" + q(s4) + format(" b2=%u", b8);
            if (dez_extract_identity_4(m, &a8, &s1, &s2, &b8, &s3, &c8) == TLV_OK)
                return format("identity_4 b1=%u s1=", a8) + q(s1) + " s2=" + q(s2) +
                       format(" b2=%u s3=", b8) + q(s3) + format(" b3=%u", c8);
            break;
        case DEZ_SENSOR_INFO:
            if (dez_extract_sensor_info(m, &a32, &bytes, &b32) == TLV_OK)
                return format("sensor_info number=%u bytes=%u bytes", a32, b32);
            if (dez_extract_sensor_info_5(m, &a32) == TLV_OK)
                return format("sensor_info_5 number=%u", a32);
            break;
        case DEZ_SELFTEST_RESULT:
            if (dez_extract_selftest_result(m, &a32, &a16, &b16, &c16, &d16, &e16, &f16) == TLV_OK)
                return format("selftest_result result=%u v1=%u v2=%u v3=%u v4=%u v5=%u v6=%u", a32,
                              a16, b16, c16, d16, e16, f16);
            break;
        default:
            return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

const char *dezMessageName(uint16_t tag) {
    switch (tag) {
        case DEZ_CAPTURE_IMAGE_2:
            return "capture_image_2";
        case DEZ_RESET:
            return "reset";
        case DEZ_READ_COUNTERS:
            return "read_counters";
        case DEZ_RESET_COUNTERS:
            return "reset_counters";
        case DEZ_ERROR_CODE:
            return "error_code";
        case DEZ_GPIO_STATE:
            return "gpio_state";
        case DEZ_PROPERTY_VALUE:
            return "property_value";
        case DEZ_CAPABILITIES:
            return "capabilities";
        case DEZ_WRITE_PRODUCT_NO:
            return "write_product_no";
        case DEZ_READ_PROPERTY:
            return "read_property";
        case DEZ_IDLE_POWER_TIMEOUT:
            return "idle_power_timeout";
        case DEZ_GET_CAPABILITIES:
            return "get_capabilities";
        case DEZ_COUNTER:
            return "counter";
        case DEZ_GPIO_PINS:
            return "gpio_pins";
        case DEZ_IMAGE_PROPERTIES:
            return "image_properties";
        case DEZ_FIRMWARE_IMAGE:
            return "firmware_image";
        case DEZ_READ_GPIO:
            return "read_gpio";
        case DEZ_WRITE_GPIO:
            return "write_gpio";
        case DEZ_WRITE_PROPERTY:
            return "write_property";
        case DEZ_IMAGE:
            return "image";
        case DEZ_IDENTITY:
            return "identity";
        case DEZ_COUNTERS:
            return "counters";
        case DEZ_SENSOR_INFO:
            return "sensor_info";
        case DEZ_SELFTEST_RESULT:
            return "selftest_result";
        default:
            return nullptr;
    }
}

std::optional<std::string> describeDezMessage(const tlv_t *root) {
    const char *name = dezMessageName(root->tag);
    if (name == nullptr) return std::nullopt;
    if (auto line = describeKnown(root)) return line;
    return std::string("not a valid ") + name + " message (fields missing or of the wrong size)";
}

std::string quoted(const char *text, size_t length) {
    std::string out = "\"";
    for (size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            out += escape;
        }
    }
    return out + "\"";
}

}  // namespace vorasel::tool
