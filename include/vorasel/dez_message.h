/*
 * DEZ management messages: builders, extractors and helpers.
 *
 * A DEZ message is exactly one BER-TLV element (see lib_tlv.h) whose outer tag is the message
 * code; nothing frames it. Fields are children with tag 0x02 (a number of 1, 2 or 4 bytes,
 * big-endian), 0x04 (a byte block) or 0x0C (a string followed by one zero byte). A message
 * with a single value is a primitive element holding that value.
 *
 * Builders copy nothing. They convert the caller's numeric variables to big-endian IN PLACE
 * (whether or not the build succeeds) and make the nodes point at the caller's variables,
 * strings and byte blocks, which must therefore stay alive and unchanged until the tree has
 * been serialised. A 1-byte field taken from a 32-bit variable is its least significant byte;
 * a 2-byte field taken from a 32-bit variable is its low 16 bits. A builder returns the new
 * message root, or NULL (leaving no nodes behind) when a node cannot be created or a string
 * argument is NULL. Release a built message with dez_delete (or tlv_delete) after sending.
 *
 * Extractors check the tree strictly in order and return TLV_ERR_UNREADABLE (5) at the first
 * mismatch (NULL root, wrong code, missing child, wrong field tag or length, string empty or
 * not zero-terminated) without writing any out value; on TLV_OK every out value is written.
 * Children after the last expected field are not looked at, so the extractor of a shorter
 * variant (image_properties_2, image_2, sensor_info_5) also accepts the longer variant of its
 * code. Strings and byte blocks are returned as pointers into the received bytes: they are
 * valid only as long as those bytes are. A NULL out pointer is allowed and skipped.
 *
 * Thread rules: no shared state; a message tree belongs to one thread at a time.
 */
#ifndef VORASEL_DEZ_MESSAGE_H
#define VORASEL_DEZ_MESSAGE_H

#include <stdbool.h>
#include <stdint.h>
#include "vorasel/hv_export.h"

#include "vorasel/lib_tlv.h"
#include "vorasel/lib_tlv_hl.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Message codes (private-class tags). Variants sharing a code are told apart by content. */
enum {
    DEZ_CAPTURE_IMAGE_2 = 0xC8,
    DEZ_RESET = 0xCC,
    DEZ_READ_COUNTERS = 0xCE,
    DEZ_RESET_COUNTERS = 0xCF,
    DEZ_ERROR_CODE = 0xD0,
    DEZ_GPIO_STATE = 0xD1,
    DEZ_PROPERTY_VALUE = 0xD2,
    DEZ_CAPABILITIES = 0xD3,
    DEZ_WRITE_PRODUCT_NO = 0xD9,
    DEZ_READ_PROPERTY = 0xDB,
    DEZ_IDLE_POWER_TIMEOUT = 0xDD,
    DEZ_GET_CAPABILITIES = 0xDE,
    DEZ_COUNTER = 0xE0,
    DEZ_GPIO_PINS = 0xE1,
    DEZ_IMAGE_PROPERTIES = 0xE2, /* also image_properties_2 */
    DEZ_FIRMWARE_IMAGE = 0xE8,
    DEZ_READ_GPIO = 0xE9,
    DEZ_WRITE_GPIO = 0xEA,
    DEZ_WRITE_PROPERTY = 0xEB,
    DEZ_IMAGE = 0xF0,    /* also image_2 */
    DEZ_IDENTITY = 0xF1, /* also identity_4 */
    DEZ_COUNTERS = 0xF2,
    DEZ_SENSOR_INFO = 0xF3, /* also sensor_info_5 */
    DEZ_SELFTEST_RESULT = 0xF4,
};

/* Field tags inside messages. */
enum {
    DEZ_FIELD_NUMBER = 0x02,
    DEZ_FIELD_BYTES = 0x04,
    DEZ_FIELD_STRING = 0x0C,
};

/* Capability bits of the capabilities message. */
enum {
    DEZ_CAPABILITY_FINGERPRINT_SENSOR = 1u << 0,
    DEZ_CAPABILITY_SMARTCARD_READER = 1u << 1,
};

/* One counter of a counters message. */
typedef struct dez_counter_st {
    const char *name; /* zero-terminated; in an extracted list it points into the message */
    uint32_t value;
    struct dez_counter_st *next;
    struct dez_counter_st *previous;
} dez_counter_t;

typedef struct {
    dez_counter_t *first; /* NULL for an empty list */
    dez_counter_t *last;
} dez_counters_list_t;

/* ---- node tests ---- */

/* True when node is not NULL and has the tag. */
HV_EXPORT bool valid_tag(const tlv_t *node, uint16_t tag);
/* True when node is not NULL, has the tag and tlv_get_length(node) == length. */
HV_EXPORT bool valid(const tlv_t *node, uint16_t tag, uint32_t length);
/* True when the last value byte is zero; false for NULL or an empty value. */
HV_EXPORT bool null_terminated(const tlv_t *node);

/* ---- builders ---- */

/* The bare element with this tag: for the empty messages (reset, read_counters,
 * reset_counters, get_capabilities) a primitive element of length 0. */
HV_EXPORT tlv_t *dez_build_simple(uint16_t tag);

HV_EXPORT tlv_t *dez_build_capture_image_2(uint32_t *number);
HV_EXPORT tlv_t *dez_build_error_code(uint32_t *code); /* sends the low byte */
HV_EXPORT tlv_t *dez_build_gpio_state(uint16_t *state);
HV_EXPORT tlv_t *dez_build_capabilities(uint32_t *bits);
HV_EXPORT tlv_t *dez_build_idle_power_timeout(uint16_t *timeout);
HV_EXPORT tlv_t *dez_build_property_value(const char *value);
HV_EXPORT tlv_t *dez_build_read_property(const char *key);
HV_EXPORT tlv_t *dez_build_write_product_no(const char *product_no);
HV_EXPORT tlv_t *dez_build_write_property(const char *key, const char *value);
HV_EXPORT tlv_t *dez_build_counter(const char *name, uint32_t *value);
/* One counter per entry in list order (each entry's value converted in place); an empty list
 * gives an empty counters message; NULL list gives NULL. If a counter cannot be built, the
 * entries after it keep their host values. */
HV_EXPORT tlv_t *dez_build_counters(dez_counters_list_t *list);
HV_EXPORT tlv_t *dez_build_gpio_pins(uint8_t *port, uint16_t *bitmask);
HV_EXPORT tlv_t *dez_build_read_gpio(uint8_t *port, uint16_t *bitmask);
HV_EXPORT tlv_t *dez_build_write_gpio(uint8_t *port, uint16_t *bitmask, uint16_t *state);
HV_EXPORT tlv_t *dez_build_firmware_image(uint32_t *image_size, uint32_t *offset,
                                          const uint8_t *chunk, uint32_t chunk_length);
/* p5: low byte sent; p6: low 16 bits sent. */
HV_EXPORT tlv_t *dez_build_image_properties(uint16_t *p1, uint16_t *p2, uint16_t *p3, uint16_t *p4,
                                            uint32_t *p5, uint32_t *p6);
HV_EXPORT tlv_t *dez_build_image_properties_2(uint16_t *p1, uint16_t *p2, uint16_t *p3,
                                              uint16_t *p4, uint8_t *p5);
/* The pixel block is p1 * p2 bytes (host values, taken before conversion). */
HV_EXPORT tlv_t *dez_build_image(uint16_t *p1, uint16_t *p2, uint16_t *p3, uint16_t *p4,
                                 uint32_t *p5, uint32_t *p6, const uint8_t *pixels);
HV_EXPORT tlv_t *dez_build_image_2(uint16_t *p1, uint16_t *p2, uint16_t *p3, uint16_t *p4,
                                   uint8_t *p5, const uint8_t *pixels);
HV_EXPORT tlv_t *dez_build_identity(uint8_t *b1, const char *s1, const char *s2, const char *s3,
                                    const char *s4, uint8_t *b2);
HV_EXPORT tlv_t *dez_build_identity_4(uint8_t *b1, const char *s1, const char *s2, uint8_t *b2,
                                      const char *s3, uint8_t *b3);
HV_EXPORT tlv_t *dez_build_sensor_info(uint32_t *number, const uint8_t *bytes, uint32_t count);
HV_EXPORT tlv_t *dez_build_sensor_info_5(uint32_t *number);
/* result: low byte sent. */
HV_EXPORT tlv_t *dez_build_selftest_result(uint32_t *result, uint16_t *v1, uint16_t *v2,
                                           uint16_t *v3, uint16_t *v4, uint16_t *v5, uint16_t *v6);

/* ---- extractors: TLV_OK or TLV_ERR_UNREADABLE (and TLV_ERR_NO_MEMORY for counters) ---- */

HV_EXPORT uint32_t dez_extract_capture_image_2(const tlv_t *message, uint32_t *number);
HV_EXPORT uint32_t dez_extract_error_code(const tlv_t *message, uint32_t *code); /* zero-extended */
HV_EXPORT uint32_t dez_extract_gpio_state(const tlv_t *message, uint16_t *state);
HV_EXPORT uint32_t dez_extract_capabilities(const tlv_t *message, uint32_t *bits);
HV_EXPORT uint32_t dez_extract_idle_power_timeout(const tlv_t *message, uint16_t *timeout);
HV_EXPORT uint32_t dez_extract_property_value(const tlv_t *message, const char **value);
HV_EXPORT uint32_t dez_extract_read_property(const tlv_t *message, const char **key);
HV_EXPORT uint32_t dez_extract_write_product_no(const tlv_t *message, const char **product_no);
HV_EXPORT uint32_t dez_extract_write_property(const tlv_t *message, const char **key,
                                              const char **value);
HV_EXPORT uint32_t dez_extract_counter(const tlv_t *message, const char **name, uint32_t *value);
/* Root code 0xF2 required (else 5, nothing allocated). A new list (head and one allocation
 * per entry, names pointing into the message) goes to *list; on failure (5 for a child that
 * is not a counter, 9 for an allocation) everything is released and *list is NULL. Release a
 * returned list with dez_free_counters_list. A NULL list argument gives 5. */
HV_EXPORT uint32_t dez_extract_counters(const tlv_t *message, dez_counters_list_t **list);
HV_EXPORT uint32_t dez_extract_gpio_pins(const tlv_t *message, uint8_t *port, uint16_t *bitmask);
HV_EXPORT uint32_t dez_extract_read_gpio(const tlv_t *message, uint8_t *port, uint16_t *bitmask);
HV_EXPORT uint32_t dez_extract_write_gpio(const tlv_t *message, uint8_t *port, uint16_t *bitmask,
                                          uint16_t *state);
/* The chunk may have any length. */
HV_EXPORT uint32_t dez_extract_firmware_image(const tlv_t *message, uint32_t *image_size,
                                              uint32_t *offset, const uint8_t **chunk,
                                              uint32_t *chunk_length);
HV_EXPORT uint32_t dez_extract_image_properties(const tlv_t *message, uint16_t *p1, uint16_t *p2,
                                                uint16_t *p3, uint16_t *p4, uint32_t *p5,
                                                uint32_t *p6);
HV_EXPORT uint32_t dez_extract_image_properties_2(const tlv_t *message, uint16_t *p1, uint16_t *p2,
                                                  uint16_t *p3, uint16_t *p4, uint32_t *p5);
/* The pixel block must hold exactly p1 * p2 bytes. */
HV_EXPORT uint32_t dez_extract_image(const tlv_t *message, uint16_t *p1, uint16_t *p2, uint16_t *p3,
                                     uint16_t *p4, uint32_t *p5, uint32_t *p6,
                                     const uint8_t **pixels);
HV_EXPORT uint32_t dez_extract_image_2(const tlv_t *message, uint16_t *p1, uint16_t *p2,
                                       uint16_t *p3, uint16_t *p4, uint32_t *p5,
                                       const uint8_t **pixels);
HV_EXPORT uint32_t dez_extract_identity(const tlv_t *message, uint8_t *b1, const char **s1,
                                        const char **s2, const char **s3, const char **s4,
                                        uint8_t *b2);
HV_EXPORT uint32_t dez_extract_identity_4(const tlv_t *message, uint8_t *b1, const char **s1,
                                          const char **s2, uint8_t *b2, const char **s3,
                                          uint8_t *b3);
/* The byte block may have any length. */
HV_EXPORT uint32_t dez_extract_sensor_info(const tlv_t *message, uint32_t *number,
                                           const uint8_t **bytes, uint32_t *count);
HV_EXPORT uint32_t dez_extract_sensor_info_5(const tlv_t *message, uint32_t *number);
HV_EXPORT uint32_t dez_extract_selftest_result(const tlv_t *message, uint32_t *result, uint16_t *v1,
                                               uint16_t *v2, uint16_t *v3, uint16_t *v4,
                                               uint16_t *v5, uint16_t *v6);

/* ---- other operations ---- */

/* Deletes a message tree (tlv_delete); NULL is ignored. */
HV_EXPORT void dez_delete(tlv_t *message);

/* Frees every entry and the head (never the names) and sets *list to NULL. A NULL list
 * pointer, or a *list that is already NULL, is left alone. */
HV_EXPORT void dez_free_counters_list(dez_counters_list_t **list);

/* How many more bytes the message starting at buffer needs, given `held` bytes: positive
 * while incomplete (the header is completed first), 0 when exactly one complete message is
 * held, -n when n further bytes follow it. An invalid tag gives 0 (the bytes held count as
 * one message, which then fails to parse). Reads only the bytes held. Saturates at INT32_MIN
 * for more than 2^31 following bytes. */
HV_EXPORT int32_t dez_remaining_bytes(const uint8_t *buffer, uint32_t held);

#ifdef __cplusplus
}
#endif

#endif /* VORASEL_DEZ_MESSAGE_H */
