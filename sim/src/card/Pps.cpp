#include "Pps.h"

#include <bit>

namespace hv::sim::card {
namespace {

constexpr uint16_t kFi[16] = {372, 372, 558, 744,  1116, 1488, 1860, 0,
                              0,   512, 768, 1024, 1536, 2048, 0,    0};
constexpr uint8_t kDi[16] = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};

// The card can run at its announced F with any D up to its announced one, and at the
// default rate.
bool rateSupported(uint8_t pps1, uint8_t ta1) {
    const uint8_t fi = pps1 >> 4, di = pps1 & 0x0F;
    if (kFi[fi] == 0 || kDi[di] == 0) return false;
    if (kFi[fi] == 372 && kDi[di] == 1) return true;
    return kFi[fi] == kFi[ta1 >> 4] && kDi[di] <= kDi[ta1 & 0x0F];
}

}  // namespace

PpsOutcome answerPps(std::span<const uint8_t> req, const AtrFacts &atr, PpsBehaviour behaviour,
                     std::optional<uint8_t> otherFiDi) {
    PpsOutcome out;
    out.protocol = atr.firstProtocol;
    if (req.size() < 3 || req[0] != 0xFF) return out;
    const uint8_t pps0 = req[1];
    const size_t optional = static_cast<size_t>(std::popcount(static_cast<unsigned>(pps0 & 0x70)));
    if (req.size() != 3 + optional) return out;
    uint8_t check = 0;
    for (uint8_t b : req)
        check ^= b;
    const uint8_t t = pps0 & 0x0F;
    // An erroneous request, or one for a protocol the card does not offer, gets no answer.
    if (check != 0 || !atr.offers(t) || behaviour == PpsBehaviour::NoAnswer) return out;

    const std::optional<uint8_t> pps1 =
        (pps0 & 0x10) ? std::optional<uint8_t>(req[2]) : std::nullopt;
    bool echoPps1 = pps1 && rateSupported(*pps1, atr.ta1);
    uint8_t answeredT = t;
    uint8_t answeredPps1 = pps1.value_or(0x11);
    switch (behaviour) {
        case PpsBehaviour::Accept:
            break;
        case PpsBehaviour::DeclinePps1:
            echoPps1 = false;
            break;
        case PpsBehaviour::OtherProtocol:
            answeredT = t ^ 1;
            break;
        case PpsBehaviour::OtherFD:
            echoPps1 = true;
            answeredPps1 = otherFiDi.value_or(static_cast<uint8_t>(answeredPps1 ^ 0x01));
            break;
        case PpsBehaviour::NoAnswer:
            break;
    }

    out.answered = true;
    out.reply = {0xFF, static_cast<uint8_t>((echoPps1 ? 0x10 : 0) | answeredT)};
    if (echoPps1) out.reply.push_back(answeredPps1);
    uint8_t pck = 0;
    for (uint8_t b : out.reply)
        pck ^= b;
    out.reply.push_back(pck);
    // The card goes by what it answered.
    out.protocol = atr.offers(answeredT) ? answeredT : t;
    out.fidi = echoPps1 ? answeredPps1 : 0x11;
    return out;
}

}  // namespace hv::sim::card
