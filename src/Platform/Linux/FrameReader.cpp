#include "Platform/Linux/FrameReader.h"

#include <algorithm>

namespace hv::platform::wire {

size_t FrameReader::feed(const uint8_t *data, size_t size) {
    size_t used = 0;
    while (used < size) {
        if (state_ == State::Header) {
            const size_t take = std::min(size - used, kHeaderSize - headerBytes_);
            std::copy_n(data + used, take, header_ + headerBytes_);
            headerBytes_ += take;
            used += take;
            if (headerBytes_ < kHeaderSize) break;
            headerBytes_ = 0;
            length_ = payloadLength(header_);
            if (length_ > maxPayload_) {
                state_ = State::Broken;
                break;
            }
            payload_.clear();
            state_ = length_ == 0 ? State::Ready : State::Payload;
        } else if (state_ == State::Payload) {
            const size_t take = std::min(size - used, size_t{length_} - payload_.size());
            payload_.insert(payload_.end(), data + used, data + used + take);
            used += take;
            if (payload_.size() == length_) state_ = State::Ready;
        }
        if (state_ != State::Header && state_ != State::Payload) break;
    }
    return used;
}

std::vector<uint8_t> FrameReader::takePayload(std::vector<uint8_t> recycled) {
    std::vector<uint8_t> out;
    if (state_ != State::Ready) return out;
    out.swap(payload_);
    payload_.swap(recycled);
    payload_.clear();
    state_ = State::Header;
    return out;
}

}  // namespace hv::platform::wire
