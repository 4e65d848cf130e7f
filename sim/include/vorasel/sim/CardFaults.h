// Card-level fault injection, scriptable from tests: which fault, after how many of the events
// it counts, and for how many of them.
//
//   card.arm(FaultPlan(CardFault::CorruptReply));                   // the next reply
//   card.arm(FaultPlan(CardFault::Mute, 2, 3));                     // 3rd to 5th exchange
//   card.arm(FaultPlan(CardFault::WtxStorm, 0, kFaultForever).wtx(5, 2));
//
// Each fault counts its own kind of event (below). A plan skips `after` such events, then
// hits `times` of them, then ends; kFaultForever never ends until clearFaults().
#pragma once

#include <chrono>
#include <cstdint>
#include <limits>

namespace hv::sim {

// Voltage classes, as a mask.
inline constexpr uint8_t kClassA = 1;  // 5 V
inline constexpr uint8_t kClassB = 2;  // 3 V
inline constexpr uint8_t kClassC = 4;  // 1.8 V

enum class CardFault : uint8_t {
    // Counted per exchange (one PPS request, T=0 TPDU or T=1 block from the host):
    Mute,            // the card never saw the bytes: no answer, no state change
    DropReply,       // the card handles the bytes but its answer is lost
    Slow,            // the card works `busy` before answering
    CorruptReply,    // `mask` is xor-ed into byte `offset` of the answer (negative offsets
                     // count from the end: -1 is the last epilogue byte of a T=1 block)
    ReplayPrevious,  // the card sends its previous answer again instead of this one; it has
                     // moved on all the same (a stale or duplicated block)
    Removed,         // the card leaves the slot during the exchange: no answer,
                     // CardReply::removed, and the card is unpowered
    // T=1 only. Counted per command APDU completely received:
    WtxStorm,  // `count` S(WTX request) with `multiplier` before the answer
    // T=1 only. Counted per block the card would send as part of a chain (the R-block that
    // acknowledges a chained command block, or an I-block of a chained answer):
    AbortChain,  // S(ABORT request) instead of that block
    // T=1 only. Counted per new I-block or acknowledging R-block the card is about to send:
    IfsRequest,  // S(IFS request) announcing IFSC `value` first, then that block
    // Counted per power-on at a voltage in `voltages`:
    PowerOnMute,  // no ATR
};

inline constexpr uint32_t kFaultForever = std::numeric_limits<uint32_t>::max();

struct FaultPlan {
    explicit FaultPlan(CardFault f, uint32_t skip = 0, uint32_t hits = 1)
        : fault(f), after(skip), times(hits) {}
    FaultPlan &slow(std::chrono::microseconds d) {
        busy = d;
        return *this;
    }
    FaultPlan &corrupt(int at, uint8_t bits) {
        offset = at;
        mask = bits;
        return *this;
    }
    FaultPlan &wtx(uint32_t n, uint8_t m) {
        count = n;
        multiplier = m;
        return *this;
    }
    FaultPlan &ifsc(uint8_t size) {
        value = size;
        return *this;
    }
    FaultPlan &at(uint8_t classes) {
        voltages = classes;
        return *this;
    }

    CardFault fault;
    uint32_t after;
    uint32_t times;
    std::chrono::microseconds busy{0};  // Slow
    int offset = -1;                    // CorruptReply
    uint8_t mask = 0x01;                // CorruptReply
    uint32_t count = 1;                 // WtxStorm
    uint8_t multiplier = 1;             // WtxStorm
    uint8_t value = 254;                // IfsRequest
    uint8_t voltages = kClassA;         // PowerOnMute
};

}  // namespace hv::sim
