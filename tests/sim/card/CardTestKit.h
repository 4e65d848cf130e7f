// Test-side helpers for driving a VirtualCard: hex parsing, T=1 blocks built straight from
// ISO/IEC 7816-3 (with their own LRC and bitwise CRC), and a deliberately plain host that
// carries one APDU over T=1 with chaining, for the tests that are not about T=1 itself.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "vorasel/sim/VirtualCard.h"

namespace hv::sim::test {

inline Bytes hex(const std::string &text) {
    Bytes out;
    int nibble = -1;
    for (char ch : text) {
        int v;
        if (ch >= '0' && ch <= '9')
            v = ch - '0';
        else if (ch >= 'a' && ch <= 'f')
            v = ch - 'a' + 10;
        else if (ch >= 'A' && ch <= 'F')
            v = ch - 'A' + 10;
        else
            continue;
        if (nibble < 0) {
            nibble = v;
        } else {
            out.push_back(static_cast<uint8_t>(nibble << 4 | v));
            nibble = -1;
        }
    }
    return out;
}

inline Bytes cat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes pattern(size_t n, uint8_t start = 0) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<uint8_t>(start + i);
    return out;
}

enum class Epilogue { Lrc, Crc };

// Bit by bit, polynomial 0x1021, register from 0.
inline uint16_t crcBitwise(const uint8_t *p, size_t n) {
    uint16_t reg = 0;
    for (size_t i = 0; i < n; ++i) {
        reg ^= static_cast<uint16_t>(p[i] << 8);
        for (int b = 0; b < 8; ++b)
            reg = static_cast<uint16_t>(reg & 0x8000 ? (reg << 1) ^ 0x1021 : reg << 1);
    }
    return reg;
}

inline Bytes block(uint8_t pcb, const Bytes &inf = {}, Epilogue e = Epilogue::Lrc,
                   uint8_t nad = 0) {
    Bytes b;
    b.reserve(inf.size() + 5);
    b.push_back(nad);
    b.push_back(pcb);
    b.push_back(static_cast<uint8_t>(inf.size()));
    b.insert(b.end(), inf.begin(), inf.end());
    if (e == Epilogue::Lrc) {
        uint8_t x = 0;
        for (uint8_t v : b)
            x ^= v;
        b.push_back(x);
    } else {
        const uint16_t crc = crcBitwise(b.data(), b.size());
        b.push_back(static_cast<uint8_t>(crc >> 8));
        b.push_back(static_cast<uint8_t>(crc));
    }
    return b;
}

inline Bytes iBlock(int ns, bool more, const Bytes &inf, Epilogue e = Epilogue::Lrc) {
    return block(static_cast<uint8_t>((ns ? 0x40 : 0) | (more ? 0x20 : 0)), inf, e);
}
inline Bytes rBlock(int nr, Epilogue e = Epilogue::Lrc) {
    return block(static_cast<uint8_t>(0x80 | (nr ? 0x10 : 0)), {}, e);
}

struct Parsed {
    bool ok = false;  // well formed, right LEN, right epilogue
    uint8_t nad = 0, pcb = 0;
    Bytes inf;
    bool isI() const { return (pcb & 0x80) == 0; }
    bool isR() const { return (pcb & 0xC0) == 0x80; }
    bool isS() const { return (pcb & 0xC0) == 0xC0; }
    int ns() const { return (pcb >> 6) & 1; }
    int nr() const { return (pcb >> 4) & 1; }
    bool more() const { return pcb & 0x20; }
};

inline Parsed parse(const Bytes &b, Epilogue e = Epilogue::Lrc) {
    Parsed p;
    const size_t edc = e == Epilogue::Lrc ? 1 : 2;
    if (b.size() < 3 + edc || b.size() != 3 + b[2] + edc) return p;
    p.nad = b[0];
    p.pcb = b[1];
    p.inf.assign(b.begin() + 3, b.begin() + 3 + b[2]);
    if (e == Epilogue::Lrc) {
        uint8_t x = 0;
        for (uint8_t v : b)
            x ^= v;
        p.ok = x == 0;
    } else {
        const uint16_t crc = crcBitwise(b.data(), b.size() - 2);
        p.ok = b[b.size() - 2] == (crc >> 8) && b.back() == (crc & 0xFF);
    }
    return p;
}

// Sends `bytes`; the card must answer (not mute).
inline Bytes answer(VirtualCard &card, const Bytes &bytes) {
    const CardReply r = card.exchange(bytes);
    EXPECT_FALSE(r.mute) << "card mute";
    return r.bytes;
}

// A plain T=1 host: IFS negotiation, command chaining at the card's IFSC, R-blocks for a
// chained answer, S(WTX) answered. Any other block fails the test.
class T1Host {
public:
    T1Host(VirtualCard &card, uint8_t ifsc = 32, Epilogue e = Epilogue::Lrc)
        : card_(card), ifsc_(ifsc), e_(e) {}

    void negotiateIfsd(uint8_t ifsd) {
        const Parsed p = parse(answer(card_, block(0xC1, {ifsd}, e_)), e_);
        ASSERT_TRUE(p.ok);
        ASSERT_EQ(p.pcb, 0xE1);
        ASSERT_EQ(p.inf, Bytes{ifsd});
    }

    Bytes transmit(const Bytes &apdu) {
        Bytes response;
        size_t at = 0;
        Parsed p;
        for (;;) {
            const size_t n = std::min<size_t>(ifsc_, apdu.size() - at);
            const bool more = at + n < apdu.size();
            p = send(iBlock(ns_, more, Bytes(apdu.begin() + at, apdu.begin() + at + n), e_));
            if (!more) break;
            if (!p.isR() || p.nr() == ns_) {
                ADD_FAILURE() << "no acknowledgement of a chained block, pcb " << int(p.pcb);
                return {};
            }
            ns_ ^= 1;
            at += n;
        }
        ns_ ^= 1;
        for (;;) {
            if (!p.isI() || p.ns() != nr_) {
                ADD_FAILURE() << "expected I-block N(S)=" << nr_ << ", pcb " << int(p.pcb);
                return {};
            }
            response.insert(response.end(), p.inf.begin(), p.inf.end());
            nr_ ^= 1;
            if (!p.more()) return response;
            p = send(rBlock(nr_, e_));
        }
    }

    // One block out, one well-formed block back; S(WTX) requests are answered on the way.
    Parsed send(const Bytes &b) {
        Parsed p = parse(answer(card_, b), e_);
        while (p.ok && p.pcb == 0xC3) {
            ++wtx_;
            p = parse(answer(card_, block(0xE3, p.inf, e_)), e_);
        }
        EXPECT_TRUE(p.ok) << "bad block from the card";
        return p;
    }

    int ns() const { return ns_; }
    int nr() const { return nr_; }
    int wtxAnswered() const { return wtx_; }
    void setIfsc(uint8_t ifsc) { ifsc_ = ifsc; }

private:
    VirtualCard &card_;
    uint8_t ifsc_;
    Epilogue e_;
    int ns_ = 0;  // N(S) of the host's next I-block
    int nr_ = 0;  // N(S) expected from the card
    int wtx_ = 0;
};

// A T=1-only card with the given IFSC, powered and past its (absent) PPS.
inline CardConfig t1Config(uint8_t ifsc = 32, bool crc = false) {
    CardConfig c;
    c.atr.t0 = false;
    c.atr.t1 = true;
    if (ifsc != 32) c.atr.ifsc = ifsc;
    c.atr.crc = crc;
    return c;
}

inline CardConfig t0Config() {
    return CardConfig{};
}

inline void expectSw(const Bytes &response, uint16_t expected) {
    ASSERT_GE(response.size(), 2u);
    EXPECT_EQ(response[response.size() - 2] << 8 | response.back(), expected);
}

}  // namespace hv::sim::test
