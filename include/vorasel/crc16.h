/* CRC-16/CCITT as used by the T=1 block epilogue: polynomial 0x1021, most significant bit
 * first, initial value 0, no final exclusive-or (check value over "123456789" is 0x31C3).
 *
 * Pure functions: no state, no allocation, safe from any thread. */
#ifndef VORASEL_CRC16_H
#define VORASEL_CRC16_H

#include <stdint.h>
#include "vorasel/hv_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Entry n is the CRC register after shifting n, placed in the high byte, through eight steps. */
HV_EXPORT extern const uint16_t ccitt_16Table[256];

/* CRC of `count` bytes at `bytes`. A count of 0 or less (or a null pointer) is the empty
 * message: the result is 0 and nothing is read. */
HV_EXPORT uint16_t CalcCRC16Bytes(int32_t count, const uint8_t *bytes);

/* CRC of `count` 16-bit words, each taken low byte first: the same as CalcCRC16Bytes over the
 * 2 * count bytes in little-endian order. A count of 0 or less (or a null pointer) gives 0. */
HV_EXPORT uint16_t CalcCRC16Words(int32_t count, const uint16_t *words);

#ifdef __cplusplus
}
#endif

#endif /* VORASEL_CRC16_H */
