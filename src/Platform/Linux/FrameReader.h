// Splits the daemon's byte stream into frames (type byte, 4-byte big-endian length, payload),
// whatever pieces the bytes arrive in. The peer is another process: a length over the wire's
// maximum breaks the stream before anything is allocated, and a payload's buffer grows only
// with the bytes that have actually arrived.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Platform/Linux/AccessoryWire.h"

namespace hv::platform::wire {

class FrameReader {
public:
    explicit FrameReader(uint32_t maxPayload = kMaxPayload) : maxPayload_(maxPayload) {}

    // Takes bytes up to the end of the next frame; returns how many it took. Takes nothing
    // while a complete frame waits to be taken with takePayload(), or once broken.
    size_t feed(const uint8_t *data, size_t size);

    bool frameReady() const { return state_ == State::Ready; }
    uint8_t frameType() const { return header_[0]; }
    // Hands over the ready frame's payload and starts on the next frame. `recycled` (any
    // vector, typically one handed back by the consumer) becomes the next payload's buffer, so
    // that a steady stream of frames reuses storage instead of allocating.
    std::vector<uint8_t> takePayload(std::vector<uint8_t> recycled = {});

    // A length over the maximum was announced: nothing more is taken.
    bool broken() const { return state_ == State::Broken; }
    // Bytes of an unfinished frame are held: an end of stream now truncates it.
    bool midFrame() const { return state_ == State::Payload || headerBytes_ > 0; }

private:
    enum class State { Header, Payload, Ready, Broken };

    const uint32_t maxPayload_;
    State state_ = State::Header;
    uint8_t header_[kHeaderSize] = {};
    size_t headerBytes_ = 0;
    uint32_t length_ = 0;
    std::vector<uint8_t> payload_;
};

}  // namespace hv::platform::wire
