// ATR parser and the queries on whatever it parsed: no fault, results in range, and a
// complete record gives back the bytes it came from.
#include <cstdint>
#include <cstring>
#include <memory>

#include "../unit/Smartcard/CardProtocol/CardBytes.h"
#include "vorasel/sc_atr.h"

#define CHECK(cond)                    \
    do {                               \
        if (!(cond)) __builtin_trap(); \
    } while (0)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 64) return 0;
    scatr_t atr;
    std::memset(&atr, 0x5A, sizeof atr);
    const int r = scatr_parse(&atr, data, static_cast<uint32_t>(size));
    CHECK(r >= SCATR_OK && r <= SCATR_BAD_LENGTH);

    if (r == SCATR_BAD_TS || size < 2 || size > SCATR_MAX_LENGTH) {
        const auto *p = reinterpret_cast<const uint8_t *>(&atr);
        for (size_t i = 0; i < sizeof atr; ++i)
            CHECK(p[i] == 0x5A);
        return 0;
    }
    CHECK(atr.group_count <= SCATR_MAX_GROUPS);
    CHECK(atr.hist_count == (data[1] & 0x0F));
    if (r == SCATR_BAD_LENGTH) {
        CHECK(atr.length == 0);
    } else {
        CHECK(atr.length == size);
        if (!hv::test::atrHasSkippedGroups(atr)) {
            const hv::test::Bytes back = hv::test::atrEncode(atr);
            CHECK(back.size() == size && std::memcmp(back.data(), data, size) == 0);
        }
        uint8_t x = 0;
        for (size_t i = 1; i < size; ++i)
            x ^= data[i];
        CHECK((x == 0) == (r == SCATR_OK) || !atr.tck_present);
    }

    // The queries on the record as the parser left it, complete or not.
    for (unsigned sel = 0; sel <= 4; ++sel) {
        for (unsigned i = 0; i <= 9; ++i) {
            for (unsigned t : {0u, 1u, 2u, 14u, 15u, 16u, 255u}) {
                uint8_t out = 0xEE;
                const int q = scatr_TXi4T(&atr, sel, i, t, &out);
                CHECK(q >= SCATR_BYTE_ABSENT && q <= SCATR_BYTE_PRESENT);
                if (q == SCATR_BYTE_ABSENT) CHECK(out == 0);
                if (sel > 3 || i == 0) CHECK(q == SCATR_BYTE_ABSENT);
                if (q == SCATR_BYTE_PRESENT && t == SCATR_ANY_PROTOCOL) CHECK(i <= atr.group_count);
            }
        }
    }
    const uint32_t mask = scatr_getAvailProtocols(&atr);
    CHECK(mask != 0 && mask <= 0xFFFF);
    CHECK(mask & (1u << scatr_getDefProtocol(&atr)));
    uint8_t ta1 = 0x11;
    scatr_TXi(&atr, SCATR_TA, 1, &ta1);
    CHECK(scatr_FDindex2F(ta1) <= 2048 && scatr_FDindex2D(ta1) <= 64);
    CHECK(scatr_FDindex2Fmax(ta1) <= 20000000);
    return 0;
}
