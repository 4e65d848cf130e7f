// What the simulated reader sees of a card in its slot.
//
// The reader works at TPDU level: it passes the bytes of each PC_to_RDR_XfrBlock to the card
// unchanged (a PPS request, a T=0 TPDU, or a whole T=1 block with its epilogue) and returns
// the card's bytes in RDR_to_PC_DataBlock. The card, not the reader, knows which of these it
// expects next. Cards are called from the reader's thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace hv::sim {

using Bytes = std::vector<uint8_t>;

// bPowerSelect of PC_to_RDR_IccPowerOn.
enum class PowerSelect : uint8_t { Automatic = 0, V5 = 1, V3 = 2, V1_8 = 3 };

struct CardReply {
    Bytes bytes;                        // what the card sends back
    std::chrono::microseconds busy{0};  // time the card works first (the reader sends time
                                        // extensions meanwhile)
    bool mute = false;                  // the card never answers (the reader reports ICC mute)
    bool removed = false;               // the card left the slot during this exchange (no answer;
                                        // the reader reports the slot empty from now on)

    // A mute reply again, keeping the buffer's capacity for the next answer.
    void resetToMute() {
        bytes.clear();
        busy = std::chrono::microseconds{0};
        mute = true;
        removed = false;
    }
};

class Card {
public:
    virtual ~Card() = default;
    // Cold (or warm, when already powered) reset at the given voltage. The ATR, or nothing
    // when the card does not answer at this voltage.
    virtual std::optional<Bytes> powerOn(PowerSelect voltage) = 0;
    virtual void powerOff() = 0;
    // One PPS request, T=0 TPDU or T=1 block, as the host sent it.
    virtual CardReply exchange(std::span<const uint8_t> bytes) = 0;
    // The same into a reply the caller keeps from one exchange to the next, so that a card
    // that can reuse its buffer allocates nothing per exchange.
    virtual void exchangeInto(std::span<const uint8_t> bytes, CardReply &reply) {
        reply = exchange(bytes);
    }
};

}  // namespace hv::sim
