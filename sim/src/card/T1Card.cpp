#include "T1Card.h"

#include <algorithm>

namespace hv::sim::card {
namespace {

constexpr uint8_t kResynch = 0x00, kIfs = 0x01, kAbort = 0x02, kWtx = 0x03;
constexpr uint8_t kSRequest = 0xC0, kSResponse = 0xE0;

bool isI(uint8_t pcb) {
    return (pcb & 0x80) == 0;
}
bool isR(uint8_t pcb) {
    return (pcb & 0xC0) == 0x80;
}

}  // namespace

T1Card::T1Card() {
    command_.reserve(kMaxCommand);
    answer_.reserve(65538);
    held_.reserve(260);
}

void T1Card::reset(const T1Settings &settings) {
    settings_ = settings;
    resynch();
    silent_ = false;
}

void T1Card::resynch() {
    ifsc_ = settings_.ifsc;
    ifsd_ = 32;
    ns_ = 0;
    expected_ = 0;
    dropExchange();
}

void T1Card::dropExchange() {
    phase_ = Phase::Idle;
    await_ = Await::None;
    command_.clear();
    answer_.clear();
    answerAt_ = answerLen_ = 0;
}

size_t T1Card::sendLimit() const {
    const size_t cap = settings_.maxSendInf ? settings_.maxSendInf : 254;
    return std::min<size_t>(ifsd_, cap);
}

void T1Card::put(Bytes &out, uint8_t pcb, std::span<const uint8_t> inf) const {
    out.clear();
    out.push_back(0x00);
    out.push_back(pcb);
    out.push_back(static_cast<uint8_t>(inf.size()));
    out.insert(out.end(), inf.begin(), inf.end());
    appendEdc(settings_.edc, out);
}

void T1Card::putR(Bytes &out, Error err) const {
    put(out, static_cast<uint8_t>(0x80 | expected_ << 4 | static_cast<uint8_t>(err)), {});
}

void T1Card::putI(Bytes &out) const {
    const bool more = answerAt_ + answerLen_ < answer_.size();
    put(out, static_cast<uint8_t>(ns_ << 6 | (more ? 0x20 : 0)),
        std::span<const uint8_t>(answer_).subspan(answerAt_, answerLen_));
}

void T1Card::putAwaitedRequest(Bytes &out) const {
    switch (await_) {
        case Await::Wtx:
            put(out, kSRequest | kWtx, std::span(&wtxMultiplier_, 1));
            break;
        case Await::Ifs:
            put(out, kSRequest | kIfs, std::span(&ifsRequested_, 1));
            break;
        case Await::Abort:
            put(out, kSRequest | kAbort, {});
            break;
        case Await::None:
            break;
    }
}

T1Card::Error T1Card::parse(std::span<const uint8_t> raw, Block &b) const {
    const size_t edc = edcSize(settings_.edc);
    if (raw.size() < 3 + edc) return Error::Other;  // a block cut short: character time-out
    const size_t len = raw[2];
    if (len == 0xFF || raw.size() != 3 + len + edc) return Error::Other;
    if (!edcValid(settings_.edc, raw)) return Error::Edc;
    if (raw[0] != 0x00) return Error::Other;  // the card has no node addresses
    b.pcb = raw[1];
    b.inf = raw.subspan(3, len);
    if (isI(b.pcb)) return (b.pcb & 0x1F) || len > ifsc_ ? Error::Other : Error::None;
    if (isR(b.pcb)) return (b.pcb & 0x2C) || len != 0 ? Error::Other : Error::None;
    const uint8_t type = b.pcb & 0x1F;
    if (type > kWtx) return Error::Other;
    const size_t want = (type == kIfs || type == kWtx) ? 1 : 0;
    return len == want ? Error::None : Error::Other;
}

bool T1Card::exchange(std::span<const uint8_t> raw, CardApplication &app, FaultTable &faults,
                      Bytes &out) {
    out.clear();
    if (silent_) return false;
    Block b;
    const Error err = parse(raw, b);
    if (await_ != Await::None) {
        onAwaited(err, b, out);
        return true;
    }
    if (err != Error::None) {
        invalid(err, out);
        return true;
    }
    if (isI(b.pcb)) return onIBlock(b, app, faults, out);
    if (isR(b.pcb)) {
        onRBlock(b, faults, out);
    } else {
        onSBlock(b, out);
    }
    return true;
}

void T1Card::invalid(Error err, Bytes &out) {
    // The card asks for the I-block it expects; the host's recovery takes it from there.
    ++counters_.invalidBlocks;
    putR(out, err);
}

bool T1Card::onIBlock(const Block &b, CardApplication &app, FaultTable &faults, Bytes &out) {
    const uint8_t ns = (b.pcb >> 6) & 1;
    const bool more = b.pcb & 0x20;
    const bool answerComplete = answerAt_ + answerLen_ >= answer_.size();
    if (ns != expected_ || (phase_ == Phase::Sending && !answerComplete)) {
        invalid(Error::Other, out);
        return true;
    }
    if (phase_ == Phase::Sending) {  // a new command: the host has taken the last answer block
        ns_ ^= 1;
        phase_ = Phase::Idle;
    }
    if (phase_ == Phase::Idle) command_.clear();
    if (command_.size() + b.inf.size() > kMaxCommand) {
        // No APDU is this long: the card gives up on the chain without taking this block.
        command_.clear();
        phase_ = Phase::Idle;
        ++counters_.aborts;
        await_ = Await::Abort;
        abortRollback_ = false;
        putAwaitedRequest(out);
        return true;
    }
    command_.insert(command_.end(), b.inf.begin(), b.inf.end());
    expected_ ^= 1;
    if (more) {
        phase_ = Phase::Receiving;
        putR(out);
        sendNormal(out, true, true, faults);
        return true;
    }
    phase_ = Phase::Idle;
    ++counters_.commands;
    answer_.clear();
    if (!app.process(command_, answer_) || answer_.size() < 2) {
        silent_ = true;
        return false;
    }
    startAnswer(faults, out);
    return true;
}

void T1Card::startAnswer(FaultTable &faults, Bytes &out) {
    answerAt_ = 0;
    answerLen_ = std::min(sendLimit(), answer_.size());
    phase_ = Phase::Sending;
    putI(out);
    const bool chained = answerLen_ < answer_.size();
    if (auto wtx = faults.take(CardFault::WtxStorm); wtx && wtx->count > 0) {
        held_ = out;
        await_ = Await::Wtx;
        wtxLeft_ = wtx->count - 1;
        wtxMultiplier_ = wtx->multiplier;
        ++counters_.wtxRequests;
        putAwaitedRequest(out);
        return;
    }
    sendNormal(out, chained, true, faults);
}

void T1Card::sendNormal(Bytes &out, bool chainStep, bool ackOfHostBlock, FaultTable &faults) {
    if (chainStep) {
        if (faults.take(CardFault::AbortChain)) {
            ++counters_.aborts;
            await_ = Await::Abort;
            abortRollback_ = ackOfHostBlock;
            putAwaitedRequest(out);
            return;
        }
    }
    if (auto ifs = faults.take(CardFault::IfsRequest)) {
        held_ = out;
        await_ = Await::Ifs;
        ifsRequested_ = ifs->value;
        putAwaitedRequest(out);
    }
}

void T1Card::onRBlock(const Block &b, FaultTable &faults, Bytes &out) {
    const uint8_t nr = (b.pcb >> 4) & 1;
    switch (phase_) {
        case Phase::Receiving:  // the host missed the card's acknowledgement
            putR(out);
            return;
        case Phase::Sending:
            if (nr == ns_) {  // the host asks for the outstanding block again
                putI(out);
                return;
            }
            if (answerAt_ + answerLen_ >= answer_.size()) {  // nothing follows the last block
                invalid(Error::Other, out);
                return;
            }
            ns_ ^= 1;
            answerAt_ += answerLen_;
            answerLen_ = std::min(sendLimit(), answer_.size() - answerAt_);
            putI(out);
            sendNormal(out, true, false, faults);
            return;
        case Phase::Idle:
            invalid(Error::Other, out);
            return;
    }
}

void T1Card::onSBlock(const Block &b, Bytes &out) {
    if (b.pcb & 0x20) {  // a response nobody asked for
        invalid(Error::Other, out);
        return;
    }
    switch (b.pcb & 0x1F) {
        case kResynch:
            resynch();
            ++counters_.resynchs;
            put(out, kSResponse | kResynch, {});
            return;
        case kIfs: {
            const uint8_t size = b.inf[0];
            if (size == 0 || size == 0xFF) {
                invalid(Error::Other, out);
                return;
            }
            if (!settings_.acceptIfsRequest) {
                putR(out, Error::Other);
                return;
            }
            ifsd_ = size;
            put(out, kSResponse | kIfs, b.inf);
            return;
        }
        case kAbort:
            ++counters_.aborts;
            dropExchange();
            put(out, kSResponse | kAbort, {});
            return;
        default:  // only the card asks for waiting time
            invalid(Error::Other, out);
            return;
    }
}

void T1Card::onAwaited(Error err, const Block &b, Bytes &out) {
    if (err == Error::None && !isI(b.pcb) && !isR(b.pcb)) {
        const uint8_t type = b.pcb & 0x1F;
        const bool response = b.pcb & 0x20;
        if (!response && (type == kResynch || type == kAbort)) {
            onSBlock(b, out);
            return;
        }
        if (response) {
            if (await_ == Await::Wtx && type == kWtx && b.inf[0] == wtxMultiplier_) {
                if (wtxLeft_ > 0) {
                    --wtxLeft_;
                    ++counters_.wtxRequests;
                    putAwaitedRequest(out);
                } else {
                    await_ = Await::None;
                    out = held_;
                }
                return;
            }
            if (await_ == Await::Ifs && type == kIfs && b.inf[0] == ifsRequested_) {
                ifsc_ = ifsRequested_;
                await_ = Await::None;
                out = held_;
                return;
            }
            if (await_ == Await::Abort && type == kAbort) {
                const bool rollback = abortRollback_;
                dropExchange();
                if (rollback) expected_ ^= 1;
                putR(out);  // hands the turn back to the host
                return;
            }
        }
    }
    // Anything but the awaited response: ask again.
    if (err != Error::None) ++counters_.invalidBlocks;
    putAwaitedRequest(out);
}

}  // namespace hv::sim::card
