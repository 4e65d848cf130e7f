#include "vorasel/sim/CardCatalogue.h"

#include "vorasel/sim/IsoCard.h"

namespace hv::sim {

std::vector<std::string> cardKinds() {
    return {"t0", "t1", "t1-crc", "dual", "fast", "vpcd"};
}

std::shared_ptr<VirtualCard> makeCard(const std::string &kind, std::shared_ptr<VpcdBridge> bridge) {
    if (kind == "vpcd")
        return bridge ? std::make_shared<VirtualCard>(CardConfig{}, std::move(bridge)) : nullptr;
    CardConfig config;
    config.atr.historical = {'V', 'o', 'r', 'a', 's', 'e', 'l'};
    if (kind == "t0") {
        config.atr.t0 = true;
    } else if (kind == "t1" || kind == "t1-crc" || kind == "fast") {
        config.atr.t0 = false;
        config.atr.t1 = true;
        config.atr.ifsc = 254;
        config.atr.crc = kind == "t1-crc";
        if (kind == "fast") config.atr.ta1 = 0x13;
    } else if (kind == "dual") {
        config.atr.t0 = true;
        config.atr.t1 = true;
    } else {
        return nullptr;
    }
    return std::make_shared<VirtualCard>(config, std::make_shared<IsoCard>());
}

}  // namespace hv::sim
