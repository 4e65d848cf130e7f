/* Answer-to-reset (ISO/IEC 7816-3) decoding into a fixed record, interface-byte queries with
 * the standard's defaults, and the TA1 rate tables.
 *
 * Pure functions: no state, no allocation, no logging, safe from any thread. The record is the
 * caller's (usually a local variable). */
#ifndef VORASEL_SC_ATR_H
#define VORASEL_SC_ATR_H

#include <stdint.h>
#include "vorasel/hv_export.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SCATR_MAX_LENGTH 33u /* TS to TCK inclusive */
#define SCATR_MAX_GROUPS 7u  /* interface-byte groups stored; later ones are skipped */
#define SCATR_MAX_HIST 15u

/* Results of scatr_parse. */
enum {
    SCATR_OK = 0,        /* well formed */
    SCATR_BAD_TS = 1,    /* TS is neither 0x3B nor 0x3F; record untouched */
    SCATR_BAD_TCK = 2,   /* TCK present but the check fails; record complete all the same */
    SCATR_BAD_LENGTH = 3 /* fewer than 2 or more than 33 bytes, bytes missing or left over */
};

/* Interface-byte selector X of scatr_TXi4T / scatr_TXi. */
enum { SCATR_TA = 0, SCATR_TB = 1, SCATR_TC = 2, SCATR_TD = 3 };

/* Protocol argument meaning "group i whatever its protocol". */
#define SCATR_ANY_PROTOCOL 255u

/* Results of scatr_TXi4T / scatr_TXi. */
enum {
    SCATR_BYTE_ABSENT = 0,  /* neither in the ATR nor defaulted; out = 0 */
    SCATR_BYTE_DEFAULT = 1, /* the standard's default applies; out = the default */
    SCATR_BYTE_PRESENT = 2  /* the byte is in the ATR; out = its value */
};

/* One interface-byte group: group 0 holds TA1, TB1, TC1, TD1. Absent bytes read 0. */
typedef struct scatr_group {
    uint8_t ta;
    uint8_t ta_present;
    uint8_t tb;
    uint8_t tb_present;
    uint8_t tc;
    uint8_t tc_present;
    uint8_t td;
    uint8_t td_present;
} scatr_group_t;

typedef struct scatr {
    uint32_t length; /* TS to TCK inclusive; set only when parsing returns 0 or 2 */
    uint8_t ts;
    uint8_t t0; /* high nibble Y1, low nibble K */
    scatr_group_t groups[SCATR_MAX_GROUPS];
    uint8_t group_count; /* groups stored, 0 to 7 */
    uint8_t tck;
    uint8_t tck_present; /* 1 when some TDi announces a protocol other than T=0 */
    uint8_t hist[SCATR_MAX_HIST];
    uint8_t hist_count; /* K */
} scatr_t;

/* Decodes `length` bytes at `bytes` into `atr`. Returns one of SCATR_OK ... SCATR_BAD_LENGTH.
 * A null record or null bytes give SCATR_BAD_LENGTH. After SCATR_BAD_TS, or SCATR_BAD_LENGTH
 * for the overall length, the record is untouched; after a later SCATR_BAD_LENGTH it is
 * partly filled with length 0. */
HV_EXPORT int scatr_parse(scatr_t *atr, const uint8_t *bytes, uint32_t length);

/* Value of interface byte X (SCATR_TA..SCATR_TD) of group i (counted from 1) for protocol T
 * (0..15, or SCATR_ANY_PROTOCOL for the i-th group whatever its protocol). For a specific
 * protocol, i counts the groups that follow a TDk (k >= 2) announcing T. Returns
 * SCATR_BYTE_PRESENT, SCATR_BYTE_DEFAULT or SCATR_BYTE_ABSENT; `out` (may be null) receives
 * the value, or 0. X above 3, i = 0 or a null record give SCATR_BYTE_ABSENT. */
HV_EXPORT int scatr_TXi4T(const scatr_t *atr, unsigned x, unsigned i, unsigned t, uint8_t *out);

/* scatr_TXi4T with T = SCATR_ANY_PROTOCOL. */
HV_EXPORT int scatr_TXi(const scatr_t *atr, unsigned x, unsigned i, uint8_t *out);

/* Clock-rate conversion factor Fi by the high nibble of TA1 (0 for reserved values). */
HV_EXPORT uint32_t scatr_FDindex2F(uint8_t ta1);
/* Maximum clock frequency in Hz by the high nibble of TA1 (0 for reserved values). */
HV_EXPORT uint32_t scatr_FDindex2Fmax(uint8_t ta1);
/* Baud-rate adjustment factor Di by the low nibble of TA1 (0 for reserved values). */
HV_EXPORT uint32_t scatr_FDindex2D(uint8_t ta1);

/* Protocol the card uses after reset: TA2's protocol in specific mode, else TD1's (0 without
 * TD1). A null record gives 0. */
HV_EXPORT uint8_t scatr_getDefProtocol(const scatr_t *atr);

/* Bit T set for every protocol T offered (only TA2's in specific mode). Null record: 0. */
HV_EXPORT uint32_t scatr_getAvailProtocols(const scatr_t *atr);

#ifdef __cplusplus
}
#endif

#endif /* VORASEL_SC_ATR_H */
