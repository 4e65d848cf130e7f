// The reader's answers to each PC_to_RDR command.
#include <algorithm>

#include "CcidBulk.h"
#include "vorasel/sim/Ccid.h"

namespace hv::sim {

using namespace ccid;

namespace {

// The response type a command is answered with, whether or not the reader supports it.
uint8_t responseType(uint8_t command) {
    switch (command) {
        case kIccPowerOn:
        case kXfrBlock:
        case kSecure:
            return kDataBlock;
        case kSetParameters:
        case kGetParameters:
        case kResetParameters:
            return kParameters;
        case kEscape:
            return kEscapeResponse;
        case kSetDataRateAndClockFrequency:
            return kDataRateAndClockFrequency;
        default:
            return kSlotStatus;
    }
}

bool supported(uint8_t command) {
    switch (command) {
        case kIccPowerOn:
        case kIccPowerOff:
        case kGetSlotStatus:
        case kSetParameters:
        case kXfrBlock:
            return true;
        default:
            return false;
    }
}

uint8_t voltageBit(PowerSelect v) {
    switch (v) {
        case PowerSelect::V5:
            return 0x01;
        case PowerSelect::V3:
            return 0x02;
        case PowerSelect::V1_8:
            return 0x04;
        default:
            return 0;
    }
}

// A T=0 command TPDU: CLA INS P1 P2 P3, then P3 bytes when it carries data.
bool isT0Tpdu(std::span<const uint8_t> d) {
    return d.size() == 5 || (d.size() > 5 && d.size() == 5u + d[4]);
}

constexpr uint8_t icc(IccStatus s) {
    return static_cast<uint8_t>(s);
}

}  // namespace

uint8_t CcidReader::iccStatus() const {
    std::lock_guard lock(mutex_);
    if (!card_) return icc(IccStatus::Absent);
    return icc(active_ ? IccStatus::Active : IccStatus::Inactive);
}

bool CcidReader::answer(Bulk &bulk, std::span<const uint8_t> cmd, uint8_t statusByte, uint8_t error,
                        uint8_t b9, std::span<const uint8_t> data) {
    Header h;
    h.type = responseType(cmd[0]);
    h.length = static_cast<uint32_t>(data.size());
    h.slot = cmd[5];
    h.seq = cmd[6];
    h.b7 = statusByte;
    h.b8 = error;
    h.b9 = b9;
    writeHeader(bulk.response.data(), h);
    std::copy(data.begin(), data.end(), bulk.response.begin() + kHeaderSize);
    const FaultSet &faults = *bulk.faults;
    if (!storm(bulk, cmd, faults)) return false;
    const std::span<const uint8_t> message(bulk.response.data(), kHeaderSize + data.size());
    // A merged storm: the held time extensions go out together with the answer.
    if (faults.has(FaultKind::TimeExtensionStorm) && faults.has(FaultKind::Merge))
        return bulk.delivery.send(message, faults.without(FaultKind::Merge));
    return bulk.delivery.send(message, faults);
}

bool CcidReader::failIcc(Bulk &bulk, std::span<const uint8_t> cmd, uint8_t iccState,
                         uint8_t error) {
    uint8_t b9 = 0;
    if (responseType(cmd[0]) == kParameters) {
        std::lock_guard lock(mutex_);
        b9 = protocol_;
    }
    return answer(bulk, cmd, static_cast<uint8_t>(0x40 | iccState), error, b9);
}

bool CcidReader::fail(Bulk &bulk, std::span<const uint8_t> cmd, uint8_t error) {
    return failIcc(bulk, cmd, iccStatus(), error);
}

bool CcidReader::timeExtension(Bulk &bulk, std::span<const uint8_t> cmd, bool hold) {
    uint8_t msg[kHeaderSize];
    Header h;
    h.type = responseType(cmd[0]);
    h.slot = cmd[5];
    h.seq = cmd[6];
    h.b7 = static_cast<uint8_t>(0x80 | iccStatus());
    h.b8 = 1;  // multiplier of the waiting time
    writeHeader(msg, h);
    if (hold) {
        FaultSet merge;
        merge.add(Fault::merge());
        return bulk.delivery.send(msg, merge);
    }
    return bulk.delivery.send(msg);
}

bool CcidReader::storm(Bulk &bulk, std::span<const uint8_t> cmd, const FaultSet &faults) {
    const Fault *f = faults.find(FaultKind::TimeExtensionStorm);
    if (!f) return true;
    for (uint32_t i = 0; i < f->count; ++i) {
        if (i > 0 && f->pause.count() > 0 && !sleepFor(f->pause)) return false;
        if (!timeExtension(bulk, cmd, faults.has(FaultKind::Merge))) return false;
    }
    return true;
}

bool CcidReader::handle(Bulk &bulk, const CcidFramer::Event &event) {
    std::lock_guard command(commandMutex_);
    flushPowerOffs();
    const auto msg = event.bytes;
    // A command still buffered when its session ended is not served: a reader answers one
    // pipe in order, and this one would reach the card after the host's next session had.
    if (!bulk.delivery.port().isOpen()) {
        recorder_->record(bulk.delivery.port().protocol(), Direction::Received, msg,
                          "session ended, dropped");
        return false;
    }
    const bool oversize = event.kind == CcidFramer::Event::Kind::Oversize;
    recorder_->record(bulk.delivery.port().protocol(), Direction::Received, msg,
                      oversize ? "oversize, data skipped" : "");
    const FaultSet faults = faults_.take(msg[0]);
    bulk.faults = &faults;

    if (!supported(msg[0])) return fail(bulk, msg, kErrCommandNotSupported);
    if (msg[5] != 0) return failIcc(bulk, msg, icc(IccStatus::Absent), kErrOffsetSlot);
    if (oversize) return fail(bulk, msg, kErrOffsetLength);
    switch (msg[0]) {
        case kIccPowerOn:
            return powerOn(bulk, msg, faults);
        case kIccPowerOff:
            return powerOff(bulk, msg);
        case kGetSlotStatus:
            return slotStatus(bulk, msg);
        case kSetParameters:
            return setParameters(bulk, msg);
        default:
            return xfrBlock(bulk, msg, faults);
    }
}

bool CcidReader::powerOn(Bulk &bulk, std::span<const uint8_t> msg, const FaultSet &faults) {
    if (parseHeader(msg)->length != 0) return fail(bulk, msg, kErrOffsetLength);

    PowerSelect order[3];
    size_t voltages = 0;
    const auto select = static_cast<PowerSelect>(msg[7]);
    if (select == PowerSelect::Automatic) {
        // Activation starts with the lowest class the reader supports.
        for (auto v : {PowerSelect::V1_8, PowerSelect::V3, PowerSelect::V5})
            if (config_.voltageSupport & voltageBit(v)) order[voltages++] = v;
    } else if (config_.voltageSupport & voltageBit(select)) {
        order[voltages++] = select;
    } else {
        return fail(bulk, msg, kErrOffsetByte7);
    }

    std::shared_ptr<Card> card;
    uint64_t epoch;
    {
        std::lock_guard lock(mutex_);
        card = card_;
        epoch = cardEpoch_;
        active_ = false;
        resetParametersLocked();
    }
    if (!card) return failIcc(bulk, msg, icc(IccStatus::Absent), kErrIccMute);

    const auto start = Clock::now();
    std::optional<Bytes> atr;
    if (!faults.has(FaultKind::MuteCard)) {
        for (size_t i = 0; i < voltages && !atr; ++i) {
            atr = card->powerOn(order[i]);
            if (!atr) card->powerOff();  // deactivate before the next class
        }
    }

    const Fault *removal = faults.find(FaultKind::RemoveCard);
    if (removal || !atr) {
        const auto until =
            start + (removal ? removal->delay : Clock::duration(config_.muteTimeout));
        const Wait w = waitUntil(until, epoch);
        if (w == Wait::Stopped) return false;
        if (removal && w == Wait::Elapsed) {
            std::lock_guard lock(mutex_);
            if (cardEpoch_ == epoch) removeCardLocked();
        }
        if (removal || w == Wait::CardGone) {
            changed_.notify_all();
            if (atr) card->powerOff();
            return failIcc(bulk, msg, icc(IccStatus::Absent), kErrIccMute);
        }
        return failIcc(bulk, msg, icc(IccStatus::Inactive), kErrIccMute);
    }

    if (kHeaderSize + atr->size() > config_.maxMessageLength) {
        card->powerOff();
        return failIcc(bulk, msg, icc(IccStatus::Inactive), kErrXfrOverrun);
    }
    {
        std::lock_guard lock(mutex_);
        if (cardEpoch_ != epoch) {
            // Pulled out while it answered.
            card->powerOff();
            return failIcc(bulk, msg, icc(IccStatus::Absent), kErrIccMute);
        }
        active_ = true;
    }
    return answer(bulk, msg, status(CommandStatus::Processed, IccStatus::Active), 0, 0, *atr);
}

bool CcidReader::powerOff(Bulk &bulk, std::span<const uint8_t> msg) {
    if (parseHeader(msg)->length != 0) return fail(bulk, msg, kErrOffsetLength);
    std::shared_ptr<Card> card;
    {
        std::lock_guard lock(mutex_);
        if (card_ && active_) card = card_;
        active_ = false;
        resetParametersLocked();
    }
    if (card) card->powerOff();
    const uint8_t state = iccStatus();
    return answer(bulk, msg, static_cast<uint8_t>(state), 0, 0x01 /* clock stopped, low */);
}

bool CcidReader::slotStatus(Bulk &bulk, std::span<const uint8_t> msg) {
    if (parseHeader(msg)->length != 0) return fail(bulk, msg, kErrOffsetLength);
    const uint8_t state = iccStatus();
    const uint8_t clock = state == icc(IccStatus::Active) ? 0x00 : 0x01;
    return answer(bulk, msg, state, 0, clock);
}

bool CcidReader::setParameters(Bulk &bulk, std::span<const uint8_t> msg) {
    const uint8_t state = iccStatus();
    if (state == icc(IccStatus::Absent)) return failIcc(bulk, msg, state, kErrIccMute);
    const uint8_t error = checkParameters(msg);
    uint8_t params[7];
    size_t length;
    uint8_t protocol;
    {
        std::lock_guard lock(mutex_);
        if (error == 0) {
            protocol_ = msg[7];
            protocolSet_ = true;
            paramsLength_ = msg.size() - kHeaderSize;
            std::copy(msg.begin() + kHeaderSize, msg.end(), params_);
        }
        protocol = protocol_;
        length = paramsLength_;
        std::copy(params_, params_ + length, params);
    }
    // A refused setting answers with the parameters still in force.
    const uint8_t st = static_cast<uint8_t>((error ? 0x40 : 0x00) | state);
    return answer(bulk, msg, st, error, protocol, {params, length});
}

bool CcidReader::xfrBlock(Bulk &bulk, std::span<const uint8_t> msg, const FaultSet &faults) {
    std::shared_ptr<Card> card;
    uint64_t epoch;
    bool active, t0;
    {
        std::lock_guard lock(mutex_);
        card = card_;
        epoch = cardEpoch_;
        active = active_;
        t0 = protocolSet_ && protocol_ == 0;
    }
    if (!card) return failIcc(bulk, msg, icc(IccStatus::Absent), kErrIccMute);
    if (!active) return failIcc(bulk, msg, icc(IccStatus::Inactive), kErrIccMute);
    const auto data = msg.subspan(kHeaderSize);
    if (data.empty()) return fail(bulk, msg, kErrOffsetLength);
    if (msg[8] != 0 || msg[9] != 0) return fail(bulk, msg, kErrOffsetByte8);
    if (t0 && !isT0Tpdu(data)) return fail(bulk, msg, kErrOffsetData);

    const auto start = Clock::now();
    CardReply &reply = bulk.reply;
    if (faults.has(FaultKind::MuteCard))
        reply.resetToMute();
    else
        card->exchangeInto(data, reply);

    const Fault *removal = faults.find(FaultKind::RemoveCard);
    // A card may also leave on its own in the middle of the exchange.
    const bool cardLeft = removal || reply.removed;
    const Clock::time_point end = removal         ? start + removal->delay
                                  : reply.removed ? start + reply.busy
                                  : reply.mute    ? start + config_.muteTimeout
                                                  : start + reply.busy;
    for (;;) {
        const auto now = Clock::now();
        const bool extend = !reply.mute && now + config_.timeExtensionInterval < end;
        const Wait w = waitUntil(extend ? now + config_.timeExtensionInterval : end, epoch);
        if (w == Wait::Stopped) return false;
        if (w == Wait::CardGone) return failIcc(bulk, msg, icc(IccStatus::Absent), kErrIccMute);
        if (!extend) break;
        if (!timeExtension(bulk, msg, false)) return false;
    }
    if (cardLeft) {
        {
            std::lock_guard lock(mutex_);
            if (cardEpoch_ == epoch) removeCardLocked();
        }
        changed_.notify_all();
        return failIcc(bulk, msg, icc(IccStatus::Absent), kErrIccMute);
    }
    if (reply.mute) return fail(bulk, msg, kErrIccMute);
    if (kHeaderSize + reply.bytes.size() > config_.maxMessageLength)
        return fail(bulk, msg, kErrXfrOverrun);
    return answer(bulk, msg, status(CommandStatus::Processed, IccStatus::Active), 0, 0,
                  reply.bytes);
}

}  // namespace hv::sim
