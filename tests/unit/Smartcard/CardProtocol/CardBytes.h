// Byte helpers shared by the card protocol tests and fuzz targets.
#pragma once

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "vorasel/sc_atr.h"

namespace hv::test {

using Bytes = std::vector<uint8_t>;

// "3B 80:01" -> {0x3B, 0x80, 0x01}; separators are ignored, a stray digit aborts the test run.
inline Bytes hexBytes(const std::string &hex) {
    Bytes out;
    int high = -1;
    for (char c : hex) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) continue;
        int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) {
        std::fprintf(stderr, "odd hex string: %s\n", hex.c_str());
        std::abort();
    }
    return out;
}

inline std::string toHex(const uint8_t *p, size_t n) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", p[i]);
        s += buf;
    }
    return s;
}
inline std::string toHex(const Bytes &b) {
    return toHex(b.data(), b.size());
}

// True when the parse skipped groups past the seventh, so the record cannot give the bytes back.
inline bool atrHasSkippedGroups(const scatr_t &atr) {
    const scatr_group_t &last = atr.groups[SCATR_MAX_GROUPS - 1];
    return atr.group_count == SCATR_MAX_GROUPS && last.td_present && (last.td >> 4) != 0;
}

// Rebuilds the ATR bytes from a complete record (results 0 and 2).
inline Bytes atrEncode(const scatr_t &atr) {
    Bytes out{atr.ts, atr.t0};
    for (unsigned g = 0; g < atr.group_count && g < SCATR_MAX_GROUPS; ++g) {
        const scatr_group_t &grp = atr.groups[g];
        if (grp.ta_present) out.push_back(grp.ta);
        if (grp.tb_present) out.push_back(grp.tb);
        if (grp.tc_present) out.push_back(grp.tc);
        if (grp.td_present) out.push_back(grp.td);
    }
    out.insert(out.end(), atr.hist, atr.hist + atr.hist_count);
    if (atr.tck_present) out.push_back(atr.tck);
    return out;
}

}  // namespace hv::test
