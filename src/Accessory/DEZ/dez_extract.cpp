// DEZ extractors: check a received tree against one message and take its values out.
//
// Every extractor checks first and writes its out values only once the whole message has
// been accepted, so a rejected message leaves them as they were.
#include "tlv/tlv_alloc.h"
#include "vorasel/dez_message.h"
#include "vorasel/marshal.h"

namespace {

template <typename T>
void put(T *out, T value) {
    if (out != nullptr) *out = value;
}

bool isString(const tlv_t *node, uint16_t tag) {
    return valid_tag(node, tag) && node->length >= 1 && null_terminated(node);
}

const char *text(const tlv_t *node) {
    return reinterpret_cast<const char *>(node->value);
}

// Walks a constructed message's children in order, one per field; each reader takes the next
// child and checks its tag and length.
class Fields {
public:
    explicit Fields(const tlv_t *message) : next_(message->first_child) {}

    bool number8(uint8_t &out) {
        const tlv_t *node = take();
        if (!valid(node, DEZ_FIELD_NUMBER, 1)) return false;
        out = node->value[0];
        return true;
    }
    bool number16(uint16_t &out) {
        const tlv_t *node = take();
        if (!valid(node, DEZ_FIELD_NUMBER, 2)) return false;
        out = decode16(node->value);
        return true;
    }
    bool number32(uint32_t &out) {
        const tlv_t *node = take();
        if (!valid(node, DEZ_FIELD_NUMBER, 4)) return false;
        out = decode32(node->value);
        return true;
    }
    bool string(const char *&out) {
        const tlv_t *node = take();
        if (!isString(node, DEZ_FIELD_STRING)) return false;
        out = text(node);
        return true;
    }
    bool block(const uint8_t *&bytes, uint32_t &length) {
        const tlv_t *node = take();
        if (!valid_tag(node, DEZ_FIELD_BYTES)) return false;
        bytes = node->value;
        length = node->length;
        return true;
    }
    // A nested message: the child with that code, or null.
    const tlv_t *message(uint16_t code) {
        const tlv_t *node = take();
        return valid_tag(node, code) ? node : nullptr;
    }

private:
    const tlv_t *take() {
        const tlv_t *node = next_;
        if (node != nullptr) next_ = node->next_sibling;
        return node;
    }
    const tlv_t *next_;
};

uint32_t singleString(const tlv_t *message, uint16_t code, const char **out) {
    if (!isString(message, code)) return TLV_ERR_UNREADABLE;
    put(out, text(message));
    return TLV_OK;
}

}  // namespace

extern "C" {

uint32_t dez_extract_capture_image_2(const tlv_t *message, uint32_t *number) {
    if (!valid(message, DEZ_CAPTURE_IMAGE_2, 4)) return TLV_ERR_UNREADABLE;
    put(number, decode32(message->value));
    return TLV_OK;
}

uint32_t dez_extract_error_code(const tlv_t *message, uint32_t *code) {
    if (!valid(message, DEZ_ERROR_CODE, 1)) return TLV_ERR_UNREADABLE;
    put(code, static_cast<uint32_t>(message->value[0]));
    return TLV_OK;
}

uint32_t dez_extract_gpio_state(const tlv_t *message, uint16_t *state) {
    if (!valid(message, DEZ_GPIO_STATE, 2)) return TLV_ERR_UNREADABLE;
    put(state, decode16(message->value));
    return TLV_OK;
}

uint32_t dez_extract_capabilities(const tlv_t *message, uint32_t *bits) {
    if (!valid(message, DEZ_CAPABILITIES, 4)) return TLV_ERR_UNREADABLE;
    put(bits, decode32(message->value));
    return TLV_OK;
}

uint32_t dez_extract_idle_power_timeout(const tlv_t *message, uint16_t *timeout) {
    if (!valid(message, DEZ_IDLE_POWER_TIMEOUT, 2)) return TLV_ERR_UNREADABLE;
    put(timeout, decode16(message->value));
    return TLV_OK;
}

uint32_t dez_extract_property_value(const tlv_t *message, const char **value) {
    return singleString(message, DEZ_PROPERTY_VALUE, value);
}

uint32_t dez_extract_read_property(const tlv_t *message, const char **key) {
    return singleString(message, DEZ_READ_PROPERTY, key);
}

uint32_t dez_extract_write_product_no(const tlv_t *message, const char **product_no) {
    return singleString(message, DEZ_WRITE_PRODUCT_NO, product_no);
}

uint32_t dez_extract_write_property(const tlv_t *message, const char **key, const char **value) {
    if (!valid_tag(message, DEZ_WRITE_PROPERTY)) return TLV_ERR_UNREADABLE;
    Fields fields(message);
    const char *k, *v;
    if (!fields.string(k) || !fields.string(v)) return TLV_ERR_UNREADABLE;
    put(key, k);
    put(value, v);
    return TLV_OK;
}

uint32_t dez_extract_counter(const tlv_t *message, const char **name, uint32_t *value) {
    if (!valid_tag(message, DEZ_COUNTER)) return TLV_ERR_UNREADABLE;
    Fields fields(message);
    const char *n;
    uint32_t v;
    if (!fields.string(n) || !fields.number32(v)) return TLV_ERR_UNREADABLE;
    put(name, n);
    put(value, v);
    return TLV_OK;
}

uint32_t dez_extract_counters(const tlv_t *message, dez_counters_list_t **list) {
    if (list == nullptr || !valid_tag(message, DEZ_COUNTERS)) return TLV_ERR_UNREADABLE;
    auto *head = static_cast<dez_counters_list_t *>(hv::tlv::allocate(sizeof(dez_counters_list_t)));
    *list = head;
    if (head == nullptr) return TLV_ERR_NO_MEMORY;
    *head = dez_counters_list_t{nullptr, nullptr};

    for (const tlv_t *child = message->first_child; child; child = child->next_sibling) {
        auto *entry = static_cast<dez_counter_t *>(hv::tlv::allocate(sizeof(dez_counter_t)));
        if (entry == nullptr) {
            dez_free_counters_list(list);
            return TLV_ERR_NO_MEMORY;
        }
        *entry = dez_counter_t{nullptr, 0, nullptr, head->last};
        if (head->last != nullptr)
            head->last->next = entry;
        else
            head->first = entry;
        head->last = entry;
        if (dez_extract_counter(child, &entry->name, &entry->value) != TLV_OK) {
            dez_free_counters_list(list);
            return TLV_ERR_UNREADABLE;
        }
    }
    return TLV_OK;
}

uint32_t dez_extract_gpio_pins(const tlv_t *message, uint8_t *port, uint16_t *bitmask) {
    if (!valid_tag(message, DEZ_GPIO_PINS)) return TLV_ERR_UNREADABLE;
    Fields fields(message);
    uint8_t p;
    uint16_t b;
    if (!fields.number8(p) || !fields.number16(b)) return TLV_ERR_UNREADABLE;
    put(port, p);
    put(bitmask, b);
    return TLV_OK;
}

uint32_t dez_extract_read_gpio(const tlv_t *message, uint8_t *port, uint16_t *bitmask) {
    if (!valid_tag(message, DEZ_READ_GPIO)) return TLV_ERR_UNREADABLE;
    Fields fields(message);
    return dez_extract_gpio_pins(fields.message(DEZ_GPIO_PINS), port, bitmask);
}

uint32_t dez_extract_write_gpio(const tlv_t *message, uint8_t *port, uint16_t *bitmask,
                                uint16_t *state) {
    if (!valid_tag(message, DEZ_WRITE_GPIO)) return TLV_ERR_UNREADABLE;
    Fields fields(message);
    const tlv_t *pins = fields.message(DEZ_GPIO_PINS);
    uint16_t s;
    if (pins == nullptr || !fields.number16(s)) return TLV_ERR_UNREADABLE;
    uint8_t p;
    uint16_t b;
    if (dez_extract_gpio_pins(pins, &p, &b) != TLV_OK) return TLV_ERR_UNREADABLE;
    put(port, p);
    put(bitmask, b);
    put(state, s);
    return TLV_OK;
}

uint32_t dez_extract_firmware_image(const tlv_t *message, uint32_t *image_size, uint32_t *offset,
                                    const uint8_t **chunk, uint32_t *chunk_length) {
    if (!valid_tag(message, DEZ_FIRMWARE_IMAGE)) return TLV_ERR_UNREADABLE;
    Fields fields(message);
    uint32_t size, at, length;
    const uint8_t *bytes;
    if (!fields.number32(size) || !fields.number32(at) || !fields.block(bytes, length))
        return TLV_ERR_UNREADABLE;
    put(image_size, size);
    put(offset, at);
    put(chunk, bytes);
    put(chunk_length, length);
    return TLV_OK;
}

uint32_t dez_extract_image_properties(const tlv_t *message, uint16_t *p1, uint16_t *p2,
                                      uint16_t *p3, uint16_t *p4, uint32_t *p5, uint32_t *p6) {
    if (!valid_tag(message, DEZ_IMAGE_PROPERTIES)) return TLV_ERR_UNREADABLE;
    Fields fields(message);
    uint16_t v1, v2, v3, v4, v6;
    uint8_t v5;
    if (!fields.number16(v1) || !fields.number16(v2) || !fields.number16(v3) ||
        !fields.number16(v4) || !fields.number8(v5) || !fields.number16(v6))
        return TLV_ERR_UNREADABLE;
    put(p1, v1);
    put(p2, v2);
    put(p3, v3);
    put(p4, v4);
    put(p5, static_cast<uint32_t>(v5));
    put(p6, static_cast<uint32_t>(v6));
    return TLV_OK;
}

uint32_t dez_extract_image_properties_2(const tlv_t *message, uint16_t *p1, uint16_t *p2,
                                        uint16_t *p3, uint16_t *p4, uint32_t *p5) {
    if (!valid_tag(message, DEZ_IMAGE_PROPERTIES)) return TLV_ERR_UNREADABLE;
    Fields fields(message);
    uint16_t v1, v2, v3, v4;
    uint8_t v5;
    if (!fields.number16(v1) || !fields.number16(v2) || !fields.number16(v3) ||
        !fields.number16(v4) || !fields.number8(v5))
        return TLV_ERR_UNREADABLE;
    put(p1, v1);
    put(p2, v2);
    put(p3, v3);
    put(p4, v4);
    put(p5, static_cast<uint32_t>(v5));
    return TLV_OK;
}

uint32_t dez_extract_image(const tlv_t *message, uint16_t *p1, uint16_t *p2, uint16_t *p3,
                           uint16_t *p4, uint32_t *p5, uint32_t *p6, const uint8_t **pixels) {
    if (!valid_tag(message, DEZ_IMAGE)) return TLV_ERR_UNREADABLE;
    Fields fields(message);
    uint16_t v1, v2, v3, v4;
    uint32_t v5, v6, length;
    const uint8_t *bytes;
    if (dez_extract_image_properties(fields.message(DEZ_IMAGE_PROPERTIES), &v1, &v2, &v3, &v4, &v5,
                                     &v6) != TLV_OK ||
        !fields.block(bytes, length) || length != static_cast<uint32_t>(v1) * v2)
        return TLV_ERR_UNREADABLE;
    put(p1, v1);
    put(p2, v2);
    put(p3, v3);
    put(p4, v4);
    put(p5, v5);
    put(p6, v6);
    put(pixels, bytes);
    return TLV_OK;
}

uint32_t dez_extract_image_2(const tlv_t *message, uint16_t *p1, uint16_t *p2, uint16_t *p3,
                             uint16_t *p4, uint32_t *p5, const uint8_t **pixels) {
    if (!valid_tag(message, DEZ_IMAGE)) return TLV_ERR_UNREADABLE;
    Fields fields(message);
    uint16_t v1, v2, v3, v4;
    uint32_t v5, length;
    const uint8_t *bytes;
    if (dez_extract_image_properties_2(fields.message(DEZ_IMAGE_PROPERTIES), &v1, &v2, &v3, &v4,
                                       &v5) != TLV_OK ||
        !fields.block(bytes, length) || length != static_cast<uint32_t>(v1) * v2)
        return TLV_ERR_UNREADABLE;
    put(p1, v1);
    put(p2, v2);
    put(p3, v3);
    put(p4, v4);
    put(p5, v5);
    put(pixels, bytes);
    return TLV_OK;
}

uint32_t dez_extract_identity(const tlv_t *message, uint8_t *b1, const char **s1, const char **s2,
                              const char **s3, const char **s4, uint8_t *b2) {
    if (!valid_tag(message, DEZ_IDENTITY)) return TLV_ERR_UNREADABLE;
    Fields fields(message);
    uint8_t n1, n2;
    const char *t1, *t2, *t3, *t4;
    if (!fields.number8(n1) || !fields.string(t1) || !fields.string(t2) || !fields.string(t3) ||
        !fields.string(t4) || !fields.number8(n2))
        return TLV_ERR_UNREADABLE;
    put(b1, n1);
    put(s1, t1);
    put(s2, t2);
    put(s3, t3);
    put(s4, t4);
    put(b2, n2);
    return TLV_OK;
}

uint32_t dez_extract_identity_4(const tlv_t *message, uint8_t *b1, const char **s1, const char **s2,
                                uint8_t *b2, const char **s3, uint8_t *b3) {
    if (!valid_tag(message, DEZ_IDENTITY)) return TLV_ERR_UNREADABLE;
    Fields fields(message);
    uint8_t n1, n2, n3;
    const char *t1, *t2, *t3;
    if (!fields.number8(n1) || !fields.string(t1) || !fields.string(t2) || !fields.number8(n2) ||
        !fields.string(t3) || !fields.number8(n3))
        return TLV_ERR_UNREADABLE;
    put(b1, n1);
    put(s1, t1);
    put(s2, t2);
    put(b2, n2);
    put(s3, t3);
    put(b3, n3);
    return TLV_OK;
}

uint32_t dez_extract_sensor_info(const tlv_t *message, uint32_t *number, const uint8_t **bytes,
                                 uint32_t *count) {
    if (!valid_tag(message, DEZ_SENSOR_INFO)) return TLV_ERR_UNREADABLE;
    Fields fields(message);
    uint32_t n, length;
    const uint8_t *data;
    if (!fields.number32(n) || !fields.block(data, length)) return TLV_ERR_UNREADABLE;
    put(number, n);
    put(bytes, data);
    put(count, length);
    return TLV_OK;
}

uint32_t dez_extract_sensor_info_5(const tlv_t *message, uint32_t *number) {
    if (!valid_tag(message, DEZ_SENSOR_INFO)) return TLV_ERR_UNREADABLE;
    Fields fields(message);
    uint32_t n;
    if (!fields.number32(n)) return TLV_ERR_UNREADABLE;
    put(number, n);
    return TLV_OK;
}

uint32_t dez_extract_selftest_result(const tlv_t *message, uint32_t *result, uint16_t *v1,
                                     uint16_t *v2, uint16_t *v3, uint16_t *v4, uint16_t *v5,
                                     uint16_t *v6) {
    if (!valid_tag(message, DEZ_SELFTEST_RESULT)) return TLV_ERR_UNREADABLE;
    Fields fields(message);
    uint8_t r;
    uint16_t n[6];
    if (!fields.number8(r)) return TLV_ERR_UNREADABLE;
    for (uint16_t &value : n)
        if (!fields.number16(value)) return TLV_ERR_UNREADABLE;
    put(result, static_cast<uint32_t>(r));
    put(v1, n[0]);
    put(v2, n[1]);
    put(v3, n[2]);
    put(v4, n[3]);
    put(v5, n[4]);
    put(v6, n[5]);
    return TLV_OK;
}

}  // extern "C"
