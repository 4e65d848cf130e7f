// Element layer: one tag-length-value element at a time, in the caller's buffer.
#include "vorasel/lib_tlv.h"

#include <cstring>

namespace {

constexpr uint8_t kTagNumberMask = 0x1F;
constexpr uint8_t kConstructedBit = 0x20;

bool isValidTag(uint16_t tag) {
    if (tag <= 0xFF) return (tag & kTagNumberMask) != kTagNumberMask;
    return (tag & 0x1F80) == 0x1F00 && (tag & 0x7F) != 0;
}

uint8_t firstTagByte(uint16_t tag) {
    return static_cast<uint8_t>(tag <= 0xFF ? tag : tag >> 8);
}

// Decodes a length whose first byte is `first`, with the following bytes at `rest`; the
// caller has checked that they are there. Returns the length-field size, 0 if rejected.
uint32_t decodeLength(uint8_t first, const uint8_t *rest, uint32_t *length) {
    if (first < 0x80) {
        *length = first;
        return 1;
    }
    const uint32_t extra = first & 0x7Fu;
    if (extra == 0 || extra > 3) {
        *length = 0;
        return 0;
    }
    uint32_t value = 0;
    for (uint32_t i = 0; i < extra; ++i)
        value = (value << 8) | rest[i];
    *length = value;
    return 1 + extra;
}

}  // namespace

extern "C" {

uint32_t tlv_get_bytes_for_tag(uint16_t tag) {
    if (!isValidTag(tag)) return 0;
    return tag <= 0xFF ? 1 : 2;
}

uint32_t tlv_get_bytes_for_length(uint32_t length) {
    if (length < 0x80) return 1;
    if (length <= 0xFF) return 2;
    if (length <= 0xFFFF) return 3;
    return 4;
}

uint16_t tlv_construct_tag(int tag_class, bool constructed, uint8_t number) {
    uint16_t classBits;
    switch (tag_class) {
        case TLV_CLASS_UNIVERSAL:
            classBits = 0x00;
            break;
        case TLV_CLASS_APPLICATION:
            classBits = 0x40;
            break;
        case TLV_CLASS_CONTEXT:
            classBits = 0x80;
            break;
        default:
            classBits = 0xC0;
            break;
    }
    const uint16_t first = classBits | (constructed ? kConstructedBit : 0);
    if (number <= 30) return first | number;
    if (number <= 127) return static_cast<uint16_t>(((first | kTagNumberMask) << 8) | number);
    return 0;
}

int tlv_get_tag_class(uint16_t tag) {
    if (!isValidTag(tag)) return TLV_CLASS_PRIVATE;
    return firstTagByte(tag) >> 6;
}

int tlv_is_constructed(uint16_t tag) {
    return isValidTag(tag) && (firstTagByte(tag) & kConstructedBit) != 0 ? 1 : 0;
}

int tlv_is_primitive(uint16_t tag) {
    return tlv_is_constructed(tag) ? 0 : 1;
}

uint32_t tlv_read_tag(const uint8_t *buffer, uint16_t *tag) {
    if ((buffer[0] & kTagNumberMask) != kTagNumberMask) {
        *tag = buffer[0];
        return 1;
    }
    if (buffer[1] == 0 || buffer[1] >= 0x80) {
        *tag = 0;
        return 0;
    }
    *tag = static_cast<uint16_t>((buffer[0] << 8) | buffer[1]);
    return 2;
}

uint32_t tlv_read_length(const uint8_t *buffer, uint32_t *length) {
    return decodeLength(buffer[0], buffer + 1, length);
}

uint32_t tlv_read(const uint8_t *buffer, tlv_element_t *element) {
    element->tag = 0;
    element->length = 0;
    element->value = nullptr;
    const uint32_t tagBytes = tlv_read_tag(buffer, &element->tag);
    if (tagBytes == 0) return 0;
    const uint32_t lengthBytes = tlv_read_length(buffer + tagBytes, &element->length);
    element->value = buffer + tagBytes + lengthBytes;
    return tagBytes + lengthBytes + element->length;
}

uint32_t tlv_read_validate(const uint8_t *buffer, tlv_element_t *element, uint32_t available) {
    element->tag = 0;
    element->length = 0;
    element->value = nullptr;
    if (available == 0) return 0;

    uint32_t tagBytes = 1;
    uint16_t tag = buffer[0];
    if ((buffer[0] & kTagNumberMask) == kTagNumberMask) {
        if (available < 2 || buffer[1] == 0 || buffer[1] >= 0x80) return 0;
        tag = static_cast<uint16_t>((buffer[0] << 8) | buffer[1]);
        tagBytes = 2;
    }
    element->tag = tag;

    const uint32_t rest = available - tagBytes;
    if (rest == 0) return 0;
    const uint8_t first = buffer[tagBytes];
    if (first >= 0x80) {
        const uint32_t extra = first & 0x7Fu;
        if (extra == 0 || extra > 3 || rest < 1 + extra) return 0;
    }
    uint32_t length = 0;
    const uint32_t lengthBytes = decodeLength(first, buffer + tagBytes + 1, &length);
    element->length = length;
    if (rest - lengthBytes < length) return 0;

    element->value = buffer + tagBytes + lengthBytes;
    return tagBytes + lengthBytes + length;
}

uint32_t tlv_get_buffer_length(const uint8_t *buffer) {
    tlv_element_t element;
    tlv_read(buffer, &element);
    return tlv_get_bytes_for_tag(element.tag) + tlv_get_bytes_for_length(element.length) +
           element.length;
}

uint32_t tlv_write_tag(uint8_t *buffer, uint16_t tag) {
    if (!isValidTag(tag)) return 0;
    if (tag <= 0xFF) {
        buffer[0] = static_cast<uint8_t>(tag);
        return 1;
    }
    buffer[0] = static_cast<uint8_t>(tag >> 8);
    buffer[1] = static_cast<uint8_t>(tag);
    return 2;
}

uint32_t tlv_write_length(uint8_t *buffer, uint32_t length) {
    const uint32_t size = tlv_get_bytes_for_length(length);
    if (size == 1) {
        buffer[0] = static_cast<uint8_t>(length);
        return 1;
    }
    buffer[0] = static_cast<uint8_t>(0x80 | (size - 1));
    for (uint32_t i = 1; i < size; ++i)
        buffer[i] = static_cast<uint8_t>(length >> (8 * (size - 1 - i)));
    return size;
}

uint32_t tlv_write(uint8_t *buffer, const tlv_element_t *element) {
    const uint32_t tagBytes = tlv_write_tag(buffer, element->tag);
    if (tagBytes == 0) return 0;
    const uint32_t lengthBytes = tlv_write_length(buffer + tagBytes, element->length);
    if (element->length != 0)
        std::memcpy(buffer + tagBytes + lengthBytes, element->value, element->length);
    return tagBytes + lengthBytes + element->length;
}

uint32_t tlv_validate(const uint8_t *buffer, uint32_t length) {
    struct Frame {
        const uint8_t *start;
        uint32_t length;
        uint32_t offset;
    };
    Frame frames[TLV_VALIDATE_MAX_FRAMES];
    frames[0] = {buffer, length, 0};
    int count = 1;

    for (;;) {
        Frame &top = frames[count - 1];
        tlv_element_t element;
        const uint32_t size =
            tlv_read_validate(top.start + top.offset, &element, top.length - top.offset);
        if (size == 0) return TLV_ERR_MALFORMED;
        top.offset += size;
        // A finished frame goes before its last element is looked at, so a constructed last
        // child replaces its parent's frame instead of stacking on it.
        if (top.offset == top.length) --count;

        if (tlv_is_constructed(element.tag)) {
            if (count == TLV_VALIDATE_MAX_FRAMES) return TLV_ERR_MALFORMED;
            frames[count++] = {element.value, element.length, 0};
        } else if (count == 0) {
            return TLV_OK;
        }
    }
}

int tlv_find_tag(const uint8_t *buffer, int32_t length, uint16_t tag, tlv_element_t *element) {
    if (length <= 0) return 0;
    const uint32_t total = static_cast<uint32_t>(length);
    uint32_t offset = 0;
    while (offset < total) {
        tlv_element_t found;
        const uint32_t size = tlv_read_validate(buffer + offset, &found, total - offset);
        if (size == 0) return 0;
        if (found.tag == tag) {
            *element = found;
            return 1;
        }
        offset += size;
    }
    return 0;
}

int tlv_find_nested_tag(const uint8_t *buffer, int32_t length, const uint16_t *tags,
                        uint32_t tag_count, tlv_element_t *element) {
    if (tag_count == 0) return 1;
    tlv_element_t current{0, 0, nullptr};
    for (uint32_t i = 0; i < tag_count; ++i) {
        if (!tlv_find_tag(buffer, length, tags[i], &current)) return 0;
        // Found values lie inside the level searched, so their length fits the signed width.
        buffer = current.value;
        length = static_cast<int32_t>(current.length);
    }
    *element = current;
    return 1;
}

}  // extern "C"
