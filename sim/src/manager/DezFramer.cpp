#include "vorasel/sim/DezFramer.h"

#include <algorithm>
#include <cstring>

#include "vorasel/sim/Ber.h"

namespace hv::sim {

DezFramer::DezFramer(size_t maxMessage) : buffer_(std::max(maxMessage, ber::kMaxHeader)) {}

void DezFramer::reset() {
    have_ = 0;
    total_ = 0;
    skip_ = 0;
}

std::optional<DezFramer::Event> DezFramer::next(std::span<const uint8_t> &in) {
    auto skip = [&] {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(skip_, in.size()));
        skip_ -= n;
        in = in.subspan(n);
    };
    skip();
    if (in.empty()) return std::nullopt;

    ber::Header h;
    while (total_ == 0) {
        // One byte at a time: the header is short and its end is known only once read.
        buffer_[have_++] = in.front();
        in = in.subspan(1);
        const ber::Read r = ber::readHeader({buffer_.data(), have_}, h);
        if (r == ber::Read::Invalid) {
            const size_t dropped = have_;
            have_ = 0;
            in = {};
            return Event{Event::Kind::Invalid, 0, {buffer_.data(), dropped}};
        }
        if (r == ber::Read::Ok) {
            if (h.length > buffer_.size() - h.size) {
                skip_ = h.length;
                have_ = 0;
                skip();
                return Event{Event::Kind::Oversize, h.tag, {buffer_.data(), h.size}};
            }
            total_ = h.size + static_cast<size_t>(h.length);
            break;
        }
        if (in.empty()) return std::nullopt;
    }

    const size_t n = std::min(total_ - have_, in.size());
    std::memcpy(buffer_.data() + have_, in.data(), n);
    have_ += n;
    in = in.subspan(n);
    if (have_ < total_) return std::nullopt;
    const size_t size = total_;
    have_ = 0;
    total_ = 0;
    ber::readHeader({buffer_.data(), size}, h);
    return Event{Event::Kind::Message, h.tag, {buffer_.data(), size}};
}

}  // namespace hv::sim
