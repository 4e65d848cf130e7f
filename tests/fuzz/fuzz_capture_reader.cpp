// Arbitrary bytes as a capture file: the reader and the CCID trace built on it must take them
// without reading out of bounds, allocating beyond their bounds or looping, and the reader
// must end either at the end of the bytes or with an error that names an offset inside them.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "CcidTrace.h"
#include "vorasel/sim/CaptureReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    FILE *file = fmemopen(const_cast<uint8_t *>(data), size, "rb");
    if (!file) return 0;
    hv::sim::capture::CaptureReader reader(file);
    hv::sim::capture::CapturedPacket packet;
    vorasel::tool::CcidTrace trace;
    std::vector<vorasel::tool::TraceLine> lines;
    size_t packets = 0;
    while (reader.next(packet)) {
        // Every packet costs at least a record header of the file.
        if (++packets > size / 12 + 1) std::abort();
        if (packet.offset >= size) std::abort();
        lines.clear();
        trace.packet(packet, lines);
    }
    const std::string &error = reader.error();
    if (!error.empty() && (error.rfind("offset ", 0) != 0 || std::stoull(error.substr(7)) > size))
        std::abort();
    std::fclose(file);
    return 0;
}
