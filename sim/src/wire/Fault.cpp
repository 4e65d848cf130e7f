#include "vorasel/sim/Fault.h"

namespace hv::sim {

const char *faultName(FaultKind kind) {
    switch (kind) {
        case FaultKind::Split:
            return "split";
        case FaultKind::Merge:
            return "merge";
        case FaultKind::Delay:
            return "delay";
        case FaultKind::Drop:
            return "drop";
        case FaultKind::Stale:
            return "stale";
        case FaultKind::Duplicate:
            return "duplicate";
        case FaultKind::Corrupt:
            return "corrupt";
        case FaultKind::Truncate:
            return "truncate";
        case FaultKind::Replace:
            return "replace";
        case FaultKind::EndSession:
            return "end-session";
        case FaultKind::TimeExtensionStorm:
            return "time-extension-storm";
        case FaultKind::RemoveCard:
            return "remove-card";
        case FaultKind::MuteCard:
            return "mute-card";
    }
    return "?";
}

namespace {
Fault make(FaultKind kind) {
    Fault f;
    f.kind = kind;
    return f;
}
}  // namespace

Fault Fault::split(std::vector<size_t> cuts, Clock::duration pause) {
    Fault f = make(FaultKind::Split);
    f.cuts = std::move(cuts);
    f.pause = pause;
    return f;
}

Fault Fault::splitRandom(uint32_t pieces, uint32_t seed, Clock::duration pause) {
    Fault f = make(FaultKind::Split);
    f.pieces = pieces < 2 ? 2 : pieces;
    f.seed = seed;
    f.pause = pause;
    return f;
}

Fault Fault::merge() {
    return make(FaultKind::Merge);
}

Fault Fault::delayBy(Clock::duration delay) {
    Fault f = make(FaultKind::Delay);
    f.delay = delay;
    return f;
}

Fault Fault::drop() {
    return make(FaultKind::Drop);
}
Fault Fault::stale() {
    return make(FaultKind::Stale);
}
Fault Fault::duplicate() {
    return make(FaultKind::Duplicate);
}

Fault Fault::corrupt(int offset, uint8_t mask) {
    Fault f = make(FaultKind::Corrupt);
    f.offset = offset;
    f.mask = mask;
    return f;
}

Fault Fault::truncate(size_t keep) {
    Fault f = make(FaultKind::Truncate);
    f.keep = keep;
    return f;
}

Fault Fault::replace(std::vector<uint8_t> replacement) {
    Fault f = make(FaultKind::Replace);
    f.replacement = std::move(replacement);
    return f;
}

Fault Fault::endSession() {
    return make(FaultKind::EndSession);
}

Fault Fault::timeExtensionStorm(uint32_t count, Clock::duration pause) {
    Fault f = make(FaultKind::TimeExtensionStorm);
    f.count = count;
    f.pause = pause;
    return f;
}

Fault Fault::removeCard(Clock::duration delay) {
    Fault f = make(FaultKind::RemoveCard);
    f.delay = delay;
    return f;
}

Fault Fault::muteCard() {
    return make(FaultKind::MuteCard);
}

const Fault *FaultSet::find(FaultKind kind) const {
    for (const auto &f : faults_)
        if (f.kind == kind) return &f;
    return nullptr;
}

void FaultScript::add(Fault fault) {
    std::lock_guard lock(mutex_);
    armed_.push_back(Armed{std::move(fault)});
}

void FaultScript::clear() {
    std::lock_guard lock(mutex_);
    armed_.clear();
}

FaultSet FaultSet::without(FaultKind kind) const {
    FaultSet set;
    for (const auto &f : faults_)
        if (f.kind != kind) set.add(f);
    return set;
}

FaultSet FaultScript::take(uint32_t message, bool mainChannel) {
    FaultSet set;
    std::lock_guard lock(mutex_);
    if (armed_.empty()) return set;
    for (auto &a : armed_) {
        const bool matches = a.fault.match ? *a.fault.match == message : mainChannel;
        if (!matches) continue;
        const uint32_t seen = a.seen++;
        if (seen < a.fault.skip) continue;
        if (a.fault.limit != Fault::kAlways && a.hit >= a.fault.limit) continue;
        Fault hit = a.fault;
        hit.seed += a.hit;
        ++a.hit;
        ++fired_[static_cast<size_t>(a.fault.kind)];
        set.add(hit);
    }
    // Spent faults leave the script, so an idle device pays nothing for them.
    std::erase_if(armed_, [](const Armed &a) {
        return a.fault.limit != Fault::kAlways && a.hit >= a.fault.limit;
    });
    return set;
}

uint32_t FaultScript::fired(FaultKind kind) const {
    std::lock_guard lock(mutex_);
    return fired_[static_cast<size_t>(kind)];
}

size_t FaultScript::armed() const {
    std::lock_guard lock(mutex_);
    return armed_.size();
}

}  // namespace hv::sim
