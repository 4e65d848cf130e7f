// The inbound half of a socket session: the daemon's frames turned into what the host's input
// stream sees (open states, errors, data in pieces, the end of the output). The bytes come from
// another process and are not trusted: every frame is checked against its type's shape, and
// one that does not fit is ignored.
//
// Not thread-safe: the channel holds its lock around every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "Platform/ExternalAccessory/AccessoryProvider.h"

namespace hv::platform {

class InboundFrames {
public:
    using OpenState = SessionChannel::OpenState;

    // One frame as the wire gives it: type byte and payload.
    void apply(uint8_t type, std::vector<uint8_t> payload);
    void applyOpenStates(uint8_t input, uint8_t output);

    // Data: shown up to the next piece that is to be delivered alone (or that piece alone).
    void beginReadEvent();
    size_t visibleBytes() const { return inBytes_ < window_ ? inBytes_ : window_; }
    size_t pendingBytes() const { return inBytes_; }
    // Copies at most `cap` visible bytes; returns the count.
    size_t read(uint8_t *buf, size_t cap);
    // The host closed its input: later data is dropped.
    void dropInput() { dropInput_ = true; }
    // The storage of the last piece read out, for the next frame to fill.
    std::vector<uint8_t> takeSpare() { return std::move(spare_); }

    OpenState inputOpen() const { return inOpen_; }
    OpenState outputOpen() const { return outOpen_; }
    const std::optional<StreamError> &inputError() const { return inError_; }
    const std::optional<StreamError> &outputError() const { return outError_; }
    // The daemon said the accessory takes no more bytes.
    bool outputClosedByPeer() const { return outClosed_; }

private:
    struct Piece {
        std::vector<uint8_t> bytes;
        size_t offset = 0;
        bool separate = false;
    };

    OpenState inOpen_ = OpenState::Opening, outOpen_ = OpenState::Opening;
    std::optional<StreamError> inError_, outError_;
    std::deque<Piece> pieces_;
    std::vector<uint8_t> spare_;
    size_t inBytes_ = 0;
    size_t window_ = 0;
    bool dropInput_ = false;
    bool outClosed_ = false;
};

}  // namespace hv::platform
