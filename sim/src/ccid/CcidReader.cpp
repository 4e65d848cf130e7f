// The reader's sessions, its slot and its slot-change notifications. The commands are in
// CcidCommands.cpp.
#include "vorasel/sim/CcidReader.h"

#include "CcidBulk.h"
#include "vorasel/sim/Ccid.h"

namespace hv::sim {

namespace {
constexpr auto kReadSlice = std::chrono::seconds(1);
}

CcidReader::CcidReader(CcidReaderConfig config, std::shared_ptr<WireRecorder> recorder)
    : config_(config),
      recorder_(recorder ? std::move(recorder) : std::make_shared<WireRecorder>()) {
    resetParametersLocked();
    notifier_ = std::thread([this] { notifier(); });
}

CcidReader::~CcidReader() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    threads_.closeAll();
    threads_.joinAll();
    notifier_.join();
}

void CcidReader::attachPort(std::shared_ptr<SessionPort> port) {
    if (protocolIs(port->protocol(), "ccidbulk")) {
        threads_.start(std::move(port), [this](const auto &p) { serveBulk(p); });
    } else if (protocolIs(port->protocol(), "ccidinterrupt")) {
        auto delivery = std::make_shared<Delivery>(
            port, recorder_.get(), [this](Clock::duration d) { return sleepFor(d); });
        {
            std::lock_guard lock(mutex_);
            interrupts_.push_back(delivery);
            // Whoever opens the reader learns the slot at once, changed or not: a host that
            // connects after the last change would otherwise never hear of the card.
            notifications_.push_back(Notice{slotStateLocked(), delivery});
            changePending_ = false;
        }
        changed_.notify_all();
        threads_.start(std::move(port), [this](const auto &p) { serveInterrupt(p); });
    } else {
        port->close();
    }
}

void CcidReader::powerLost() {
    {
        std::lock_guard lock(mutex_);
        ++powerEpoch_;
        if (card_ && active_) powerOffDue_.push_back(card_);
        active_ = false;
        resetParametersLocked();
        notifications_.clear();
        interrupts_.clear();
        // Powered up again, the reader reports its slot as a change, empty or not.
        changePending_ = true;
    }
    changed_.notify_all();
    threads_.closeAll();
}

void CcidReader::insertCard(std::shared_ptr<Card> card) {
    {
        std::lock_guard lock(mutex_);
        if (card_) removeCardLocked();
        card_ = std::move(card);
        active_ = false;
        ++cardEpoch_;
        slotChangedLocked();
    }
    changed_.notify_all();
}

void CcidReader::removeCard() {
    {
        std::lock_guard lock(mutex_);
        if (!card_) return;
        removeCardLocked();
    }
    changed_.notify_all();
}

void CcidReader::removeCardLocked() {
    if (active_) powerOffDue_.push_back(card_);
    card_.reset();
    active_ = false;
    resetParametersLocked();
    ++cardEpoch_;
    slotChangedLocked();
}

bool CcidReader::hasCard() const {
    std::lock_guard lock(mutex_);
    return card_ != nullptr;
}

bool CcidReader::cardPowered() const {
    std::lock_guard lock(mutex_);
    return active_;
}

void CcidReader::slotChangedLocked() {
    bool open = false;
    for (const auto &d : interrupts_)
        open = open || d->port().isOpen();
    if (open)
        notifications_.push_back(Notice{slotStateLocked(), nullptr});
    else
        changePending_ = true;
}

uint8_t CcidReader::slotStateLocked() const {
    // Bit 0: a card is present; bit 1: it changed since the last report.
    return card_ ? 0x03 : 0x02;
}

void CcidReader::resetParametersLocked() {
    // The defaults of an activated card: T=0, Fi/Di 1/1, no extra guard time, WI 10.
    protocol_ = 0;
    protocolSet_ = false;
    const uint8_t t0[] = {0x11, 0x00, 0x00, 0x0A, 0x00};
    std::copy(std::begin(t0), std::end(t0), params_);
    paramsLength_ = sizeof t0;
}

bool CcidReader::sleepFor(Clock::duration d) {
    std::unique_lock lock(mutex_);
    const uint64_t epoch = powerEpoch_;
    changed_.wait_for(lock, d, [&] { return stopping_ || powerEpoch_ != epoch; });
    return !stopping_ && powerEpoch_ == epoch;
}

CcidReader::Wait CcidReader::waitUntil(Clock::time_point deadline, uint64_t cardEpoch) {
    std::unique_lock lock(mutex_);
    const uint64_t power = powerEpoch_;
    // A deadline already past is not waited for: the kernel would still sleep out its timer
    // slack (tens of microseconds) on every exchange with a card that answers at once.
    if (Clock::now() < deadline)
        changed_.wait_until(lock, deadline, [&] {
            return stopping_ || powerEpoch_ != power || cardEpoch_ != cardEpoch;
        });
    if (stopping_ || powerEpoch_ != power) return Wait::Stopped;
    if (cardEpoch_ != cardEpoch) return Wait::CardGone;
    return Wait::Elapsed;
}

void CcidReader::flushPowerOffs() {
    std::vector<std::shared_ptr<Card>> due;
    {
        std::lock_guard lock(mutex_);
        due.swap(powerOffDue_);
    }
    for (auto &card : due)
        card->powerOff();
}

void CcidReader::notifier() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !notifications_.empty(); });
        if (stopping_) return;
        Notice notice = std::move(notifications_.front());
        notifications_.pop_front();
        auto targets = notice.only ? std::vector{notice.only} : interrupts_;
        lock.unlock();
        const uint8_t message[2] = {ccid::kNotifySlotChange, notice.state};
        const FaultSet faults = faults_.take(ccid::kNotifySlotChange, false);
        bool delivered = false;
        for (auto &d : targets)
            if (d->port().isOpen() && d->send(message, faults)) delivered = true;
        lock.lock();
        if (!delivered && notifications_.empty()) changePending_ = true;
    }
}

void CcidReader::serveInterrupt(const std::shared_ptr<SessionPort> &port) {
    // Nothing is defined from host to reader here; whatever comes is recorded and ignored.
    uint8_t buf[64];
    for (;;) {
        const ptrdiff_t n = port->read(buf, sizeof buf, Clock::now() + kReadSlice);
        if (n < 0) break;
        if (n > 0) recorder_->record(port->protocol(), Direction::Received, {buf, size_t(n)});
    }
    std::lock_guard lock(mutex_);
    std::erase_if(interrupts_, [&](const auto &d) { return &d->port() == port.get(); });
}

void CcidReader::serveBulk(const std::shared_ptr<SessionPort> &port) {
    Bulk bulk(
        port, recorder_.get(), [this](Clock::duration d) { return sleepFor(d); },
        config_.maxMessageLength);
    CcidFramer framer(config_.maxMessageLength);
    uint8_t buf[1024];
    bool open = true;
    while (open) {
        const ptrdiff_t n = port->read(buf, sizeof buf, Clock::now() + kReadSlice);
        if (n < 0) break;
        std::span<const uint8_t> in(buf, static_cast<size_t>(n));
        while (open) {
            auto event = framer.next(in);
            if (!event) break;
            open = handle(bulk, *event);
        }
    }
    if (!framer.partial().empty())
        recorder_->record(port->protocol(), Direction::Received, framer.partial(), "incomplete");
    port->close();
}

}  // namespace hv::sim
