#include "vorasel/sim/VoraselCase.h"

#include <optional>

namespace hv::sim {

VoraselCase::VoraselCase(VoraselCaseConfig config)
    : config_(std::move(config)),
      recorder_(std::make_shared<WireRecorder>()),
      accessory_(SimAccessory::create(config_.identity)),
      reader_(std::make_shared<CcidReader>(config_.reader, recorder_)),
      management_(std::make_shared<ManagementService>(config_.management, recorder_)) {
    accessory_->addDevice(reader_, {"ccidbulk", "ccidinterrupt"});
    accessory_->addDevice(management_, {"manager"});
    std::weak_ptr<SimAccessory> weak = accessory_;
    const auto detachAfter = config_.detachAfterReset;
    const auto reattach = config_.reattachAfterReset
                              ? std::optional<std::chrono::milliseconds>(config_.reattachDelay)
                              : std::nullopt;
    management_->setResetHook([weak, detachAfter, reattach](std::optional<std::string> revision) {
        if (auto a = weak.lock()) a->powerCycle(detachAfter, reattach, std::move(revision));
    });
}

VoraselCase::~VoraselCase() {
    // No reset starts a power cycle any more, the case leaves (every session ends), and then
    // the accessory, the last owner of the devices, stops their threads before it frees the
    // sessions they served.
    management_->setResetHook(nullptr);
    accessory_->waitForPowerCycle();
    accessory_->detach();
}

}  // namespace hv::sim
