#include <algorithm>

#include "vorasel/sim/SimAccessory.h"

namespace hv::sim {

// The host's listener, owned jointly by the session and the listeners of its pipes: a device
// thread that notifies through a pipe after the session has been freed still finds it.
// The listener is shared so that taking it out of the lock copies a pointer, not the closure:
// this runs for every piece of traffic.
struct SimSession::Signal {
    std::mutex mutex;
    std::shared_ptr<const std::function<void()>> listener;

    void raise() {
        std::shared_ptr<const std::function<void()>> l;
        {
            std::lock_guard lock(mutex);
            l = listener;
        }
        if (l) (*l)();
    }
};

SimSession::SimSession(std::string protocol, size_t capacity, SessionFaults faults)
    : protocol_(std::move(protocol)),
      signal_(std::make_shared<Signal>()),
      toDevice_(std::make_shared<BytePipe>(capacity)),
      toHost_(std::make_shared<BytePipe>(capacity)),
      devicePort_(makePipePort(protocol_, toDevice_, toHost_)),
      faults_(std::move(faults)),
      rng_(faults_.randomSeed) {
    inputOpen_ = faults_.failInputOpen.take() ? OpenState::Failed
                 : faults_.holdOpen           ? OpenState::Opening
                                              : OpenState::Open;
    outputOpen_ = faults_.failOutputOpen.take() ? OpenState::Failed
                  : faults_.holdOpen            ? OpenState::Opening
                                                : OpenState::Open;
    if (inputOpen_ == OpenState::Failed) inputError_ = Error{61, "Connection refused"};
    if (outputOpen_ == OpenState::Failed) outputError_ = Error{61, "Connection refused"};
    auto notify = [signal = signal_] { signal->raise(); };
    toDevice_->setListener(notify);
    toHost_->setListener(notify);
}

SimSession::~SimSession() {
    setListener(nullptr);
}

SimSession::OpenState SimSession::openState(bool input) const {
    std::lock_guard lock(mutex_);
    return input ? inputOpen_ : outputOpen_;
}

std::optional<SimSession::Error> SimSession::error(bool input) const {
    std::lock_guard lock(mutex_);
    return input ? inputError_ : outputError_;
}

size_t SimSession::visibleBytes() const {
    std::lock_guard lock(mutex_);
    return std::min(toHost_->available(), window_);
}

namespace {

// The size of the next piece the host is to see (SIZE_MAX: whatever is there).
size_t nextPiece(const SessionFaults &faults, size_t &chunkIndex, std::mt19937 &rng) {
    if (!faults.chunks.empty()) return faults.chunks[chunkIndex++ % faults.chunks.size()];
    if (faults.randomChunkMax > 0) {
        std::uniform_int_distribution<size_t> pick(std::max<size_t>(1, faults.randomChunkMin),
                                                   faults.randomChunkMax);
        return pick(rng);
    }
    return SIZE_MAX;
}

}  // namespace

void SimSession::beginDelivery() {
    std::lock_guard lock(mutex_);
    window_ = nextPiece(faults_, chunkIndex_, rng_);
}

ptrdiff_t SimSession::hostRead(uint8_t *buf, size_t cap) {
    size_t allowed;
    {
        std::lock_guard lock(mutex_);
        allowed = std::min(cap, window_);
    }
    if (allowed == 0) return toHost_->isClosed() && toHost_->available() == 0 ? -1 : 0;
    const ptrdiff_t n = toHost_->tryRead(buf, allowed);
    if (n > 0) {
        std::lock_guard lock(mutex_);
        if (window_ != SIZE_MAX) window_ -= static_cast<size_t>(n);
        keepRecordLocked(false, buf, static_cast<size_t>(n));
    }
    return n;
}

ptrdiff_t SimSession::hostWrite(const uint8_t *data, size_t len) {
    {
        std::lock_guard lock(mutex_);
        if (faults_.failWrite.take()) return -1;
    }
    const ptrdiff_t n = toDevice_->tryWrite(data, len);
    if (n > 0) {
        std::lock_guard lock(mutex_);
        keepRecordLocked(true, data, static_cast<size_t>(n));
    }
    return n;
}

ptrdiff_t SimSession::relayWrite(const uint8_t *data, size_t len) {
    const ptrdiff_t n = toDevice_->tryWrite(data, len);
    if (n > 0) {
        std::lock_guard lock(mutex_);
        keepRecordLocked(true, data, static_cast<size_t>(n));
    }
    return n;
}

bool SimSession::hostWriteAll(const uint8_t *data, size_t len) {
    if (!toDevice_->writeAll(data, len)) return false;
    std::lock_guard lock(mutex_);
    keepRecordLocked(true, data, static_cast<size_t>(len));
    return true;
}

ptrdiff_t SimSession::hostReadPiece(uint8_t *buf, size_t cap, Clock::time_point deadline,
                                    bool *separate) {
    {
        std::lock_guard lock(mutex_);
        *separate = !faults_.chunks.empty() || faults_.randomChunkMax > 0;
        // A new piece only once the last one is out: a poll that times out keeps its piece.
        if (*separate) {
            if (window_ == 0 || window_ == SIZE_MAX)
                window_ = nextPiece(faults_, chunkIndex_, rng_);
            cap = std::min(cap, window_);
        }
    }
    const ptrdiff_t n = toHost_->read(buf, cap, deadline);
    if (n > 0) {
        std::lock_guard lock(mutex_);
        if (window_ != SIZE_MAX) window_ -= std::min(window_, static_cast<size_t>(n));
        keepRecordLocked(false, buf, static_cast<size_t>(n));
    }
    return n;
}

void SimSession::hostClose() {
    toDevice_->close();
    toHost_->close();
}

void SimSession::releaseOpen() {
    {
        std::lock_guard lock(mutex_);
        if (inputOpen_ == OpenState::Opening) inputOpen_ = OpenState::Open;
        if (outputOpen_ == OpenState::Opening) outputOpen_ = OpenState::Open;
    }
    changed();
}

void SimSession::injectError(bool input, int code, std::string description) {
    {
        std::lock_guard lock(mutex_);
        (input ? inputError_ : outputError_) = Error{code, std::move(description)};
    }
    changed();
}

void SimSession::failNextWrites(int count) {
    std::lock_guard lock(mutex_);
    faults_.failWrite = FaultCount{count};
}

void SimSession::endFromDevice() {
    devicePort_->close();
}

void SimSession::setListener(std::function<void()> listener) {
    auto shared =
        listener ? std::make_shared<const std::function<void()>>(std::move(listener)) : nullptr;
    std::lock_guard lock(signal_->mutex);
    signal_->listener = std::move(shared);
}

void SimSession::changed() {
    signal_->raise();
}

void SimSession::keepRecordLocked(bool fromHost, const uint8_t *data, size_t length) {
    if (!faults_.record) return;
    records_.push_back(Record{fromHost, std::vector<uint8_t>(data, data + length), Clock::now()});
    recordedBytes_ += length;
    // A long-lived session keeps only its latest traffic.
    while (recordedBytes_ > faults_.recordLimit && records_.size() > 1) {
        recordedBytes_ -= records_.front().bytes.size();
        records_.pop_front();
    }
}

std::vector<SimSession::Record> SimSession::records() const {
    std::lock_guard lock(mutex_);
    return {records_.begin(), records_.end()};
}

}  // namespace hv::sim
