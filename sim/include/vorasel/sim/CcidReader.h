// The accessory's contact card reader: a one-slot USB CCID reader working at TPDU level,
// serving "ccidbulk" (commands and responses) and "ccidinterrupt" (slot-change notifications).
//
// Commands answered: PC_to_RDR_IccPowerOn (bPowerSelect honoured; automatic selection tries
// the lowest supported voltage first), IccPowerOff, SetParameters (T=0 and T=1 structures
// checked field by field; a bad field is answered with bError = its offset in the message),
// XfrBlock (the data go to the card unchanged; while the card is busy the reader sends time
// extensions, bmCommandStatus 2, every `timeExtensionInterval`) and GetSlotStatus. Every
// other bMessageType is answered "command not supported" (bError 0) in the response type the
// command would have had (RDR_to_PC_SlotStatus for unknown types). A command longer than
// `maxMessageLength` is answered at once with bError 1 (dwLength) and its data are skipped.
// Once the protocol has been set to T=0, an XfrBlock that is not a TPDU (5-byte header, plus
// P3 data bytes for a command carrying data) is refused with bError 10.
//
// Failures: no card, bStatus 0x42 bError 0xFE (ICC_MUTE); card not activated, 0x41 0xFE; a
// card that does not answer within `muteTimeout`, 0x41 0xFE at power-on (the reader then
// deactivates it before trying the next voltage) and 0x40 0xFE in XfrBlock; a card pulled
// out during a command, 0x42 0xFE; an answer longer than the reader's buffer, XFR_OVERRUN.
//
// Slot-change notifications (50 03 insertion, 50 02 removal) go to every open interrupt
// session. A change while no interrupt session is open is kept, as a USB reader keeps its
// interrupt data until polled: the next interrupt session opened gets one notification of the
// slot's state then (50 03 or 50 02). The accessory's power-up counts as a change, with or
// without a card, so a host learns an empty slot without asking.
//
// The bulk sessions are served one command at a time (bMaxCCIDBusySlots 1), each session on
// its own thread; a second bulk session waits while the first is busy. The card is called
// only from those threads, one call at a time. A card pulled out while powered is told
// powerOff() on the reader's thread before the next command is handled.
//
// Not simulated: the control pipe (ABORT), clock stop, escape commands, GetParameters,
// ResetParameters, APDU or character level exchange, multiple slots.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "vorasel/sim/Card.h"
#include "vorasel/sim/CcidFramer.h"
#include "vorasel/sim/Delivery.h"
#include "vorasel/sim/Fault.h"
#include "vorasel/sim/PortThreads.h"
#include "vorasel/sim/SessionPort.h"
#include "vorasel/sim/WireRecorder.h"

namespace hv::sim {

struct CcidReaderConfig {
    // dwMaxCCIDMessageLength: the longest command or response, header included.
    size_t maxMessageLength = 270;
    // bVoltageSupport: bit 0 5.0 V, bit 1 3.0 V, bit 2 1.8 V.
    uint8_t voltageSupport = 0x03;
    // While the card works, one time extension per interval.
    std::chrono::microseconds timeExtensionInterval{std::chrono::milliseconds(100)};
    // How long the reader waits for a card that does not answer before reporting ICC_MUTE.
    std::chrono::microseconds muteTimeout{std::chrono::milliseconds(20)};
};

class CcidReader final : public Device {
public:
    explicit CcidReader(CcidReaderConfig config = {},
                        std::shared_ptr<WireRecorder> recorder = nullptr);
    ~CcidReader() override;
    CcidReader(const CcidReader &) = delete;
    CcidReader &operator=(const CcidReader &) = delete;

    // Serves "ccidbulk" and "ccidinterrupt" sessions; other protocols are closed at once.
    void attachPort(std::shared_ptr<SessionPort> port) override;
    // Ends every session; the card loses power and the protocol parameters are forgotten.
    void powerLost() override;

    // From any thread. Inserting while a card is in the slot removes that one first.
    void insertCard(std::shared_ptr<Card> card);
    void removeCard();
    bool hasCard() const;
    bool cardPowered() const;

    FaultScript &faults() { return faults_; }
    WireRecorder &recorder() { return *recorder_; }
    std::shared_ptr<WireRecorder> sharedRecorder() const { return recorder_; }
    // Session threads still running (tests check that the reader lets go of them).
    size_t sessionThreads() const { return threads_.running(); }

private:
    struct Bulk;
    enum class Wait { Elapsed, CardGone, Stopped };

    void serveBulk(const std::shared_ptr<SessionPort> &port);
    void serveInterrupt(const std::shared_ptr<SessionPort> &port);
    void notifier();

    bool handle(Bulk &bulk, const CcidFramer::Event &event);
    bool powerOn(Bulk &bulk, std::span<const uint8_t> msg, const FaultSet &faults);
    bool powerOff(Bulk &bulk, std::span<const uint8_t> msg);
    bool slotStatus(Bulk &bulk, std::span<const uint8_t> msg);
    bool setParameters(Bulk &bulk, std::span<const uint8_t> msg);
    bool xfrBlock(Bulk &bulk, std::span<const uint8_t> msg, const FaultSet &faults);

    // Answer building (the response goes to bulk.response, then through the faults).
    uint8_t iccStatus() const;
    bool answer(Bulk &bulk, std::span<const uint8_t> cmd, uint8_t status, uint8_t error, uint8_t b9,
                std::span<const uint8_t> data = {});
    bool fail(Bulk &bulk, std::span<const uint8_t> cmd, uint8_t error);
    bool failIcc(Bulk &bulk, std::span<const uint8_t> cmd, uint8_t icc, uint8_t error);
    bool timeExtension(Bulk &bulk, std::span<const uint8_t> cmd, bool hold);
    bool storm(Bulk &bulk, std::span<const uint8_t> cmd, const FaultSet &faults);

    Wait waitUntil(Clock::time_point deadline, uint64_t cardEpoch);
    bool sleepFor(Clock::duration d);
    void removeCardLocked();
    void slotChangedLocked();
    void flushPowerOffs();
    void resetParametersLocked();
    uint8_t slotStateLocked() const;

    const CcidReaderConfig config_;
    std::shared_ptr<WireRecorder> recorder_;
    FaultScript faults_;

    // Serialises bulk commands and every call into a card.
    std::mutex commandMutex_;

    mutable std::mutex mutex_;  // the slot's state, below
    std::condition_variable changed_;
    std::shared_ptr<Card> card_;
    bool active_ = false;
    uint64_t cardEpoch_ = 0;   // moves on every insertion and removal
    uint64_t powerEpoch_ = 0;  // moves on every power loss
    bool stopping_ = false;
    uint8_t protocol_ = 0;      // bProtocolNum of the parameters in force
    bool protocolSet_ = false;  // SetParameters accepted since the last power-on
    uint8_t params_[7] = {};
    size_t paramsLength_ = 0;
    std::vector<std::shared_ptr<Card>> powerOffDue_;
    std::vector<std::shared_ptr<Delivery>> interrupts_;
    // A slot state to report: to every open interrupt session, or to one just opened.
    struct Notice {
        uint8_t state;
        std::shared_ptr<Delivery> only;
    };
    std::deque<Notice> notifications_;
    bool changePending_ = true;  // the power-up is reported

    std::thread notifier_;
    PortThreads threads_;  // last: its destructor joins threads that use the members above
};

}  // namespace hv::sim
