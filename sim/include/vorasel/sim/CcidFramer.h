// Cuts the bulk-out byte stream into CCID command messages, whatever the splits and merges of
// the deliveries. Bounded: a message longer than the reader's maximum is reported from its
// header alone, and its data are counted off the stream without being kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace hv::sim {

class CcidFramer {
public:
    struct Event {
        enum class Kind { Message, Oversize } kind;
        // Message: the whole message. Oversize: its 10-byte header only. Valid until the next
        // call of next().
        std::span<const uint8_t> bytes;
    };

    // `maxMessage`: the largest message kept, header included (at least the header).
    explicit CcidFramer(size_t maxMessage);

    // Takes bytes from the front of `in` until a message (or an oversize header) is complete,
    // and returns it; nullopt when `in` is used up first. Call again with the rest of `in`.
    std::optional<Event> next(std::span<const uint8_t> &in);

    // The bytes of a message begun but not complete (to record what a closing session left).
    std::span<const uint8_t> partial() const { return {buffer_.data(), have_}; }
    // Data bytes of an oversize message still to be skipped.
    uint64_t skipping() const { return skip_; }
    void reset();

private:
    std::vector<uint8_t> buffer_;
    size_t have_ = 0;
    uint64_t skip_ = 0;
};

}  // namespace hv::sim
