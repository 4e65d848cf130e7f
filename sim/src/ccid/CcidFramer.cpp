#include "vorasel/sim/CcidFramer.h"

#include <algorithm>
#include <cstring>

#include "vorasel/sim/Ccid.h"

namespace hv::sim {

CcidFramer::CcidFramer(size_t maxMessage) : buffer_(std::max(maxMessage, ccid::kHeaderSize)) {}

void CcidFramer::reset() {
    have_ = 0;
    skip_ = 0;
}

std::optional<CcidFramer::Event> CcidFramer::next(std::span<const uint8_t> &in) {
    if (skip_ > 0) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(skip_, in.size()));
        skip_ -= n;
        in = in.subspan(n);
    }
    if (in.empty()) return std::nullopt;

    auto take = [&](size_t want) {
        const size_t n = std::min(want, in.size());
        std::memcpy(buffer_.data() + have_, in.data(), n);
        have_ += n;
        in = in.subspan(n);
    };

    if (have_ < ccid::kHeaderSize) {
        take(ccid::kHeaderSize - have_);
        if (have_ < ccid::kHeaderSize) return std::nullopt;
        const uint64_t length = ccid::parseHeader(buffer_)->length;
        if (ccid::kHeaderSize + length > buffer_.size()) {
            skip_ = length;
            have_ = 0;
            // Skip what is already here, so a caller sees the stream move on at once.
            const size_t n = static_cast<size_t>(std::min<uint64_t>(skip_, in.size()));
            skip_ -= n;
            in = in.subspan(n);
            return Event{Event::Kind::Oversize, {buffer_.data(), ccid::kHeaderSize}};
        }
    }
    const size_t total = ccid::kHeaderSize + ccid::parseHeader(buffer_)->length;
    take(total - have_);
    if (have_ < total) return std::nullopt;
    have_ = 0;
    return Event{Event::Kind::Message, {buffer_.data(), total}};
}

}  // namespace hv::sim
