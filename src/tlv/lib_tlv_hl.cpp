// Tree layer: tlv_t nodes, parsing into a tree and serialising a tree.
#include "vorasel/lib_tlv_hl.h"

#include <cstring>

#include "tlv/tlv_alloc.h"

namespace {

uint32_t tlv_compute_bytes(const tlv_t *node);

uint32_t tlv_compute_length(const tlv_t *node) {
    if (!tlv_is_constructed(node->tag)) return node->length;
    uint32_t total = 0;
    for (const tlv_t *child = node->first_child; child; child = child->next_sibling)
        total += tlv_compute_bytes(child);
    return total;
}

uint32_t tlv_compute_bytes(const tlv_t *node) {
    const uint32_t length = tlv_compute_length(node);
    return tlv_get_bytes_for_tag(node->tag) + tlv_get_bytes_for_length(length) + length;
}

// Parses the value [value, value + length) of `parent` into its children. Every read is
// bounded by what is left of that value, so nothing outside it is touched. `depth` is the
// level of the children being made.
uint32_t tlv_parse_children(tlv_t *parent, const uint8_t *value, uint32_t length, int depth) {
    uint32_t offset = 0;
    while (offset < length) {
        if (depth > TLV_PARSE_MAX_DEPTH) return TLV_ERR_UNREADABLE;
        tlv_element_t element;
        const uint32_t size = tlv_read_validate(value + offset, &element, length - offset);
        if (size == 0) return TLV_ERR_UNREADABLE;
        tlv_t *child = tlv_create(element.tag, element.length, element.value);
        if (child == nullptr) return TLV_ERR_NO_MEMORY;
        tlv_append_child(parent, child);
        if (tlv_is_constructed(element.tag)) {
            const uint32_t result =
                tlv_parse_children(child, element.value, element.length, depth + 1);
            if (result != TLV_OK) return result;
        }
        offset += size;
    }
    return TLV_OK;
}

uint32_t writeNode(uint8_t *buffer, const tlv_t *node) {
    const uint32_t tagBytes = tlv_write_tag(buffer, node->tag);
    if (!tlv_is_constructed(node->tag)) {
        const uint32_t lengthBytes = tlv_write_length(buffer + tagBytes, node->length);
        if (node->length != 0)
            std::memcpy(buffer + tagBytes + lengthBytes, node->value, node->length);
        return tagBytes + lengthBytes + node->length;
    }
    uint32_t written = tagBytes;
    written += tlv_write_length(buffer + written, tlv_compute_length(node));
    for (const tlv_t *child = node->first_child; child; child = child->next_sibling)
        written += writeNode(buffer + written, child);
    return written;
}

}  // namespace

extern "C" {

tlv_t *tlv_create(uint16_t tag, uint32_t length, const uint8_t *value) {
    auto *node = static_cast<tlv_t *>(hv::tlv::allocate(sizeof(tlv_t)));
    if (node == nullptr) return nullptr;
    const bool constructed = tlv_is_constructed(tag);
    *node = tlv_t{tag,
                  constructed ? 0 : length,
                  constructed ? nullptr : value,
                  nullptr,
                  nullptr,
                  nullptr,
                  nullptr,
                  nullptr};
    return node;
}

void tlv_delete(tlv_t *node) {
    // Iterative, so that a deep tree cannot exhaust the stack: descend to a leaf, unlink and
    // free it, and climb back to its parent.
    if (node == nullptr) return;
    tlv_t *current = node;
    for (;;) {
        if (current->first_child != nullptr) {
            current = current->first_child;
            continue;
        }
        if (current == node) break;
        tlv_t *parent = current->parent;
        parent->first_child = current->next_sibling;
        if (parent->first_child != nullptr)
            parent->first_child->previous_sibling = nullptr;
        else
            parent->last_child = nullptr;
        hv::tlv::release(current);
        current = parent;
    }
    hv::tlv::release(node);
}

void tlv_remove(tlv_t *node) {
    if (node == nullptr || node->parent == nullptr) return;
    tlv_t *parent = node->parent;
    if (node->previous_sibling != nullptr)
        node->previous_sibling->next_sibling = node->next_sibling;
    else
        parent->first_child = node->next_sibling;
    if (node->next_sibling != nullptr)
        node->next_sibling->previous_sibling = node->previous_sibling;
    else
        parent->last_child = node->previous_sibling;
    node->parent = nullptr;
    node->next_sibling = nullptr;
    node->previous_sibling = nullptr;
}

uint32_t tlv_insert_child(tlv_t *parent, tlv_t *child) {
    if (parent == nullptr || !tlv_is_constructed(parent->tag)) return TLV_ERR_NOT_CONSTRUCTED;
    if (child == nullptr) return TLV_ERR_UNREADABLE;
    child->parent = parent;
    child->previous_sibling = nullptr;
    child->next_sibling = parent->first_child;
    if (parent->first_child != nullptr)
        parent->first_child->previous_sibling = child;
    else
        parent->last_child = child;
    parent->first_child = child;
    return TLV_OK;
}

uint32_t tlv_append_child(tlv_t *parent, tlv_t *child) {
    if (parent == nullptr || !tlv_is_constructed(parent->tag)) return TLV_ERR_NOT_CONSTRUCTED;
    if (child == nullptr) return TLV_ERR_UNREADABLE;
    child->parent = parent;
    child->next_sibling = nullptr;
    child->previous_sibling = parent->last_child;
    if (parent->last_child != nullptr)
        parent->last_child->next_sibling = child;
    else
        parent->first_child = child;
    parent->last_child = child;
    return TLV_OK;
}

uint16_t tlv_get_tag(const tlv_t *node) {
    return node ? node->tag : 0;
}
const uint8_t *tlv_get_value(const tlv_t *node) {
    return node ? node->value : nullptr;
}
tlv_t *tlv_get_parent(const tlv_t *node) {
    return node ? node->parent : nullptr;
}
tlv_t *tlv_get_next_sibling(const tlv_t *node) {
    return node ? node->next_sibling : nullptr;
}
tlv_t *tlv_get_previous_sibling(const tlv_t *node) {
    return node ? node->previous_sibling : nullptr;
}
tlv_t *tlv_get_first_child(const tlv_t *node) {
    return node ? node->first_child : nullptr;
}
tlv_t *tlv_get_last_child(const tlv_t *node) {
    return node ? node->last_child : nullptr;
}

uint32_t tlv_get_length(const tlv_t *node) {
    return node ? tlv_compute_length(node) : 0;
}

uint32_t tlv_parse_buffer(const uint8_t *buffer, tlv_t **root) {
    if (buffer == nullptr || root == nullptr) return TLV_ERR_UNREADABLE;
    tlv_element_t element;
    const uint32_t tagBytes = tlv_read_tag(buffer, &element.tag);
    if (tagBytes == 0) return TLV_ERR_UNREADABLE;
    // A rejected length form (indefinite or more than three octets) is not an element.
    if (tlv_read_length(buffer + tagBytes, &element.length) == 0) return TLV_ERR_UNREADABLE;
    tlv_read(buffer, &element);

    tlv_t *node = tlv_create(element.tag, element.length, element.value);
    if (node == nullptr) {
        *root = nullptr;
        return TLV_ERR_NO_MEMORY;
    }
    if (tlv_is_constructed(element.tag)) {
        const uint32_t result = tlv_parse_children(node, element.value, element.length, 2);
        if (result != TLV_OK) {
            tlv_delete(node);
            *root = nullptr;
            return result;
        }
    }
    *root = node;
    return TLV_OK;
}

uint32_t tlv_write_tree(const tlv_t *root, uint8_t **buffer, uint32_t *length) {
    *buffer = nullptr;
    if (root == nullptr) return TLV_ERR_UNREADABLE;
    const uint32_t size = tlv_compute_bytes(root);
    auto *bytes = static_cast<uint8_t *>(hv::tlv::allocate(size));
    if (bytes == nullptr) return TLV_ERR_NO_MEMORY;
    writeNode(bytes, root);
    *buffer = bytes;
    if (length != nullptr) *length = size;
    return TLV_OK;
}

uint32_t tlv_write_tlv(uint8_t *buffer, const tlv_t *node) {
    return writeNode(buffer, node);
}

}  // extern "C"
