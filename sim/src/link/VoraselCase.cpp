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

bool VoraselCase::startCapture(const std::string &path, uint64_t limitBytes, std::string &error) {
    CaptureDevice device;
    device.maxMessageLength = static_cast<uint32_t>(config_.reader.maxMessageLength);
    device.voltageSupport = config_.reader.voltageSupport;
    auto capture = WireCapture::create(path, limitBytes, device, error);
    if (!capture) return false;
    std::lock_guard lock(captureMutex_);
    capture_ = capture;
    recorder_->setTap(std::move(capture));
    return true;
}

std::shared_ptr<WireCapture> VoraselCase::capture() const {
    std::lock_guard lock(captureMutex_);
    return capture_;
}

void VoraselCase::stopCapture() {
    std::lock_guard lock(captureMutex_);
    recorder_->setTap(nullptr);
    capture_.reset();
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
