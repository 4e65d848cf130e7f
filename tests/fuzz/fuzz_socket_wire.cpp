// What the accessory daemon sends the library's socket transport: control lines and session
// frames. The daemon is another process, so nothing it sends may fault the library: every line
// is parsed or skipped whole, every frame applied within its bounds, and the data read back is
// exactly the data sent, in order.
//
// Input: the first byte picks how much of the rest is control lines; the remainder is a frame
// stream, with read sizes taken from the frames' own bytes.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "Platform/Linux/AccessoryWire.h"
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

void frames(const uint8_t *data, size_t size) {
    namespace wire = hv::platform::wire;
    hv::platform::InboundFrames inbound;
    std::vector<uint8_t> sent, received;
    uint8_t buf[300];
    size_t at = 0;
    while (size - at >= wire::kHeaderSize) {
        const uint8_t *header = data + at;
        const uint32_t length = wire::payloadLength(header);
        if (length > wire::kMaxPayload || length > size - at - wire::kHeaderSize) break;
        const uint8_t *payload = header + wire::kHeaderSize;
        if ((header[0] == 'D' || header[0] == 'P'))
            sent.insert(sent.end(), payload, payload + length);
        inbound.apply(header[0], std::vector<uint8_t>(payload, payload + length));
        at += wire::kHeaderSize + length;

        // Read some of it back, as the host's input stream does after each event.
        inbound.beginReadEvent();
        CHECK(inbound.visibleBytes() <= inbound.pendingBytes());
        const size_t cap = length ? payload[0] % sizeof buf : sizeof buf;
        const size_t visible = inbound.visibleBytes();
        const size_t n = inbound.read(buf, cap);
        CHECK(n <= cap && n == std::min(cap, visible));
        received.insert(received.end(), buf, buf + n);
    }
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
