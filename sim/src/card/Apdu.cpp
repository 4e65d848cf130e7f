#include "vorasel/sim/Apdu.h"

#include <algorithm>

namespace hv::sim {

std::optional<CommandApdu> parseCommandApdu(std::span<const uint8_t> a) {
    if (a.size() < 4) return std::nullopt;
    CommandApdu c;
    c.cla = a[0];
    c.ins = a[1];
    c.p1 = a[2];
    c.p2 = a[3];
    const size_t n = a.size();
    if (n == 4) return c;
    const size_t b5 = a[4];
    if (n == 5) {  // 2S
        c.ne = b5 ? static_cast<uint32_t>(b5) : 256;
        c.leMax = b5 == 0;
        return c;
    }
    if (b5 != 0) {  // 3S or 4S
        if (n == 5 + b5) {
            c.data = a.subspan(5, b5);
            return c;
        }
        if (n == 6 + b5) {
            c.data = a.subspan(5, b5);
            c.ne = a[n - 1] ? a[n - 1] : 256;
            c.leMax = a[n - 1] == 0;
            return c;
        }
        return std::nullopt;
    }
    if (n < 7) return std::nullopt;
    c.extended = true;
    const size_t b67 = static_cast<size_t>(a[5]) << 8 | a[6];
    if (n == 7) {  // 2E
        c.ne = b67 ? static_cast<uint32_t>(b67) : 65536;
        c.leMax = b67 == 0;
        return c;
    }
    if (b67 == 0) return std::nullopt;
    c.data = a.subspan(7, std::min(b67, n - 7));
    if (n == 7 + b67) return c;  // 3E
    if (n == 9 + b67) {          // 4E
        const size_t le = static_cast<size_t>(a[n - 2]) << 8 | a[n - 1];
        c.ne = le ? static_cast<uint32_t>(le) : 65536;
        c.leMax = le == 0;
        return c;
    }
    return std::nullopt;
}

}  // namespace hv::sim
