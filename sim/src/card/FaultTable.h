// The armed fault plans of one card. Not locked: the card holds its own lock around it.
#pragma once

#include <array>
#include <optional>
#include <vector>

#include "vorasel/sim/CardFaults.h"

namespace hv::sim::card {

class FaultTable {
public:
    void arm(const FaultPlan &plan) {
        if (plan.times > 0) plans_.push_back(plan);
    }
    void clear() { plans_.clear(); }
    bool armed(CardFault fault) const;

    // Counts one event of `fault`'s kind; the plan that hits it, if any.
    std::optional<FaultPlan> take(CardFault fault);
    // Like take(), for PowerOnMute: only plans covering `voltage` count the event.
    std::optional<FaultPlan> takePowerOn(uint8_t voltage);

    uint32_t hits(CardFault fault) const { return hits_[static_cast<size_t>(fault)]; }

private:
    std::optional<FaultPlan> takeIf(CardFault fault, uint8_t voltage);

    std::vector<FaultPlan> plans_;
    std::array<uint32_t, 16> hits_{};
};

}  // namespace hv::sim::card
