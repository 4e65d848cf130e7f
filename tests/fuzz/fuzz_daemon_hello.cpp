// The first line a client sends the accessory daemon. Whatever it is, the parse is whole or
// refused: an accepted line is exactly what its parts spell, with no empty word and no
// control character in it.
#include <cstdint>
#include <string>
#include <string_view>

#include "vorasel/sim/DaemonWire.h"

#define CHECK(cond)                    \
    do {                               \
        if (!(cond)) __builtin_trap(); \
    } while (0)

namespace {

bool cleanWord(const std::string &w) {
    if (w.empty()) return false;
    for (char c : w)
        if (c == ' ' || static_cast<uint8_t>(c) < 0x20) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view line(reinterpret_cast<const char *>(data), size);
    const hv::sim::Hello h = hv::sim::parseHello(line);
    switch (h.kind) {
        case hv::sim::Hello::Kind::Invalid:
            CHECK(h.words.empty());
            break;
        case hv::sim::Hello::Kind::Control:
            CHECK(line == "CONTROL");
            break;
        case hv::sim::Hello::Kind::Session:
            CHECK(cleanWord(h.accessoryId) && cleanWord(h.protocol));
            CHECK(line == "SESSION " + h.accessoryId + " " + h.protocol);
            break;
        case hv::sim::Hello::Kind::Command: {
            std::string spelled = "COMMAND";
            for (const auto &w : h.words) {
                CHECK(cleanWord(w));
                spelled += " " + w;
            }
            CHECK(line == spelled);
            break;
        }
    }
    return 0;
}
