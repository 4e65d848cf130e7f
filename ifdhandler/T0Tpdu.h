// The command TPDU that carries a short command APDU at T=0 (ISO/IEC 7816-3): the reader works
// at TPDU level and the driver sends T=0 commands as they come, so a case 1 APDU gains P3 = 00
// and a case 4 APDU loses its Le (the card then answers 61xx, and the client fetches the data
// with GET RESPONSE, as with any TPDU-level reader). Cases 2 and 3 are their own TPDU; anything
// else goes as it is, for the card to judge.
#pragma once

#include <cstdint>

namespace hv::ifdhandler {

struct T0Tpdu {
    const uint8_t *data;
    uint32_t length;
    uint8_t case1[5];  // holds the TPDU of a case 1 APDU; `data` points here then
};

// `tpdu` refers to `apdu` or to its own storage: keep both alive while it is used.
void makeT0Tpdu(const uint8_t *apdu, uint32_t length, T0Tpdu &tpdu);

}  // namespace hv::ifdhandler
