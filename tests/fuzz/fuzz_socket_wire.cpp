// What the accessory daemon sends the library's socket transport: control lines and session
// frames. The daemon is another process, so nothing it sends may fault the library: every line
// is parsed or skipped whole, every frame applied within its bounds, and the data read back is
// exactly the data sent, in order.
//
// Input: the first byte picks how much of the rest is control lines; the remainder is a frame
// stream, cut into pieces whose sizes come from its own bytes, parsed incrementally and checked
// against the same stream read whole.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "Platform/Linux/AccessoryWire.h"
#include "Platform/Linux/FrameReader.h"
#include "Platform/Linux/InboundFrames.h"

#define CHECK(cond)                    \
    do {                               \
        if (!(cond)) __builtin_trap(); \
    } while (0)

namespace {

using hv::platform::wire::ControlLine;

void controlLines(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find('\n', start), text.size());
        const std::string line = text.substr(start, end - start);
        if (auto m = hv::platform::wire::parseControlLine(line)) {
            switch (m->kind) {
                case ControlLine::Kind::Sync:
                    CHECK(line == "SYNC");
                    break;
                case ControlLine::Kind::Attach:
                    CHECK(!m->id.empty());
                    CHECK(line.compare(7, m->id.size(), m->id) == 0);
                    CHECK(!m->info.protocolStrings.empty());
                    break;
                case ControlLine::Kind::Detach:
                    CHECK(line.substr(7) == m->id);
                    break;
            }
        }
        start = end + 1;
    }
}

struct Frame {
    uint8_t type;
    std::vector<uint8_t> payload;
    bool operator==(const Frame &) const = default;
};

void frames(const uint8_t *data, size_t size) {
    namespace wire = hv::platform::wire;
    // What the stream holds, read whole: complete frames up to the first length over the
    // maximum (the stream is broken there) or the end.
    std::vector<Frame> expected;
    bool expectBroken = false;
    size_t at = 0;
    while (size - at >= wire::kHeaderSize) {
        const uint32_t length = wire::payloadLength(data + at);
        if (length > wire::kMaxPayload) {
            expectBroken = true;
            break;
        }
        if (length > size - at - wire::kHeaderSize) break;
        const uint8_t *payload = data + at + wire::kHeaderSize;
        expected.push_back({data[at], std::vector<uint8_t>(payload, payload + length)});
        at += wire::kHeaderSize + length;
    }
    const bool expectMidFrame = !expectBroken && at < size;

    // The same stream as the socket gives it, in pieces whose sizes come from its own bytes,
    // through the parser and into the host's input, read back as the host's stream does.
    wire::FrameReader reader;
    hv::platform::InboundFrames inbound;
    std::vector<Frame> got;
    std::vector<uint8_t> sent, received;
    uint8_t buf[300];
    for (size_t fed = 0; fed < size && !reader.broken();) {
        const size_t piece = std::min<size_t>(size - fed, 1 + data[fed] % 97);
        size_t used = 0;
        while (used < piece && !reader.broken()) {
            const size_t n = reader.feed(data + fed + used, piece - used);
            used += n;
            if (!reader.frameReady()) {
                CHECK(used == piece || reader.broken());
                continue;
            }
            const uint8_t type = reader.frameType();
            std::vector<uint8_t> payload = reader.takePayload(inbound.takeSpare());
            CHECK(payload.size() <= wire::kMaxPayload);
            got.push_back({type, payload});
            if (type == 'D' || type == 'P') sent.insert(sent.end(), payload.begin(), payload.end());
            inbound.apply(type, std::move(payload));

            inbound.beginReadEvent();
            CHECK(inbound.visibleBytes() <= inbound.pendingBytes());
            const size_t cap =
                got.back().payload.empty() ? sizeof buf : got.back().payload[0] % sizeof buf;
            const size_t visible = inbound.visibleBytes();
            const size_t r = inbound.read(buf, cap);
            CHECK(r <= cap && r == std::min(cap, visible));
            received.insert(received.end(), buf, buf + r);
        }
        fed += used;
    }
    CHECK(got == expected);
    CHECK(reader.broken() == expectBroken);
    CHECK(expectBroken || reader.midFrame() == expectMidFrame);
    for (;;) {
        inbound.beginReadEvent();
        const size_t n = inbound.read(buf, sizeof buf);
        if (n == 0) break;
        received.insert(received.end(), buf, buf + n);
    }
    CHECK(inbound.pendingBytes() == 0);
    CHECK(received == sent);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0 || size > 1 << 16) return 0;
    const size_t lines = std::min<size_t>(data[0] * 4u, size - 1);
    controlLines(data + 1, lines);
    frames(data + 1 + lines, size - 1 - lines);
    return 0;
}
