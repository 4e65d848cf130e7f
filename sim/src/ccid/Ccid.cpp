#include "vorasel/sim/Ccid.h"

namespace hv::sim::ccid {

std::optional<Header> parseHeader(std::span<const uint8_t> b) {
    if (b.size() < kHeaderSize) return std::nullopt;
    Header h;
    h.type = b[0];
    h.length = static_cast<uint32_t>(b[1]) | static_cast<uint32_t>(b[2]) << 8 |
               static_cast<uint32_t>(b[3]) << 16 | static_cast<uint32_t>(b[4]) << 24;
    h.slot = b[5];
    h.seq = b[6];
    h.b7 = b[7];
    h.b8 = b[8];
    h.b9 = b[9];
    return h;
}

void writeHeader(uint8_t *out, const Header &h) {
    out[0] = h.type;
    out[1] = static_cast<uint8_t>(h.length);
    out[2] = static_cast<uint8_t>(h.length >> 8);
    out[3] = static_cast<uint8_t>(h.length >> 16);
    out[4] = static_cast<uint8_t>(h.length >> 24);
    out[5] = h.slot;
    out[6] = h.seq;
    out[7] = h.b7;
    out[8] = h.b8;
    out[9] = h.b9;
}

namespace {

std::vector<Message> messages(const WireRecorder &recorder, const char *protocol,
                              Direction direction, std::optional<uint8_t> type) {
    std::vector<Message> out;
    for (const auto &e : recorder.select(protocol, direction)) {
        auto h = parseHeader(e.bytes);
        if (!h || (type && h->type != *type)) continue;
        out.push_back(
            Message{*h, Bytes(e.bytes.begin() + kHeaderSize, e.bytes.end()), e.time, e.note});
    }
    return out;
}

}  // namespace

std::vector<Message> received(const WireRecorder &recorder, std::optional<uint8_t> type) {
    return messages(recorder, "ccidbulk", Direction::Received, type);
}

std::vector<Message> sent(const WireRecorder &recorder, std::optional<uint8_t> type) {
    return messages(recorder, "ccidbulk", Direction::Sent, type);
}

std::vector<uint8_t> slotChanges(const WireRecorder &recorder) {
    std::vector<uint8_t> out;
    for (const auto &e : recorder.select("ccidinterrupt", Direction::Sent))
        if (e.bytes.size() == 2 && e.bytes[0] == kNotifySlotChange) out.push_back(e.bytes[1]);
    return out;
}

}  // namespace hv::sim::ccid
