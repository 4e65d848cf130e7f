// Which protocol data structures the reader accepts in PC_to_RDR_SetParameters.
#include "vorasel/sim/Ccid.h"

namespace hv::sim::ccid {

namespace {

// ISO/IEC 7816-3 tables 7 and 8: Fi indices 7, 8, 14, 15 and Di indices 0, 10-15 are RFU.
bool validFiDi(uint8_t fidi) {
    const uint8_t fi = fidi >> 4, di = fidi & 0x0F;
    const bool fiOk = fi <= 6 || (fi >= 9 && fi <= 13);
    const bool diOk = di >= 1 && di <= 9;
    return fiOk && diOk;
}

}  // namespace

uint8_t checkParameters(std::span<const uint8_t> m) {
    const auto h = parseHeader(m);
    if (!h) return kErrOffsetLength;
    const uint8_t protocol = h->b7;
    if (protocol > 1) return kErrOffsetByte7;
    const uint32_t want = protocol == 0 ? 5 : 7;
    if (h->length != want || m.size() != kHeaderSize + want) return kErrOffsetLength;
    const uint8_t *d = m.data() + kHeaderSize;
    if (!validFiDi(d[0])) return 10;
    if (protocol == 0) {
        if (d[1] != 0x00 && d[1] != 0x02) return 11;  // bmTCCKST0: only the convention bit
        // d[2] bGuardTimeT0: any extra guard time
        if (d[3] == 0) return 13;  // WI 0 is RFU
        if (d[4] > 3) return 14;   // bClockStop
        return 0;
    }
    // bmTCCKST1: bit 0 checksum (CRC), bit 1 convention; bits 7-2 are 000100b in CCID's
    // layout, and 0 is taken as well since hosts commonly leave them clear.
    if ((d[1] & 0xFC) != 0x10 && (d[1] & 0xFC) != 0x00) return 11;
    // d[2] bGuardTimeT1: any
    if ((d[3] >> 4) > 9) return 13;               // BWI above 9 is RFU
    if (d[4] > 3) return 14;                      // bClockStop
    if (d[5] == 0x00 || d[5] == 0xFF) return 15;  // IFSC 1..254
    if (d[6] != 0) return 16;                     // bNadValue: only the default NAD
    return 0;
}

}  // namespace hv::sim::ccid
