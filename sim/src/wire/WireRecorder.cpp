#include "vorasel/sim/WireRecorder.h"

namespace hv::sim {

bool protocolIs(std::string_view protocol, std::string_view suffix) {
    if (protocol == suffix) return true;
    return protocol.size() > suffix.size() && protocol.ends_with(suffix) &&
           protocol[protocol.size() - suffix.size() - 1] == '.';
}

WireRecorder::WireRecorder(size_t maxEntries, size_t maxBytes)
    : maxEntries_(maxEntries ? maxEntries : 1), maxBytes_(maxBytes) {}

void WireRecorder::record(std::string_view protocol, Direction direction,
                          std::span<const uint8_t> bytes, std::string_view note) {
    if (tapped_.load(std::memory_order_acquire)) {
        std::shared_ptr<WireTap> tap;
        {
            std::lock_guard lock(tapMutex_);
            tap = tap_;
        }
        // Held back or dropped by a fault: never on the wire.
        if (tap && direction != Direction::Withheld) tap->message(protocol, direction, bytes);
    }
    {
        std::lock_guard lock(mutex_);
        if (!enabled_) return;
        WireEntry entry;
        entry.index = next_++;
        entry.time = Clock::now();
        entry.protocol = protocol;
        entry.direction = direction;
        entry.bytes.assign(bytes.begin(), bytes.end());
        entry.note = note;
        bytes_ += entry.bytes.size();
        entries_.push_back(std::move(entry));
        while (entries_.size() > maxEntries_ || (bytes_ > maxBytes_ && entries_.size() > 1)) {
            bytes_ -= entries_.front().bytes.size();
            entries_.pop_front();
        }
    }
    changed_.notify_all();
}

std::vector<WireEntry> WireRecorder::entries() const {
    std::lock_guard lock(mutex_);
    return {entries_.begin(), entries_.end()};
}

std::vector<WireEntry> WireRecorder::select(std::string_view protocol, Direction direction) const {
    return select([&](const WireEntry &e) {
        return protocolIs(e.protocol, protocol) && e.direction == direction;
    });
}

std::vector<WireEntry> WireRecorder::select(
    const std::function<bool(const WireEntry &)> &match) const {
    std::lock_guard lock(mutex_);
    std::vector<WireEntry> out;
    for (const auto &e : entries_)
        if (match(e)) out.push_back(e);
    return out;
}

size_t WireRecorder::countLocked(const std::function<bool(const WireEntry &)> &match) const {
    size_t n = 0;
    for (const auto &e : entries_)
        if (match(e)) ++n;
    return n;
}

size_t WireRecorder::count(std::string_view protocol, Direction direction) const {
    std::lock_guard lock(mutex_);
    return countLocked([&](const WireEntry &e) {
        return protocolIs(e.protocol, protocol) && e.direction == direction;
    });
}

bool WireRecorder::waitFor(const std::function<bool(const WireEntry &)> &match, size_t n,
                           std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return countLocked(match) >= n; });
}

bool WireRecorder::waitFor(std::string_view protocol, Direction direction, size_t n,
                           std::chrono::milliseconds timeout) const {
    return waitFor(
        [&](const WireEntry &e) {
            return protocolIs(e.protocol, protocol) && e.direction == direction;
        },
        n, timeout);
}

void WireRecorder::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
    bytes_ = 0;
}

void WireRecorder::setEnabled(bool enabled) {
    std::lock_guard lock(mutex_);
    enabled_ = enabled;
}

void WireRecorder::setTap(std::shared_ptr<WireTap> tap) {
    std::lock_guard lock(tapMutex_);
    tapped_.store(tap != nullptr, std::memory_order_release);
    tap_ = std::move(tap);
}

}  // namespace hv::sim
