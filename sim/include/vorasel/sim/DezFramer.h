// Cuts the management byte stream into DEZ requests (single BER-TLV elements back to back),
// whatever the splits and merges of the deliveries. Bounded: a request longer than the
// maximum is reported from its header alone and its content counted off the stream. Bytes
// that cannot begin an element leave nothing to resynchronise on: they are reported and
// dropped together with the rest of the delivery they came in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace hv::sim {

class DezFramer {
public:
    struct Event {
        enum class Kind { Message, Oversize, Invalid } kind;
        uint32_t tag = 0;  // Message and Oversize
        // Message: the whole element. Oversize: its header. Invalid: the bytes dropped from
        // the buffer (the rest of the delivery goes too). Valid until the next call.
        std::span<const uint8_t> bytes;
    };

    explicit DezFramer(size_t maxMessage);

    // Takes bytes from the front of `in` until an event is ready; nullopt when `in` is used
    // up first.
    std::optional<Event> next(std::span<const uint8_t> &in);

    std::span<const uint8_t> partial() const { return {buffer_.data(), have_}; }
    void reset();

private:
    std::vector<uint8_t> buffer_;
    size_t have_ = 0;
    size_t total_ = 0;  // size of the element being gathered, 0 while its header is incomplete
    uint64_t skip_ = 0;
};

}  // namespace hv::sim
