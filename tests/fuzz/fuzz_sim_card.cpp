// Whatever a host sends, the simulated card must neither crash nor overrun: the first byte
// picks the card, then each record is a length byte and that many bytes for one exchange
// (length 0 means a power-on). The same bytes also go through the card's ATR and APDU readers.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "vorasel/sim/Apdu.h"
#include "vorasel/sim/IsoCard.h"
#include "vorasel/sim/VirtualCard.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace hv::sim;
    const std::span<const uint8_t> all(data, size);
    readAtrFacts(all);
    parseCommandApdu(all);
    if (size == 0) return 0;

    const uint8_t pick = data[0];
    CardConfig c;
    c.atr.t0 = pick & 0x01;
    c.atr.t1 = pick & 0x02;
    c.atr.crc = pick & 0x04;
    if (pick & 0x08) c.atr.ta1 = 0x96;
    if (pick & 0x10) c.atr.ifsc = 0x10;
    c.t1MaxSendInf = (pick & 0x20) ? 7 : 0;
    c.pps = static_cast<PpsBehaviour>((pick >> 6) % 5);
    IsoCardConfig iso;
    iso.challengeSeed = 1;
    VirtualCard card(c, std::make_shared<IsoCard>(iso));
    card.powerOn(PowerSelect::V5);
    if (pick & 0x80) card.arm(FaultPlan(CardFault::AbortChain, 1, kFaultForever));
    if (pick & 0x40) card.arm(FaultPlan(CardFault::WtxStorm, 0, 2).wtx(2, 3));

    for (size_t at = 1; at < size;) {
        const size_t n = data[at++];
        if (n == 0) {
            card.powerOn(PowerSelect::V5);
            continue;
        }
        const size_t take = n < size - at ? n : size - at;
        const CardReply r = card.exchange(all.subspan(at, take));
        if (r.bytes.size() > 65538) __builtin_trap();
        at += take;
    }
    return 0;
}
