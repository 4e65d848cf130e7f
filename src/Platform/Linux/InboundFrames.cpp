#include "Platform/Linux/InboundFrames.h"

#include <algorithm>
#include <string>

namespace hv::platform {

namespace {

// A larger buffer is given back to the heap rather than kept for the next frame.
constexpr size_t kSpareLimit = 64 * 1024;

SessionChannel::OpenState decodeOpen(uint8_t v) {
    using OpenState = SessionChannel::OpenState;
    return v == 1 ? OpenState::Open : v == 2 ? OpenState::Failed : OpenState::Opening;
}

}  // namespace

void InboundFrames::applyOpenStates(uint8_t input, uint8_t output) {
    inOpen_ = decodeOpen(input);
    outOpen_ = decodeOpen(output);
    if (inOpen_ == OpenState::Failed) inError_ = StreamError{61, "Connection refused"};
    if (outOpen_ == OpenState::Failed) outError_ = StreamError{61, "Connection refused"};
}

void InboundFrames::apply(uint8_t type, std::vector<uint8_t> payload) {
    const size_t length = payload.size();
    switch (type) {
        case 'O':
            if (length >= 2) applyOpenStates(payload[0], payload[1]);
            break;
        case 'D':
        case 'P':
            if (!dropInput_ && length) {
                inBytes_ += length;
                pieces_.push_back(Piece{std::move(payload), 0, type == 'P'});
            }
            break;
        case 'E':
            if (length >= 5) {
                const int code =
                    static_cast<int>((uint32_t{payload[1]} << 24) | (uint32_t{payload[2]} << 16) |
                                     (uint32_t{payload[3]} << 8) | payload[4]);
                StreamError e{code, std::string(payload.begin() + 5, payload.end())};
                (payload[0] == 0 ? inError_ : outError_) = std::move(e);
            }
            break;
        case 'C':
            outClosed_ = true;
            break;
        default:
            break;
    }
}

void InboundFrames::beginReadEvent() {
    window_ = 0;
    for (const auto &piece : pieces_) {
        if (piece.separate) {
            if (window_ == 0) window_ = piece.bytes.size() - piece.offset;
            break;
        }
        window_ += piece.bytes.size() - piece.offset;
    }
}

size_t InboundFrames::read(uint8_t *buf, size_t cap) {
    size_t n = 0;
    size_t allowed = std::min(cap, visibleBytes());
    while (allowed > 0 && !pieces_.empty()) {
        auto &piece = pieces_.front();
        const size_t take = std::min(allowed, piece.bytes.size() - piece.offset);
        std::copy_n(piece.bytes.begin() + static_cast<ptrdiff_t>(piece.offset), take, buf + n);
        piece.offset += take;
        n += take;
        allowed -= take;
        if (piece.offset == piece.bytes.size()) {
            if (piece.bytes.capacity() <= kSpareLimit) spare_ = std::move(piece.bytes);
            pieces_.pop_front();
        }
    }
    inBytes_ -= n;
    window_ -= n;
    return n;
}

}  // namespace hv::platform
