// Every packet of a capture, and the reader's error if it stopped on one.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "vorasel/sim/CaptureReader.h"

namespace hv::sim::capture {

struct ReadBack {
    std::vector<CapturedPacket> packets;
    std::string error;
};

// Reads `file` to its end and closes it.
inline ReadBack readCapture(FILE *file) {
    ReadBack r;
    if (!file) {
        r.error = "cannot open";
        return r;
    }
    CaptureReader reader(file);
    CapturedPacket p;
    while (reader.next(p))
        r.packets.push_back(p);
    r.error = reader.error();
    std::fclose(file);
    return r;
}

}  // namespace hv::sim::capture
