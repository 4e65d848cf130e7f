// The wire between the library's socket transport and the accessory daemon.
//
// One Unix-domain stream socket per use. The first line names the use:
//   "CONTROL\n"                      the daemon then sends attach and detach lines:
//                                    "ATTACH <id>\t<name>\t<manufacturer>\t<model>\t<serial>\t
//                                     <firmware>\t<hardware>\t<protocol,protocol,...>\n"
//                                    "DETACH <id>\n"
//   "SESSION <id> <protocol>\n"      a session; then frames both ways (below)
//   "COMMAND <words...>\n"           a command to the simulated accessory, answered
//                                    "OK[ text]\n" or "ERR <text>\n", then closed
// Frames: one type byte, a 4-byte big-endian payload length, the payload.
//   'R' (daemon) refused; the connection then closes
//   'O' (daemon) open states: input, output (0 opening, 1 open, 2 failed)
//   'D' data; 'P' (daemon) data to be delivered as a piece of its own
//   'E' (daemon) stream error: direction (0 input, 1 output), 4-byte big-endian code, text
//   'C' (daemon) the accessory no longer takes bytes
// End of data is a half-close (shutdown for writing) in either direction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vorasel/EAAccessory.h"

namespace hv::platform::wire {

constexpr size_t kHeaderSize = 5;
constexpr uint32_t kMaxPayload = 1u << 20;  // a larger frame is a broken peer

inline void putHeader(uint8_t *out, char type, uint32_t length) {
    out[0] = static_cast<uint8_t>(type);
    out[1] = static_cast<uint8_t>(length >> 24);
    out[2] = static_cast<uint8_t>(length >> 16);
    out[3] = static_cast<uint8_t>(length >> 8);
    out[4] = static_cast<uint8_t>(length);
}

inline uint32_t payloadLength(const uint8_t *header) {
    return (uint32_t{header[1]} << 24) | (uint32_t{header[2]} << 16) | (uint32_t{header[3]} << 8) |
           header[4];
}

inline std::vector<uint8_t> frame(char type, const uint8_t *payload, size_t length) {
    std::vector<uint8_t> out(kHeaderSize + length);
    putHeader(out.data(), type, static_cast<uint32_t>(length));
    if (length) std::copy(payload, payload + length, out.begin() + kHeaderSize);
    return out;
}

// Splits a line on a separator.
inline std::vector<std::string> split(const std::string &line, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = line.find(separator, start);
        parts.push_back(
            line.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

// One line of the control connection, as the library reads it.
struct ControlLine {
    enum class Kind { Sync, Attach, Detach };
    Kind kind;
    std::string id;      // the daemon's accessory id (attach, detach)
    AccessoryInfo info;  // attach only
};

// Nothing for a line the library does not know or that lacks fields: the daemon is another
// process, and a line that does not fit is skipped, never half used.
std::optional<ControlLine> parseControlLine(const std::string &line);

}  // namespace hv::platform::wire
