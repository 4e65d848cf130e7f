// Checks shared by the TLV/DEZ fuzz targets. A failed check traps, so libFuzzer (or the
// corpus replay) reports it as a crash.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "vorasel/dez_message.h"

namespace hv::fuzz {

#define FUZZ_CHECK(condition)               \
    do {                                    \
        if (!(condition)) __builtin_trap(); \
    } while (0)

// Bytes that the tree may point at; a null `begin` skips the range checks.
struct Range {
    const uint8_t *begin;
    const uint8_t *end;
    bool holds(const void *p, size_t n) const {
        if (begin == nullptr) return true;
        const auto *b = static_cast<const uint8_t *>(p);
        return b >= begin && b <= end && static_cast<size_t>(end - b) >= n;
    }
};

// Links consistent, values inside the range, depth within the parser's limit.
inline void checkTree(const tlv_t *node, Range range, int depth = 1) {
    FUZZ_CHECK(depth <= TLV_PARSE_MAX_DEPTH);
    if (!tlv_is_constructed(node->tag)) {
        FUZZ_CHECK(node->first_child == nullptr && node->last_child == nullptr);
        FUZZ_CHECK(node->length == 0 || range.holds(node->value, node->length));
        return;
    }
    FUZZ_CHECK(node->value == nullptr && node->length == 0);
    const tlv_t *previous = nullptr;
    for (const tlv_t *child = node->first_child; child; child = child->next_sibling) {
        FUZZ_CHECK(child->parent == node && child->previous_sibling == previous);
        checkTree(child, range, depth + 1);
        previous = child;
    }
    FUZZ_CHECK(node->last_child == previous);
}

inline void checkString(const char *s, Range range) {
    FUZZ_CHECK(range.holds(s, 1));
    FUZZ_CHECK(range.begin == nullptr ||
               std::memchr(s, 0, range.end - reinterpret_cast<const uint8_t *>(s)));
}

// Every extractor on the tree: results are 0 or 5 (9 only from counters), and everything an
// accepted message hands out lies inside the range.
inline void exerciseExtractors(const tlv_t *m, Range r) {
    uint32_t a32, b32, c32;
    uint16_t a16, b16, c16, d16, e16, f16;
    uint8_t a8, b8, c8;
    const char *s1, *s2, *s3, *s4;
    const uint8_t *bytes;
    auto ok = [](uint32_t result) {
        FUZZ_CHECK(result == TLV_OK || result == TLV_ERR_UNREADABLE);
        return result == TLV_OK;
    };

    ok(dez_extract_capture_image_2(m, &a32));
    if (ok(dez_extract_error_code(m, &a32))) FUZZ_CHECK(a32 <= 0xFF);
    ok(dez_extract_gpio_state(m, &a16));
    ok(dez_extract_capabilities(m, &a32));
    ok(dez_extract_idle_power_timeout(m, &a16));
    if (ok(dez_extract_property_value(m, &s1))) checkString(s1, r);
    if (ok(dez_extract_read_property(m, &s1))) checkString(s1, r);
    if (ok(dez_extract_write_product_no(m, &s1))) checkString(s1, r);
    if (ok(dez_extract_write_property(m, &s1, &s2))) {
        checkString(s1, r);
        checkString(s2, r);
    }
    if (ok(dez_extract_counter(m, &s1, &a32))) checkString(s1, r);
    dez_counters_list_t *list = nullptr;
    const uint32_t counters = dez_extract_counters(m, &list);
    FUZZ_CHECK(counters == TLV_OK || counters == TLV_ERR_UNREADABLE ||
               counters == TLV_ERR_NO_MEMORY);
    FUZZ_CHECK((counters == TLV_OK) == (list != nullptr));
    if (list != nullptr) {
        const dez_counter_t *previous = nullptr;
        for (const dez_counter_t *e = list->first; e; e = e->next) {
            FUZZ_CHECK(e->previous == previous);
            checkString(e->name, r);
            previous = e;
        }
        FUZZ_CHECK(list->last == previous);
        dez_free_counters_list(&list);
        FUZZ_CHECK(list == nullptr);
    }
    ok(dez_extract_gpio_pins(m, &a8, &a16));
    ok(dez_extract_read_gpio(m, &a8, &a16));
    ok(dez_extract_write_gpio(m, &a8, &a16, &b16));
    if (ok(dez_extract_firmware_image(m, &a32, &b32, &bytes, &c32)))
        FUZZ_CHECK(c32 == 0 || r.holds(bytes, c32));
    if (ok(dez_extract_image_properties(m, &a16, &b16, &c16, &d16, &a32, &b32)))
        FUZZ_CHECK(a32 <= 0xFF && b32 <= 0xFFFF);
    ok(dez_extract_image_properties_2(m, &a16, &b16, &c16, &d16, &a32));
    if (ok(dez_extract_image(m, &a16, &b16, &c16, &d16, &a32, &b32, &bytes)))
        FUZZ_CHECK(uint32_t{a16} * b16 == 0 || r.holds(bytes, uint32_t{a16} * b16));
    if (ok(dez_extract_image_2(m, &a16, &b16, &c16, &d16, &a32, &bytes)))
        FUZZ_CHECK(uint32_t{a16} * b16 == 0 || r.holds(bytes, uint32_t{a16} * b16));
    if (ok(dez_extract_identity(m, &a8, &s1, &s2, &s3, &s4, &b8))) {
        for (const char *s : {s1, s2, s3, s4})
            checkString(s, r);
    }
    if (ok(dez_extract_identity_4(m, &a8, &s1, &s2, &b8, &s3, &c8))) {
        for (const char *s : {s1, s2, s3})
            checkString(s, r);
    }
    if (ok(dez_extract_sensor_info(m, &a32, &bytes, &b32)))
        FUZZ_CHECK(b32 == 0 || r.holds(bytes, b32));
    ok(dez_extract_sensor_info_5(m, &a32));
    ok(dez_extract_selftest_result(m, &a32, &a16, &b16, &c16, &d16, &e16, &f16));
}

}  // namespace hv::fuzz
