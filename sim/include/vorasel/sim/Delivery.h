// The device side's writer for one session: puts each message on the wire, shaped by the
// delivery faults that hit it (split, merge, delay, drop, stale, duplicate, corrupt,
// truncate, replace, end of session), and records what it did.
//
// One Delivery belongs to one session and is used by one thread at a time.
#pragma once

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "vorasel/sim/Card.h"
#include "vorasel/sim/Fault.h"
#include "vorasel/sim/SessionPort.h"
#include "vorasel/sim/WireRecorder.h"

namespace hv::sim {

class Delivery {
public:
    // Waits for the duration; false when the device is stopping (the write is abandoned).
    using Sleep = std::function<bool(Clock::duration)>;
    // Makes a stale answer from the current one when the session has sent none before.
    using StaleFallback = std::function<Bytes(std::span<const uint8_t> current)>;

    Delivery(std::shared_ptr<SessionPort> port, WireRecorder *recorder, Sleep sleep);

    void setStaleFallback(StaleFallback fallback) { staleFallback_ = std::move(fallback); }

    // Puts one message on the wire as the faults say (a held merge goes first, in the same
    // write). False once the session is closed, or was ended by the EndSession fault.
    bool send(std::span<const uint8_t> message, const FaultSet &faults);
    bool send(std::span<const uint8_t> message) { return send(message, FaultSet{}); }

    SessionPort &port() { return *port_; }

private:
    bool writePieces(std::span<const uint8_t> bytes, size_t messageStart, const Fault *split);
    void recordSent(std::span<const uint8_t> bytes, const std::string &note);

    std::shared_ptr<SessionPort> port_;
    WireRecorder *recorder_;
    Sleep sleep_;
    StaleFallback staleFallback_;
    std::vector<Bytes> held_;  // messages merged into the next write
    Bytes last_;               // the last answer put on the wire, as built
    Bytes out_;                // scratch: this message after corruption or truncation
    Bytes wire_;               // scratch: held messages followed by this one
};

}  // namespace hv::sim
