/*
 * BER-TLV element layer: encode and decode one tag-length-value element in a caller's buffer.
 *
 * Tags are held as 16-bit values: a one-byte tag is the byte itself (its low five bits not all
 * ones); a two-byte tag is first byte * 256 + second byte, with the first byte's low five bits
 * all ones and the second byte 0x01-0x7F. Longer tags are not supported.
 *
 * Lengths are definite, with at most three length octets (values up to 16,777,215). Readers
 * accept non-shortest forms (0x81 0x05 reads as 5); writers always use the shortest form.
 *
 * Nothing here allocates. Operations marked "unbounded" trust the buffer to hold the whole
 * header they read; bytes from a peer must go through the bounded ones (tlv_read_validate,
 * tlv_validate, tlv_find_tag, tlv_find_nested_tag).
 *
 * Thread rules: no shared state; every call may run on any thread.
 */
#ifndef VORASEL_LIB_TLV_H
#define VORASEL_LIB_TLV_H

#include <stdbool.h>
#include <stdint.h>
#include "vorasel/hv_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes shared by the TLV library and the DEZ extractors. */
#define TLV_OK 0u                   /* success */
#define TLV_ERR_MALFORMED 4u        /* tlv_validate: not a well-formed TLV sequence */
#define TLV_ERR_UNREADABLE 5u       /* an element cannot be read, or not the expected message */
#define TLV_ERR_NO_MEMORY 9u        /* an allocation failed */
#define TLV_ERR_NOT_CONSTRUCTED 14u /* a child was to be linked under a primitive node */

/* Tag classes (bits 7-6 of the first tag byte). */
#define TLV_CLASS_UNIVERSAL 0
#define TLV_CLASS_APPLICATION 1
#define TLV_CLASS_CONTEXT 2
#define TLV_CLASS_PRIVATE 3

/* tlv_validate keeps at most this many frames with unread content open at once. */
#define TLV_VALIDATE_MAX_FRAMES 8

/* One element as read from (or to be written to) a buffer. */
typedef struct {
    uint16_t tag;         /* the tag value */
    uint32_t length;      /* number of value bytes */
    const uint8_t *value; /* first value byte, inside the buffer that was read */
} tlv_element_t;

/* 1 for a valid one-byte tag, 2 for a valid two-byte tag, 0 for an invalid tag. */
HV_EXPORT uint32_t tlv_get_bytes_for_tag(uint16_t tag);

/* Size of the shortest length encoding: 1 (0-127), 2 (to 255), 3 (to 65,535), else 4. */
HV_EXPORT uint32_t tlv_get_bytes_for_length(uint32_t length);

/* The tag of class tag_class (0-3; any other value counts as 3), constructed or primitive,
 * with tag number number: one byte for numbers 0-30, two bytes for 31-127, 0 for 128 up. */
HV_EXPORT uint16_t tlv_construct_tag(int tag_class, bool constructed, uint8_t number);

/* Bits 7-6 of the first tag byte (0-3); 3 for an invalid tag. */
HV_EXPORT int tlv_get_tag_class(uint16_t tag);

/* Nonzero when the tag is valid and has its constructed bit set. */
HV_EXPORT int tlv_is_constructed(uint16_t tag);

/* 1 when tlv_is_constructed is 0, else 0 (an invalid tag counts as primitive). */
HV_EXPORT int tlv_is_primitive(uint16_t tag);

/* Unbounded. Decodes the tag at buffer into *tag; returns its size (1 or 2), or 0 with
 * *tag = 0 for an invalid tag. */
HV_EXPORT uint32_t tlv_read_tag(const uint8_t *buffer, uint16_t *tag);

/* Unbounded. Decodes the length at buffer into *length; returns its size (1-4), or 0 with
 * *length = 0 for a rejected first byte (0x80, 0x84-0xFF). */
HV_EXPORT uint32_t tlv_read_length(const uint8_t *buffer, uint32_t *length);

/* Unbounded. Reads the header at buffer into *element and returns tag bytes + length bytes +
 * length. An invalid tag gives 0 and the record {0, 0, NULL}. A rejected length byte gives the
 * tag size, with length 0 and value right after the tag. */
HV_EXPORT uint32_t tlv_read(const uint8_t *buffer, tlv_element_t *element);

/* Bounded read of one element from at most `available` bytes. *element is cleared first.
 * Returns the element's total size, or 0 when the tag or length is invalid or truncated or
 * the value runs past the available bytes. */
HV_EXPORT uint32_t tlv_read_validate(const uint8_t *buffer, tlv_element_t *element,
                                     uint32_t available);

/* Unbounded. Size of the element at buffer re-encoded in shortest form. */
HV_EXPORT uint32_t tlv_get_buffer_length(const uint8_t *buffer);

/* Writes the tag (two-byte tags high byte first); returns 1 or 2, or 0 (nothing written) for
 * an invalid tag. */
HV_EXPORT uint32_t tlv_write_tag(uint8_t *buffer, uint16_t tag);

/* Writes the shortest length encoding; returns its size (1-4). Lengths of 2^24 and more are
 * outside the contract (0x83 and the low 24 bits are written). */
HV_EXPORT uint32_t tlv_write_length(uint8_t *buffer, uint32_t length);

/* Writes tag, length and a copy of element->length value bytes; returns the total size, or 0
 * (nothing written) for an invalid tag. The buffer must be large enough. */
HV_EXPORT uint32_t tlv_write(uint8_t *buffer, const tlv_element_t *element);

/* TLV_OK when buffer[0..length) is a complete sequence of elements whose constructed values
 * are themselves complete, non-empty sequences, the walk ends on a primitive element and at
 * most TLV_VALIDATE_MAX_FRAMES frames with unread content are open at once; otherwise
 * TLV_ERR_MALFORMED (also for length 0). Never reads outside the buffer. */
HV_EXPORT uint32_t tlv_validate(const uint8_t *buffer, uint32_t length);

/* Scans the elements of one level (no descent), each read bounded by the bytes left, for the
 * first with tag `tag`. Returns 1 and describes it in *element, or 0 (unreadable element, not
 * found, or length <= 0); *element is written only when 1 is returned. */
HV_EXPORT int tlv_find_tag(const uint8_t *buffer, int32_t length, uint16_t tag,
                           tlv_element_t *element);

/* Follows a path of tags: each is looked up with tlv_find_tag in the value of the previous
 * one. Returns 1 and describes the last element in *element, or 0 as soon as a step is not
 * found (*element untouched). A path of 0 tags gives 1 and leaves *element untouched. */
HV_EXPORT int tlv_find_nested_tag(const uint8_t *buffer, int32_t length, const uint16_t *tags,
                                  uint32_t tag_count, tlv_element_t *element);

#ifdef __cplusplus
}
#endif

#endif /* VORASEL_LIB_TLV_H */
