// The daemon's side of the socket wire: the first line a client sends, and the frames of a
// session. Both come from another process and are read as hostile: a line is taken whole or
// refused, and a frame's length is checked against the bound before anything is kept.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace hv::sim {

struct Hello {
    enum class Kind { Invalid, Control, Session, Command };
    Kind kind = Kind::Invalid;
    std::string accessoryId;         // Session
    std::string protocol;            // Session
    std::vector<std::string> words;  // Command: what follows "COMMAND"
};

// "CONTROL", "SESSION <id> <protocol>" or "COMMAND[ <words>]", without the "\n".
Hello parseHello(std::string_view line);

// Splits a stream of frames (a type byte, a 4-byte big-endian length, the payload) as it comes.
class FrameReader {
public:
    enum class Status { Frame, More, TooLong };
    static constexpr size_t kHeaderSize = 5;

    explicit FrameReader(uint32_t maxPayload) : maxPayload_(maxPayload) {}

    // Takes bytes from the front of `in` until a frame is whole (Frame: type() and payload()
    // hold it until the next call) or `in` is used up (More). TooLong: the frame announced
    // more than the bound; the stream cannot be followed further, and every later call says so.
    Status next(std::span<const uint8_t> &in);
    char type() const { return static_cast<char>(header_[0]); }
    std::span<const uint8_t> payload() const { return {payload_.data(), length_}; }
    // Bytes held of a frame not yet whole.
    size_t pending() const {
        if (headerHave_ < kHeaderSize) return headerHave_;
        return have_ == length_ ? 0 : kHeaderSize + have_;
    }

private:
    const uint32_t maxPayload_;
    uint8_t header_[kHeaderSize] = {};
    size_t headerHave_ = 0;
    uint32_t length_ = 0;
    size_t have_ = 0;
    bool broken_ = false;
    std::vector<uint8_t> payload_;  // grows to the largest frame seen, then is reused
};

}  // namespace hv::sim
