// Command APDUs as a card reads them (ISO/IEC 7816-4 short and extended length).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "vorasel/sim/Card.h"

namespace hv::sim {

struct CommandApdu {
    uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
    std::span<const uint8_t> data;  // Nc bytes, inside the buffer that was parsed
    uint32_t ne = 0;                // 0 without Le; Le 00 / 0000 read as 256 / 65536
    bool leMax = false;             // Le was all zeros: "as much as there is, up to Ne"
    bool extended = false;
};

// Cases 1, 2S, 3S, 4S, 2E, 3E and 4E; nothing when the lengths do not add up.
std::optional<CommandApdu> parseCommandApdu(std::span<const uint8_t> apdu);

// Appends SW1 SW2.
inline void appendSw(Bytes &out, uint16_t sw) {
    out.push_back(static_cast<uint8_t>(sw >> 8));
    out.push_back(static_cast<uint8_t>(sw));
}

}  // namespace hv::sim
