// The reader's slot given to an external card emulator behind a VpcdBridge: while the slot
// follows the emulator, the emulator's card is in the reader exactly as long as an emulator
// is connected. Every connection is a new insertion (a new card, with the emulator's ATR at
// power-on); the emulator leaving is the card's removal.
//
// Threads: the bridge's thread inserts and removes; follow() and stop() from any thread. Once
// stop() (or the destructor) returns, the bridge no longer changes the slot.
#pragma once

#include <memory>
#include <mutex>

#include "vorasel/sim/CcidReader.h"
#include "vorasel/sim/VirtualCard.h"
#include "vorasel/sim/VpcdBridge.h"

namespace hv::sim {

class EmulatorSlot {
public:
    EmulatorSlot(std::shared_ptr<CcidReader> reader, std::shared_ptr<VpcdBridge> bridge);
    ~EmulatorSlot();
    EmulatorSlot(const EmulatorSlot &) = delete;
    EmulatorSlot &operator=(const EmulatorSlot &) = delete;

    // The slot takes the emulator's card: at once when one is connected, at every connection
    // from now on.
    void follow();
    // The slot is the caller's again (another card goes in, or it is emptied); the
    // emulator's card, if in, stays until the caller changes the slot.
    void stop();

private:
    void connectionChanged(bool up);
    void insertLocked();

    const std::shared_ptr<CcidReader> reader_;
    const std::shared_ptr<VpcdBridge> bridge_;
    std::mutex mutex_;  // held while the slot is changed; before the reader's locks
    bool following_ = false;
    std::shared_ptr<VirtualCard> card_;  // the emulator's card this slot put in
};

}  // namespace hv::sim
