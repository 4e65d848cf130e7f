#include "FaultTable.h"

#include <algorithm>

namespace hv::sim::card {

bool FaultTable::armed(CardFault fault) const {
    return std::any_of(plans_.begin(), plans_.end(),
                       [&](const FaultPlan &p) { return p.fault == fault; });
}

std::optional<FaultPlan> FaultTable::take(CardFault fault) {
    return takeIf(fault, 0xFF);
}

std::optional<FaultPlan> FaultTable::takePowerOn(uint8_t voltage) {
    return takeIf(CardFault::PowerOnMute, voltage);
}

std::optional<FaultPlan> FaultTable::takeIf(CardFault fault, uint8_t voltage) {
    if (plans_.empty()) return std::nullopt;
    std::optional<FaultPlan> hit;
    // Every matching plan counts the event; the first one due hits it.
    for (auto it = plans_.begin(); it != plans_.end();) {
        if (it->fault != fault || (fault == CardFault::PowerOnMute && !(it->voltages & voltage))) {
            ++it;
            continue;
        }
        if (it->after > 0) {
            --it->after;
            ++it;
            continue;
        }
        if (hit) {
            ++it;
            continue;
        }
        hit = *it;
        ++hits_[static_cast<size_t>(fault)];
        if (it->times != kFaultForever && --it->times == 0) {
            it = plans_.erase(it);
        } else {
            ++it;
        }
    }
    return hit;
}

}  // namespace hv::sim::card
