#include "vorasel/sc_atr.h"

#include <stddef.h>
#include <string.h>

// ISO/IEC 7816-3 tables 7 and 8, by nibble of TA1; reserved places hold 0.
static const uint16_t kFi[16] = {372, 372, 558, 744,  1116, 1488, 1860, 0,
                                 0,   512, 768, 1024, 1536, 2048, 0,    0};
static const uint8_t kFmax100kHz[16] = {40, 50, 60, 80,  120, 160, 200, 0,
                                        0,  50, 75, 100, 150, 200, 0,   0};
static const uint8_t kDi[16] = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};

// Interface bytes announced by a Y nibble.
static const uint8_t kBitsSet[16] = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4};

typedef struct {
    uint8_t x;
    uint8_t i;
    uint8_t t;
    uint8_t value;
} atr_default_t;

// Values the standard implies when the card leaves a byte out, searched in this order.
static const atr_default_t kDefaults[] = {
    {SCATR_TA, 1, SCATR_ANY_PROTOCOL, 0x11},  // Fi 372, Di 1
    {SCATR_TC, 1, SCATR_ANY_PROTOCOL, 0},     // extra guard time 0
    {SCATR_TD, 1, SCATR_ANY_PROTOCOL, 0},     // T=0
    {SCATR_TC, 2, SCATR_ANY_PROTOCOL, 10},    // T=0 work waiting integer
    {SCATR_TA, 1, 1, 32},                     // T=1 IFSC
    {SCATR_TB, 1, 1, 0x4D},                   // T=1 BWI 4, CWI 13
    {SCATR_TC, 1, 1, 0},                      // T=1 LRC
    {SCATR_TA, 1, 15, 0x01},                  // T=15 no clock stop, class A
    {SCATR_TB, 1, 15, 0},                     // T=15 no SPU
};

int scatr_parse(scatr_t *atr, const uint8_t *bytes, uint32_t length) {
    if (atr == NULL || bytes == NULL) return SCATR_BAD_LENGTH;
    if (length < 2 || length > SCATR_MAX_LENGTH) return SCATR_BAD_LENGTH;
    if ((bytes[0] | 0x04) != 0x3F) return SCATR_BAD_TS;

    memset(atr, 0, sizeof *atr);
    atr->ts = bytes[0];
    atr->t0 = bytes[1];
    atr->hist_count = bytes[1] & 0x0F;

    uint32_t cursor = 2;
    uint8_t y = bytes[1] >> 4;
    uint8_t g = 0;
    while (y != 0) {
        if (cursor + kBitsSet[y] > length) return SCATR_BAD_LENGTH;
        if (g < SCATR_MAX_GROUPS) {
            scatr_group_t *grp = &atr->groups[g];
            if (y & 0x1) {
                grp->ta = bytes[cursor++];
                grp->ta_present = 1;
            }
            if (y & 0x2) {
                grp->tb = bytes[cursor++];
                grp->tb_present = 1;
            }
            if (y & 0x4) {
                grp->tc = bytes[cursor++];
                grp->tc_present = 1;
            }
            uint8_t next = 0;
            if (y & 0x8) {
                grp->td = bytes[cursor++];
                grp->td_present = 1;
                if (grp->td & 0x0F) atr->tck_present = 1;
                next = grp->td >> 4;
            }
            y = next;
            ++g;
        } else {
            // Groups past the seventh are walked but not kept. Their TA/TB/TC are skipped
            // even when no TD follows, so the historical bytes start in the right place.
            cursor += kBitsSet[y & 0x7];
            uint8_t next = 0;
            if (y & 0x8) {
                uint8_t td = bytes[cursor++];
                if (td & 0x0F) atr->tck_present = 1;
                next = td >> 4;
            }
            y = next;
        }
    }
    atr->group_count = g;

    uint32_t k = atr->hist_count;
    if (cursor + k > length) return SCATR_BAD_LENGTH;
    memcpy(atr->hist, bytes + cursor, k);
    cursor += k;

    if (!atr->tck_present) {
        if (cursor != length) return SCATR_BAD_LENGTH;
        atr->length = length;
        return SCATR_OK;
    }
    if (cursor + 1 > length) return SCATR_BAD_LENGTH;
    atr->tck = bytes[cursor];
    if (cursor + 1 != length) return SCATR_BAD_LENGTH;
    atr->length = length;
    uint8_t check = 0;
    for (uint32_t n = 1; n < length; ++n)
        check ^= bytes[n];
    return check == 0 ? SCATR_OK : SCATR_BAD_TCK;
}

static int group_byte(const scatr_group_t *grp, unsigned x, uint8_t *value) {
    switch (x) {
        case SCATR_TA:
            *value = grp->ta;
            return grp->ta_present;
        case SCATR_TB:
            *value = grp->tb;
            return grp->tb_present;
        case SCATR_TC:
            *value = grp->tc;
            return grp->tc_present;
        default:
            *value = grp->td;
            return grp->td_present;
    }
}

int scatr_TXi4T(const scatr_t *atr, unsigned x, unsigned i, unsigned t, uint8_t *out) {
    uint8_t scratch;
    if (out == NULL) out = &scratch;
    *out = 0;
    if (atr == NULL || x > SCATR_TD || i == 0) return SCATR_BYTE_ABSENT;
    unsigned groups = atr->group_count > SCATR_MAX_GROUPS ? SCATR_MAX_GROUPS : atr->group_count;

    if (t == SCATR_ANY_PROTOCOL) {
        uint8_t value;
        if (groups >= i && group_byte(&atr->groups[i - 1], x, &value)) {
            *out = value;
            return SCATR_BYTE_PRESENT;
        }
    } else if (groups >= 3) {
        // Protocol-specific bytes follow a TDk with k >= 2 (TD1 only names the first protocol).
        unsigned seen = 0;
        for (unsigned k = 2; k < groups; ++k) {
            const scatr_group_t *td_group = &atr->groups[k - 1];
            if (!td_group->td_present || (td_group->td & 0x0F) != t) continue;
            if (++seen == i) {
                uint8_t value;
                if (group_byte(&atr->groups[k], x, &value)) {
                    *out = value;
                    return SCATR_BYTE_PRESENT;
                }
                break;
            }
        }
    }

    for (size_t n = 0; n < sizeof kDefaults / sizeof kDefaults[0]; ++n) {
        const atr_default_t *d = &kDefaults[n];
        if (d->x == x && d->i == i && d->t == t) {
            *out = d->value;
            return SCATR_BYTE_DEFAULT;
        }
    }
    return SCATR_BYTE_ABSENT;
}

int scatr_TXi(const scatr_t *atr, unsigned x, unsigned i, uint8_t *out) {
    return scatr_TXi4T(atr, x, i, SCATR_ANY_PROTOCOL, out);
}

uint32_t scatr_FDindex2F(uint8_t ta1) {
    return kFi[ta1 >> 4];
}

uint32_t scatr_FDindex2Fmax(uint8_t ta1) {
    return (uint32_t)kFmax100kHz[ta1 >> 4] * 100000u;
}

uint32_t scatr_FDindex2D(uint8_t ta1) {
    return kDi[ta1 & 0x0F];
}

uint8_t scatr_getDefProtocol(const scatr_t *atr) {
    if (atr == NULL) return 0;
    if (atr->group_count >= 2 && atr->groups[1].ta_present) return atr->groups[1].ta & 0x0F;
    uint8_t td1 = 0;  // T=0 when TD1 is absent
    scatr_TXi(atr, SCATR_TD, 1, &td1);
    return td1 & 0x0F;
}

uint32_t scatr_getAvailProtocols(const scatr_t *atr) {
    if (atr == NULL) return 0;
    // Specific mode: only the protocol named by TA2.
    if (atr->group_count >= 2 && atr->groups[1].ta_present) return 1u << (atr->groups[1].ta & 0x0F);
    uint32_t mask = 0;
    for (unsigned i = 1; i <= SCATR_MAX_GROUPS; ++i) {
        uint8_t td;
        if (scatr_TXi(atr, SCATR_TD, i, &td) != SCATR_BYTE_ABSENT) mask |= 1u << (td & 0x0F);
    }
    return mask;
}
