#include "vorasel/sim/Atr.h"

#include <algorithm>
#include <bit>

namespace hv::sim {
namespace {

struct Group {
    std::optional<uint8_t> ta, tb, tc;
    uint8_t y() const { return (ta ? 0x10 : 0) | (tb ? 0x20 : 0) | (tc ? 0x40 : 0); }
};

}  // namespace

Bytes buildAtr(const AtrParams &p) {
    const bool t0 = p.t0 || !p.t1;
    const Group g1{p.ta1, std::nullopt, p.tc1};
    const Group g2{p.ta2, std::nullopt, p.tc2};
    const Group g3{p.ifsc, p.bwiCwi, p.crc ? std::optional<uint8_t>(0x01) : std::nullopt};

    // T=1's own bytes sit after a TD2 that announces T=1; with both protocols TD2 is needed
    // anyway to announce T=1 after TD1's T=0.
    const bool needTd2 = g3.y() != 0 || (t0 && p.t1);
    const bool needTd1 = p.t1 || g2.y() != 0 || needTd2;
    const uint8_t k = static_cast<uint8_t>(std::min<size_t>(p.historical.size(), 15));

    Bytes atr;
    atr.push_back(p.inverse ? 0x3F : 0x3B);
    atr.push_back(static_cast<uint8_t>(g1.y() | (needTd1 ? 0x80 : 0) | k));
    auto putGroup = [&](const Group &g) {
        for (const auto &b : {g.ta, g.tb, g.tc})
            if (b) atr.push_back(*b);
    };
    putGroup(g1);
    if (needTd1) {
        atr.push_back(static_cast<uint8_t>(g2.y() | (needTd2 ? 0x80 : 0) | (t0 ? 0 : 1)));
        putGroup(g2);
        if (needTd2) {
            atr.push_back(static_cast<uint8_t>(g3.y() | 0x01));
            putGroup(g3);
        }
    }
    atr.insert(atr.end(), p.historical.begin(), p.historical.begin() + k);
    if (p.t1) {
        uint8_t tck = 0;
        for (size_t i = 1; i < atr.size(); ++i)
            tck ^= atr[i];
        atr.push_back(tck);
    }
    return atr;
}

AtrFacts readAtrFacts(std::span<const uint8_t> atr) {
    AtrFacts f;
    if (atr.size() < 2 || (atr[0] != 0x3B && atr[0] != 0x3F)) return f;
    AtrFacts r;
    r.inverse = atr[0] == 0x3F;
    r.protocols = 0;
    size_t pos = 2;
    uint8_t y = atr[1] >> 4;
    bool firstTd = true, sawT1Td = false, t1BytesTaken = false, anyNonT0 = false;
    for (int group = 1; y != 0; ++group) {
        const size_t count = static_cast<size_t>(std::popcount(static_cast<unsigned>(y)));
        if (pos + count > atr.size()) return f;
        std::optional<uint8_t> ta, tb, tc;
        if (y & 0x1) ta = atr[pos++];
        if (y & 0x2) tb = atr[pos++];
        if (y & 0x4) tc = atr[pos++];
        if (group == 1) {
            if (ta) r.ta1 = *ta;
            if (tc) r.tc1 = *tc;
        } else if (group == 2) {
            r.ta2 = ta;
            if (tc) r.wi = *tc;
        }
        // The first group after a TD(i>=2) announcing T=1 carries T=1's own bytes.
        if (sawT1Td && !t1BytesTaken) {
            t1BytesTaken = true;
            if (ta) r.ifsc = *ta;
            if (tb) r.bwiCwi = *tb;
            if (tc) r.crc = (*tc & 1) != 0;
        }
        if (!(y & 0x8)) break;
        const uint8_t td = atr[pos++];
        const uint8_t t = td & 0x0F;
        if (t != 15) r.protocols |= static_cast<uint16_t>(1u << t);
        if (t != 0) anyNonT0 = true;
        if (firstTd) r.firstProtocol = t;
        if (!firstTd && t == 1) sawT1Td = true;
        firstTd = false;
        y = td >> 4;
    }
    if (r.protocols == 0) r.protocols = 1;
    if (r.ta2) {
        r.firstProtocol = *r.ta2 & 0x0F;
        r.protocols = static_cast<uint16_t>(1u << r.firstProtocol);
    }
    const size_t k = atr[1] & 0x0F;
    if (pos + k + (anyNonT0 ? 1 : 0) > atr.size()) return f;
    r.readable = true;
    return r;
}

}  // namespace hv::sim
