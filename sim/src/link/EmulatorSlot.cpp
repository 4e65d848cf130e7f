#include "vorasel/sim/EmulatorSlot.h"

#include "vorasel/sim/CardCatalogue.h"

namespace hv::sim {

EmulatorSlot::EmulatorSlot(std::shared_ptr<CcidReader> reader, std::shared_ptr<VpcdBridge> bridge)
    : reader_(std::move(reader)), bridge_(std::move(bridge)) {
    bridge_->setConnectionListener([this](bool up) { connectionChanged(up); });
}

EmulatorSlot::~EmulatorSlot() {
    // Waits for a call in flight: afterwards the bridge no longer reaches this object.
    bridge_->setConnectionListener(nullptr);
}

void EmulatorSlot::insertLocked() {
    card_ = makeCard("vpcd", bridge_);
    reader_->insertCard(card_);
}

void EmulatorSlot::follow() {
    std::lock_guard lock(mutex_);
    following_ = true;
    // The bridge marks a leaving emulator before it calls the listener, so a departure that
    // races with this either shows here or reaches connectionChanged afterwards.
    if (!card_ && bridge_->connected()) insertLocked();
}

void EmulatorSlot::stop() {
    std::lock_guard lock(mutex_);
    following_ = false;
    card_.reset();
}

void EmulatorSlot::connectionChanged(bool up) {
    std::lock_guard lock(mutex_);
    if (!following_) return;
    if (up) {
        // follow() may have put this connection's card in already; an emulator that replaces
        // another is announced gone first, so its card is always a new one.
        if (!card_) insertLocked();
    } else if (card_) {
        card_.reset();
        reader_->removeCard();
    }
}

}  // namespace hv::sim
