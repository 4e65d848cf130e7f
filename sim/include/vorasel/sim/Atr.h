// Answers-to-reset of the simulated cards: built from a few parameters, and read back by the
// card itself to learn which protocols and T=1 parameters it has announced.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "vorasel/sim/Card.h"

namespace hv::sim {

// What the ATR announces. Absent optional bytes are left out, so the reader must assume the
// ISO/IEC 7816-3 defaults (TA1 0x11, TC1 0, WI 10, IFSC 32, BWI 4 / CWI 13, LRC).
struct AtrParams {
    bool inverse = false;  // TS 0x3F instead of 0x3B
    bool t0 = true;        // protocols offered; with both, T=0 comes first and is the default
    bool t1 = false;
    std::optional<uint8_t> ta1;  // Fi/Di; anything but 0x11 needs a PPS to take effect
    std::optional<uint8_t> tc1;  // extra guard time N
    std::optional<uint8_t> ta2;  // specific mode: low nibble the protocol, 0x10 implicit F/D
    std::optional<uint8_t> tc2;  // T=0 work waiting integer WI
    // First interface bytes for T=1 (in the group after the TD that announces T=1 again).
    std::optional<uint8_t> ifsc;
    std::optional<uint8_t> bwiCwi;  // BWI in the high nibble, CWI in the low one
    bool crc = false;               // TC for T=1 = 0x01 (CRC); false leaves the byte out (LRC)
    Bytes historical;               // at most 15 bytes
};

// TS, T0, the interface bytes in ISO/IEC 7816-3 order, the historical bytes, and TCK when a
// protocol other than T=0 is announced.
Bytes buildAtr(const AtrParams &params);

// What a card needs to know of its own ATR. Bytes that are absent read as their defaults; an
// ATR whose structure cannot be followed reads as `readable` false with every default (T=0).
struct AtrFacts {
    bool readable = false;
    bool inverse = false;
    uint8_t ta1 = 0x11;
    std::optional<uint8_t> ta2;
    uint8_t tc1 = 0;
    uint8_t wi = 10;
    uint16_t protocols = 1;     // bit T set for each protocol T offered
    uint8_t firstProtocol = 0;  // the protocol in force after the ATR, without PPS
    uint8_t ifsc = 32;
    uint8_t bwiCwi = 0x4D;
    bool crc = false;

    bool specificMode() const { return ta2.has_value(); }
    bool offers(uint8_t t) const { return t < 16 && (protocols >> t) & 1; }
};

AtrFacts readAtrFacts(std::span<const uint8_t> atr);

}  // namespace hv::sim
