// DEZ node tests, the message-completeness measure used by reassembly, and releases.
#include "vorasel/dez_message.h"

#include <cstdint>

#include "tlv/tlv_alloc.h"

extern "C" {

bool valid_tag(const tlv_t *node, uint16_t tag) {
    return node != nullptr && node->tag == tag;
}

bool valid(const tlv_t *node, uint16_t tag, uint32_t length) {
    return valid_tag(node, tag) && tlv_get_length(node) == length;
}

bool null_terminated(const tlv_t *node) {
    if (node == nullptr || node->value == nullptr || node->length == 0) return false;
    return node->value[node->length - 1] == 0;
}

void dez_delete(tlv_t *message) {
    tlv_delete(message);
}

void dez_free_counters_list(dez_counters_list_t **list) {
    if (list == nullptr || *list == nullptr) return;
    dez_counter_t *entry = (*list)->first;
    while (entry != nullptr) {
        dez_counter_t *next = entry->next;
        hv::tlv::release(entry);
        entry = next;
    }
    hv::tlv::release(*list);
    *list = nullptr;
}

int32_t dez_remaining_bytes(const uint8_t *buffer, uint32_t held) {
    // The first two bytes are always needed: a tag byte and a length byte, or two tag bytes.
    if (held <= 1) return static_cast<int32_t>(2 - held);

    uint16_t tag = 0;
    const uint32_t tagBytes = tlv_read_tag(buffer, &tag);
    // An invalid tag: call the bytes complete so that the parse fails and drops them.
    if (tagBytes == 0) return 0;
    if (tagBytes == 2 && held == 2) return 1;

    const uint8_t first = buffer[tagBytes];
    const uint32_t extra = first >= 0x80 ? (first & 0x7Fu) : 0;
    const uint32_t headerSize = tagBytes + 1 + extra;
    if (extra != 0 && headerSize > held) return static_cast<int32_t>(headerSize - held);

    uint32_t length = 0;
    tlv_read_length(buffer + tagBytes, &length);
    const int64_t remaining = static_cast<int64_t>(headerSize) + length - held;
    return remaining < INT32_MIN ? INT32_MIN : static_cast<int32_t>(remaining);
}

}  // extern "C"
