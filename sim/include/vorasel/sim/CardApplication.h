// What sits behind a virtual card's transmission protocols: the card's operating system, seen
// one command APDU at a time. Called from the reader's thread only, under the card's lock.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "vorasel/sim/Card.h"

namespace hv::sim {

enum class ResetKind : uint8_t { Cold, Warm };

struct ResetAnswer {
    bool answers = true;       // false: the card is mute at this reset
    std::optional<Bytes> atr;  // an application that owns its ATR (an external card) gives it
                               // here; otherwise the card's configured ATR is sent
};

class CardApplication {
public:
    virtual ~CardApplication() = default;
    virtual ResetAnswer reset(ResetKind kind) = 0;
    virtual void powerOff() {}
    // Appends the response APDU (data, SW1 SW2) to `response`. False when the card gives no
    // answer at all; the reader then sees it mute.
    virtual bool process(std::span<const uint8_t> command, Bytes &response) = 0;
    // False once the application itself has gone (an external emulator that left): a command
    // it did not answer then ends as the card's removal, not as a mute card.
    virtual bool present() const { return true; }
};

}  // namespace hv::sim
