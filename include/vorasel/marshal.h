/*
 * Byte order of the DEZ management messages: numbers travel big-endian.
 *
 * The in-place encoders rewrite a host-order integer into big-endian byte order in its own
 * storage, so that a node can point straight at it; after the call the variable no longer
 * holds its host value. Thread rules: none (no state).
 */
#ifndef VORASEL_MARSHAL_H
#define VORASEL_MARSHAL_H

#include <stdint.h>
#include "vorasel/hv_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Rewrites *value from host order into big-endian bytes; returns value. */
HV_EXPORT uint32_t *inplace_encode32(uint32_t *value);
HV_EXPORT uint16_t *inplace_encode16(uint16_t *value);

/* Reads a big-endian number from 4 (2) bytes. */
HV_EXPORT uint32_t decode32(const uint8_t *bytes);
HV_EXPORT uint16_t decode16(const uint8_t *bytes);

#ifdef __cplusplus
}
#endif

#endif /* VORASEL_MARSHAL_H */
