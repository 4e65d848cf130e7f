// The management service's sessions and state. The answers to each request are in
// ManagementRequests.cpp.
#include "vorasel/sim/ManagementService.h"

namespace hv::sim {

namespace {
constexpr auto kReadSlice = std::chrono::seconds(1);
}

ManagementService::ManagementService(ManagementConfig config,
                                     std::shared_ptr<WireRecorder> recorder)
    : config_(std::move(config)),
      recorder_(recorder ? std::move(recorder) : std::make_shared<WireRecorder>()),
      capabilities_(config_.capabilities),
      counters_(config_.counters),
      gpio_(config_.gpio),
      properties_(config_.properties),
      firmware_(config_.maxFirmwareImage, config_.firmwareChunk),
      revision_(config_.firmwareRevision) {}

ManagementService::~ManagementService() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    threads_.closeAll();
    threads_.joinAll();
}

void ManagementService::attachPort(std::shared_ptr<SessionPort> port) {
    if (!protocolIs(port->protocol(), "manager")) {
        port->close();
        return;
    }
    threads_.start(std::move(port), [this](const auto &p) { serve(p); });
}

void ManagementService::powerLost() {
    {
        std::lock_guard lock(mutex_);
        ++powerEpoch_;
        gpio_ = config_.gpio;
        firmware_.clear();
        countLocked("power_cycles");
    }
    changed_.notify_all();
    threads_.closeAll();
}

void ManagementService::setResetHook(ResetHook hook) {
    std::lock_guard lock(hookMutex_);
    hook_ = std::move(hook);
}

std::vector<std::pair<std::string, uint32_t>> ManagementService::counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

void ManagementService::setCounter(const std::string &name, uint32_t value) {
    std::lock_guard lock(mutex_);
    for (auto &[n, v] : counters_)
        if (n == name) {
            v = value;
            return;
        }
    counters_.emplace_back(name, value);
}

GpioPort *ManagementService::portLocked(uint8_t port) {
    for (auto &p : gpio_)
        if (p.port == port) return &p;
    return nullptr;
}

std::optional<uint16_t> ManagementService::gpioState(uint8_t port) const {
    std::lock_guard lock(mutex_);
    for (const auto &p : gpio_)
        if (p.port == port) return p.state;
    return std::nullopt;
}

void ManagementService::setGpioInputs(uint8_t port, uint16_t mask, uint16_t state) {
    std::lock_guard lock(mutex_);
    if (GpioPort *p = portLocked(port)) {
        const uint16_t inputs = static_cast<uint16_t>(mask & ~p->writable);
        p->state = static_cast<uint16_t>((p->state & ~inputs) | (state & inputs));
    }
}

std::optional<std::string> ManagementService::property(const std::string &key) const {
    std::lock_guard lock(mutex_);
    auto it = properties_.find(key);
    if (it == properties_.end()) return std::nullopt;
    return it->second;
}

void ManagementService::setProperty(const std::string &key, const std::string &value) {
    std::lock_guard lock(mutex_);
    properties_[key] = value;
}

void ManagementService::setCapabilities(uint32_t bits) {
    std::lock_guard lock(mutex_);
    capabilities_ = bits;
}

std::string ManagementService::firmwareRevision() const {
    std::lock_guard lock(mutex_);
    return revision_;
}

std::optional<std::vector<uint8_t>> ManagementService::pendingImage() const {
    std::lock_guard lock(mutex_);
    return pending_;
}

std::optional<std::vector<uint8_t>> ManagementService::installedImage() const {
    std::lock_guard lock(mutex_);
    return installed_;
}

void ManagementService::countLocked(const char *name) {
    for (auto &[n, v] : counters_)
        if (n == name) ++v;
}

uint32_t ManagementService::firmwareBytesReceived() const {
    std::lock_guard lock(mutex_);
    return firmware_.received();
}

uint32_t ManagementService::resets() const {
    std::lock_guard lock(mutex_);
    return resets_;
}

bool ManagementService::sleepFor(Clock::duration d) {
    std::unique_lock lock(mutex_);
    const uint64_t epoch = powerEpoch_;
    changed_.wait_for(lock, d, [&] { return stopping_ || powerEpoch_ != epoch; });
    return !stopping_ && powerEpoch_ == epoch;
}

void ManagementService::serve(const std::shared_ptr<SessionPort> &port) {
    Delivery delivery(port, recorder_.get(), [this](Clock::duration d) { return sleepFor(d); });
    DezFramer framer(config_.maxRequest);
    uint8_t buf[1024];
    bool open = true;
    while (open) {
        const ptrdiff_t n = port->read(buf, sizeof buf, Clock::now() + kReadSlice);
        if (n < 0) break;
        std::span<const uint8_t> in(buf, static_cast<size_t>(n));
        while (open) {
            auto event = framer.next(in);
            if (!event) break;
            const char *note = event->kind == DezFramer::Event::Kind::Oversize
                                   ? "oversize, content skipped"
                               : event->kind == DezFramer::Event::Kind::Invalid
                                   ? "invalid, dropped with the rest of its delivery"
                                   : "";
            recorder_->record(port->protocol(), Direction::Received, event->bytes, note);
            const FaultSet faults = faults_.take(event->tag);
            Answer a = answer(*event);
            open = delivery.send(a.bytes, faults);
            if (a.reset) {
                std::optional<std::string> revision;
                {
                    std::lock_guard lock(mutex_);
                    revision = resetLocked();
                }
                // Run under its own lock, so that whoever replaces the hook waits for a call
                // in flight rather than freeing what it uses.
                std::lock_guard hookLock(hookMutex_);
                if (hook_) hook_(revision);
            }
        }
    }
    if (!framer.partial().empty())
        recorder_->record(port->protocol(), Direction::Received, framer.partial(), "incomplete");
    port->close();
}

}  // namespace hv::sim
