// The whole simulated Vorasel case: one accessory with the CCID reader on ccidbulk and
// ccidinterrupt, the management service on manager, and a reset that detaches the case and
// attaches it again (with the new firmware's revision when an image was installed).
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "vorasel/sim/Card.h"
#include "vorasel/sim/CcidReader.h"
#include "vorasel/sim/ManagementService.h"
#include "vorasel/sim/SimAccessory.h"
#include "vorasel/sim/WireCapture.h"
#include "vorasel/sim/WireRecorder.h"

namespace hv::sim {

struct VoraselCaseConfig {
    AccessoryIdentity identity;
    CcidReaderConfig reader;
    ManagementConfig management;
    std::chrono::milliseconds detachAfterReset{50};
    std::chrono::milliseconds reattachDelay{1000};
    // False: a reset detaches the case for good (a case that fails to come back).
    bool reattachAfterReset = true;
};

class VoraselCase {
public:
    explicit VoraselCase(VoraselCaseConfig config = {});
    ~VoraselCase();

    SimAccessory &accessory() { return *accessory_; }
    const std::shared_ptr<SimAccessory> &sharedAccessory() const { return accessory_; }
    CcidReader &reader() { return *reader_; }
    const std::shared_ptr<CcidReader> &sharedReader() const { return reader_; }
    ManagementService &management() { return *management_; }
    // Every CCID and DEZ message on the wire, both directions.
    WireRecorder &recorder() { return *recorder_; }

    // Writes every CCID and DEZ message to a capture file from now on (replacing a capture
    // already running), stopping before the file would pass `limitBytes`. False, with
    // `error` set, when the file cannot be created.
    bool startCapture(const std::string &path, uint64_t limitBytes, std::string &error);
    // The capture running, or null.
    std::shared_ptr<WireCapture> capture() const;
    void stopCapture();

    void insertCard(std::shared_ptr<Card> card) { reader_->insertCard(std::move(card)); }
    void removeCard() { reader_->removeCard(); }

private:
    VoraselCaseConfig config_;
    std::shared_ptr<WireRecorder> recorder_;
    std::shared_ptr<SimAccessory> accessory_;
    std::shared_ptr<CcidReader> reader_;
    std::shared_ptr<ManagementService> management_;
    mutable std::mutex captureMutex_;
    std::shared_ptr<WireCapture> capture_;
};

}  // namespace hv::sim
