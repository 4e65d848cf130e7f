// T=0 at TPDU level, card side: the reader hands over the 5-byte header with the data it sent
// after the procedure byte, and returns what the card sent (data, SW1 SW2). ISO/IEC 7816-3's
// transport of APDUs: the application gets each command as the TPDU carries it (a header
// alone is read as case 2 with Le P3, which is also how case 1 travels; header and data as
// case 3, the form case 4 takes too); data it answers to a command with data are announced
// with 61xx and kept for GET RESPONSE; a case 2 P3 that differs from the answer's length is
// answered 6Cxx.
#pragma once

#include <span>

#include "vorasel/sim/CardApplication.h"

namespace hv::sim::card {

class T0Transport {
public:
    T0Transport();
    void reset();
    // False: the card sends nothing (an incomplete header, or the application is silent).
    bool exchange(std::span<const uint8_t> tpdu, CardApplication &app, Bytes &out);
    uint32_t commands() const { return commands_; }  // APDUs handed to the application

private:
    Bytes answer_;
    Bytes pending_;  // answer data waiting for GET RESPONSE
    size_t pendingAt_ = 0;
    uint16_t pendingSw_ = 0x9000;
    uint32_t commands_ = 0;
};

}  // namespace hv::sim::card
