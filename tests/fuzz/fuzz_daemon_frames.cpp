// The frames a client sends into a session of the accessory daemon, read in pieces of any
// size. Every frame handed out is one the stream spelled, within the bound; nothing is taken
// past a length that breaks the bound; and the same stream read in other pieces gives the same
// frames.
//
// Input: the first byte seeds the piece sizes; the rest is the stream.
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "vorasel/sim/DaemonWire.h"

#define CHECK(cond)                    \
    do {                               \
        if (!(cond)) __builtin_trap(); \
    } while (0)

namespace {

constexpr uint32_t kBound = 4096;  // small, so that inputs reach past it

struct Result {
    std::vector<std::vector<uint8_t>> frames;  // type byte, then the payload
    bool tooLong = false;
};

Result readAll(std::span<const uint8_t> stream, uint8_t seed) {
    hv::sim::FrameReader reader(kBound);
    Result r;
    size_t at = 0;
    uint32_t state = seed | 1u;
    while (at < stream.size() && !r.tooLong) {
        state = state * 1103515245u + 12345u;
        const size_t piece = std::min<size_t>(stream.size() - at, 1 + (state >> 16) % 300);
        std::span<const uint8_t> in = stream.subspan(at, piece);
        for (;;) {
            const size_t before = in.size();
            const auto status = reader.next(in);
            CHECK(in.size() <= before);
            if (status == hv::sim::FrameReader::Status::TooLong) {
                r.tooLong = true;
                break;
            }
            if (status == hv::sim::FrameReader::Status::More) {
                CHECK(in.empty());
                break;
            }
            CHECK(reader.payload().size() <= kBound);
            std::vector<uint8_t> f{static_cast<uint8_t>(reader.type())};
            f.insert(f.end(), reader.payload().begin(), reader.payload().end());
            r.frames.push_back(std::move(f));
            if (in.empty()) break;
        }
        at += piece;
    }
    if (r.tooLong) {
        std::span<const uint8_t> none;
        CHECK(reader.next(none) == hv::sim::FrameReader::Status::TooLong);
    }
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const std::span<const uint8_t> stream(data + 1, size - 1);
    const Result a = readAll(stream, data[0]);
    // The frames spell the front of the stream, byte for byte.
    size_t at = 0;
    for (const auto &f : a.frames) {
        const size_t length = f.size() - 1;
        CHECK(at + 5 + length <= stream.size());
        CHECK(stream[at] == f[0]);
        const uint32_t announced = (uint32_t{stream[at + 1]} << 24) |
                                   (uint32_t{stream[at + 2]} << 16) |
                                   (uint32_t{stream[at + 3]} << 8) | stream[at + 4];
        CHECK(announced == length);
        CHECK(length == 0 || std::memcmp(stream.data() + at + 5, f.data() + 1, length) == 0);
        at += 5 + length;
    }
    // Read whole in one go, the same frames.
    const Result b = readAll(stream, 0xFF);
    CHECK(a.frames == b.frames && a.tooLong == b.tooLong);
    return 0;
}
