/*
 * BER-TLV tree layer: tlv_t nodes linked into a tree, parsing a buffer into a tree and
 * serialising a tree into a freshly allocated buffer.
 *
 * Ownership: each node is one heap allocation and a tree owns its nodes (tlv_delete frees a
 * whole subtree). Value bytes are never copied or freed: a node made by tlv_create refers to
 * the caller's bytes, a node made by tlv_parse_buffer refers into the parsed buffer. Those
 * bytes must stay alive and unchanged while the tree is read or serialised.
 *
 * Only constructed nodes have children; their length field is 0 and their value is NULL, the
 * length being computed from the children (tlv_get_length).
 *
 * Thread rules: no shared state; a tree is not locked and belongs to one thread at a time.
 */
#ifndef VORASEL_LIB_TLV_HL_H
#define VORASEL_LIB_TLV_HL_H

#include <stdint.h>
#include "vorasel/hv_export.h"

#include "vorasel/lib_tlv.h"

#ifdef __cplusplus
extern "C" {
#endif

/* tlv_parse_buffer refuses elements nested deeper than this (the root is level 1), so a
 * hostile buffer cannot drive the parser's recursion arbitrarily deep. */
#define TLV_PARSE_MAX_DEPTH 32

typedef struct tlv_st {
    uint16_t tag;
    uint32_t length;       /* primitive: value bytes; constructed: always 0 */
    const uint8_t *value;  /* primitive: the value bytes, not owned; constructed: NULL */
    struct tlv_st *parent; /* the node whose child list holds this node, or NULL */
    struct tlv_st *next_sibling;
    struct tlv_st *previous_sibling;
    struct tlv_st *first_child;
    struct tlv_st *last_child;
} tlv_t;

/* A new unlinked node, or NULL when the allocation fails. A constructed tag gets length 0 and
 * value NULL whatever was passed. */
HV_EXPORT tlv_t *tlv_create(uint16_t tag, uint32_t length, const uint8_t *value);

/* Frees the node and its whole subtree (never the value bytes). Does not detach the node from
 * its parent: call tlv_remove first for a linked node. NULL is ignored. */
HV_EXPORT void tlv_delete(tlv_t *node);

/* Detaches the node from its parent's child list; it keeps its own subtree. Nothing happens
 * for a node without a parent (or NULL). */
HV_EXPORT void tlv_remove(tlv_t *node);

/* Link child as the parent's first (insert) or last (append) child. TLV_OK, or
 * TLV_ERR_NOT_CONSTRUCTED (nothing linked) when the parent's tag is not constructed or the
 * parent is NULL; TLV_ERR_UNREADABLE for a NULL child. The child must not be linked elsewhere. */
HV_EXPORT uint32_t tlv_insert_child(tlv_t *parent, tlv_t *child);
HV_EXPORT uint32_t tlv_append_child(tlv_t *parent, tlv_t *child);

/* Field readers; each gives 0 or NULL for a NULL node. */
HV_EXPORT uint16_t tlv_get_tag(const tlv_t *node);
HV_EXPORT const uint8_t *tlv_get_value(const tlv_t *node);
HV_EXPORT tlv_t *tlv_get_parent(const tlv_t *node);
HV_EXPORT tlv_t *tlv_get_next_sibling(const tlv_t *node);
HV_EXPORT tlv_t *tlv_get_previous_sibling(const tlv_t *node);
HV_EXPORT tlv_t *tlv_get_first_child(const tlv_t *node);
HV_EXPORT tlv_t *tlv_get_last_child(const tlv_t *node);

/* Primitive: the stored length. Constructed: the sum of the children's encoded sizes (tag
 * bytes + length bytes + value length), 0 without children. */
HV_EXPORT uint32_t tlv_get_length(const tlv_t *node);

/* Parses the element at buffer, and everything inside it, into a new tree in *root.
 * The buffer must hold the whole element: its header is read unbounded, but every inner read
 * is bounded by the value that contains it, so no inner length can make the parse leave the
 * element. Results:
 *   TLV_OK              *root is the new tree;
 *   TLV_ERR_UNREADABLE  the root's tag or length cannot be read (*root untouched), or an inner
 *                       element is unreadable, runs past its container, or lies deeper than
 *                       TLV_PARSE_MAX_DEPTH (*root = NULL);
 *   TLV_ERR_NO_MEMORY   an allocation failed (*root = NULL).
 * No partial tree is left behind. NULL buffer or root gives TLV_ERR_UNREADABLE. */
HV_EXPORT uint32_t tlv_parse_buffer(const uint8_t *buffer, tlv_t **root);

/* Serialises the tree into a new buffer of exactly its encoded size, handed to the caller in
 * *buffer (release it with free()); its size goes to *length unless length is NULL.
 * TLV_OK; TLV_ERR_NO_MEMORY (*buffer = NULL) when the allocation fails; TLV_ERR_UNREADABLE
 * (*buffer = NULL) for a NULL root. */
HV_EXPORT uint32_t tlv_write_tree(const tlv_t *root, uint8_t **buffer, uint32_t *length);

/* Serialises the node and its subtree into a buffer large enough for it; returns the number
 * of bytes written. */
HV_EXPORT uint32_t tlv_write_tlv(uint8_t *buffer, const tlv_t *node);

#ifdef __cplusplus
}
#endif

#endif /* VORASEL_LIB_TLV_HL_H */
