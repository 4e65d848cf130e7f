// The card's side of the PPS exchange (ISO/IEC 7816-3 protocol and parameters selection).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "vorasel/sim/Atr.h"
#include "vorasel/sim/VirtualCard.h"

namespace hv::sim::card {

struct PpsOutcome {
    bool answered = false;  // false: the card stays silent (erroneous request or NoAnswer)
    Bytes reply;
    uint8_t protocol = 0;  // in force after the exchange
    uint8_t fidi = 0x11;
};

PpsOutcome answerPps(std::span<const uint8_t> request, const AtrFacts &atr, PpsBehaviour behaviour,
                     std::optional<uint8_t> otherFiDi);

}  // namespace hv::sim::card
