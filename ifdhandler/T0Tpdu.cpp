#include "T0Tpdu.h"

#include <cstring>

namespace hv::ifdhandler {

void makeT0Tpdu(const uint8_t *apdu, uint32_t length, T0Tpdu &tpdu) {
    tpdu.data = apdu;
    tpdu.length = length;
    if (length == 4) {
        std::memcpy(tpdu.case1, apdu, 4);
        tpdu.case1[4] = 0x00;
        tpdu.data = tpdu.case1;
        tpdu.length = 5;
    } else if (length > 5 && apdu[4] != 0 && length == 5u + apdu[4] + 1u) {
        tpdu.length = length - 1;
    }
}

}  // namespace hv::ifdhandler
