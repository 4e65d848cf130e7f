#include "vorasel/sim/VirtualCard.h"

#include "FaultTable.h"
#include "Pps.h"
#include "T0Transport.h"
#include "T1Card.h"
#include "vorasel/sim/IsoCard.h"

namespace hv::sim {
namespace {

uint8_t voltageClass(PowerSelect voltage, uint8_t supported) {
    switch (voltage) {
        case PowerSelect::V5:
            return kClassA;
        case PowerSelect::V3:
            return kClassB;
        case PowerSelect::V1_8:
            return kClassC;
        case PowerSelect::Automatic:
            break;
    }
    // The reader picks; it finds the first class the card takes.
    for (uint8_t c : {kClassA, kClassB, kClassC})
        if (supported & c) return c;
    return kClassA;
}

}  // namespace

VirtualCard::VirtualCard(CardConfig config, std::shared_ptr<CardApplication> app)
    : config_(std::move(config)),
      app_(app ? std::move(app) : std::make_shared<IsoCard>()),
      faults_(std::make_unique<card::FaultTable>()),
      t0_(std::make_unique<card::T0Transport>()),
      t1_(std::make_unique<card::T1Card>()) {
    out_.reserve(260);
    previous_.reserve(260);
}

VirtualCard::~VirtualCard() = default;

std::optional<Bytes> VirtualCard::powerOn(PowerSelect voltage) {
    std::lock_guard lock(mutex_);
    const uint8_t cls = voltageClass(voltage, config_.voltages);
    const bool warm = powered_;
    powered_ = false;
    if (!(config_.voltages & cls) || faults_->takePowerOn(cls)) return std::nullopt;
    const ResetAnswer reset = app_->reset(warm ? ResetKind::Warm : ResetKind::Cold);
    if (!reset.answers) return std::nullopt;

    if (reset.atr) {
        atr_ = *reset.atr;
    } else if (!config_.rawAtr.empty()) {
        atr_ = config_.rawAtr;
    } else {
        atr_ = buildAtr(config_.atr);
    }
    facts_ = readAtrFacts(atr_);
    powered_ = true;
    firstExchange_ = true;
    ppsDone_ = false;
    hasPrevious_ = false;
    protocol_ = facts_.firstProtocol;
    // Specific mode runs at TA1's rate unless TA2 says the implicit values apply.
    fidi_ = facts_.ta2 && !(*facts_.ta2 & 0x10) ? facts_.ta1 : 0x11;
    t0_->reset();
    t1_->reset({.edc = facts_.crc ? card::Edc::Crc : card::Edc::Lrc,
                .ifsc = facts_.ifsc,
                .acceptIfsRequest = config_.t1AcceptIfsRequest,
                .maxSendInf = config_.t1MaxSendInf});
    ++powerOns_;
    return atr_;
}

void VirtualCard::powerOff() {
    std::lock_guard lock(mutex_);
    if (!powered_) return;
    powered_ = false;
    app_->powerOff();
}

CardReply VirtualCard::exchange(std::span<const uint8_t> bytes) {
    CardReply reply;
    exchangeInto(bytes, reply);
    return reply;
}

void VirtualCard::exchangeInto(std::span<const uint8_t> bytes, CardReply &reply) {
    std::lock_guard lock(mutex_);
    reply.resetToMute();
    if (!powered_ || bytes.empty() || faults_->take(CardFault::Mute)) return;
    if (faults_->take(CardFault::Removed)) {
        powered_ = false;
        app_->powerOff();
        reply.removed = true;
        return;
    }
    if (!answer(bytes, out_)) {
        faults_->take(CardFault::DropReply);  // nothing to lose, but the exchange counts
        if (!app_->present()) {
            // Its emulator left during the command: the card is gone, not silent.
            powered_ = false;
            reply.removed = true;
        }
        return;
    }
    reply.mute = false;
    reply.bytes.assign(out_.begin(), out_.end());
    applyReplyFaults(reply);
    previous_ = out_;
    hasPrevious_ = true;
}

bool VirtualCard::answer(std::span<const uint8_t> bytes, Bytes &out) {
    out.clear();
    if (firstExchange_) {
        firstExchange_ = false;
        // PPSS cannot start a T=0 header or a T=1 block: this is a PPS request.
        if (bytes[0] == 0xFF) {
            if (facts_.specificMode()) return false;  // not understood in specific mode
            const card::PpsOutcome pps =
                card::answerPps(bytes, facts_, config_.pps, config_.ppsOtherFiDi);
            if (!pps.answered) return false;
            protocol_ = pps.protocol;
            fidi_ = pps.fidi;
            ppsDone_ = true;
            out = pps.reply;
            return true;
        }
    }
    switch (protocol_) {
        case 0:
            return t0_->exchange(bytes, *app_, out);
        case 1:
            return t1_->exchange(bytes, *app_, *faults_, out);
        default:
            return false;
    }
}

void VirtualCard::applyReplyFaults(CardReply &reply) {
    if (faults_->take(CardFault::DropReply)) {
        reply.mute = true;
        reply.bytes.clear();
        return;
    }
    if (faults_->take(CardFault::ReplayPrevious) && hasPrevious_) reply.bytes = previous_;
    if (auto corrupt = faults_->take(CardFault::CorruptReply)) {
        const ptrdiff_t n = static_cast<ptrdiff_t>(reply.bytes.size());
        const ptrdiff_t at = corrupt->offset < 0 ? n + corrupt->offset : corrupt->offset;
        if (at >= 0 && at < n) reply.bytes[static_cast<size_t>(at)] ^= corrupt->mask;
    }
    if (auto slow = faults_->take(CardFault::Slow)) reply.busy = slow->busy;
}

void VirtualCard::arm(const FaultPlan &plan) {
    std::lock_guard lock(mutex_);
    faults_->arm(plan);
}

void VirtualCard::clearFaults() {
    std::lock_guard lock(mutex_);
    faults_->clear();
}

uint32_t VirtualCard::faultHits(CardFault fault) const {
    std::lock_guard lock(mutex_);
    return faults_->hits(fault);
}

CardStatus VirtualCard::status() const {
    std::lock_guard lock(mutex_);
    CardStatus s;
    s.powered = powered_;
    s.protocol = protocol_;
    s.fidi = fidi_;
    s.ppsDone = ppsDone_;
    s.ifsc = t1_->ifsc();
    s.ifsd = t1_->ifsd();
    s.powerOns = powerOns_;
    const card::T1Counters &c = t1_->counters();
    s.commands = c.commands + t0_->commands();
    s.invalidBlocks = c.invalidBlocks;
    s.resynchs = c.resynchs;
    s.aborts = c.aborts;
    s.wtxRequests = c.wtxRequests;
    for (uint8_t f = 0; f <= static_cast<uint8_t>(CardFault::PowerOnMute); ++f)
        s.faultHits += faults_->hits(static_cast<CardFault>(f));
    return s;
}

Bytes VirtualCard::atr() const {
    std::lock_guard lock(mutex_);
    return atr_;
}

AtrFacts VirtualCard::facts() const {
    std::lock_guard lock(mutex_);
    return facts_;
}

}  // namespace hv::sim
