#include "vorasel/sim/BytePipe.h"

#include <algorithm>
#include <cstring>

namespace hv::sim {

BytePipe::BytePipe(size_t capacity) : capacity_(capacity ? capacity : 1), ring_(capacity_) {}

size_t BytePipe::putLocked(const uint8_t *data, size_t len) {
    const size_t n = std::min(len, capacity_ - size_);
    if (n == 0) return 0;
    size_t tail = (head_ + size_) % capacity_;
    const size_t first = std::min(n, capacity_ - tail);
    std::memcpy(ring_.data() + tail, data, first);
    std::memcpy(ring_.data(), data + first, n - first);
    size_ += n;
    return n;
}

size_t BytePipe::takeLocked(uint8_t *buf, size_t cap) {
    const size_t n = std::min(cap, size_);
    if (n == 0) return 0;
    const size_t first = std::min(n, capacity_ - head_);
    std::memcpy(buf, ring_.data() + head_, first);
    std::memcpy(buf + first, ring_.data(), n - first);
    head_ = (head_ + n) % capacity_;
    size_ -= n;
    return n;
}

// Shared, so that taking it out of the lock copies a pointer, not the closure (a closure too
// big to be kept inline would be allocated on every write).
void BytePipe::notify() {
    std::shared_ptr<const std::function<void()>> listener;
    {
        std::lock_guard lock(mutex_);
        listener = listener_;
    }
    if (listener) (*listener)();
}

ptrdiff_t BytePipe::tryWrite(const uint8_t *data, size_t len) {
    size_t n;
    {
        std::lock_guard lock(mutex_);
        if (closed_) return -1;
        n = putLocked(data, len);
    }
    if (n) {
        changed_.notify_all();
        notify();
    }
    return static_cast<ptrdiff_t>(n);
}

bool BytePipe::writeAll(const uint8_t *data, size_t len) {
    while (len > 0) {
        size_t n;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return closed_ || size_ < capacity_; });
            if (closed_) return false;
            n = putLocked(data, len);
        }
        changed_.notify_all();
        notify();
        data += n;
        len -= n;
    }
    return true;
}

ptrdiff_t BytePipe::tryRead(uint8_t *buf, size_t cap) {
    size_t n;
    {
        std::lock_guard lock(mutex_);
        if (size_ == 0) return closed_ ? -1 : 0;
        n = takeLocked(buf, cap);
    }
    if (n) {
        changed_.notify_all();
        notify();
    }
    return static_cast<ptrdiff_t>(n);
}

ptrdiff_t BytePipe::read(uint8_t *buf, size_t cap, Clock::time_point deadline) {
    size_t n;
    {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_until(lock, deadline, [&] { return closed_ || size_ > 0; })) return 0;
        if (size_ == 0) return -1;
        n = takeLocked(buf, cap);
    }
    if (n) {
        changed_.notify_all();
        notify();
    }
    return static_cast<ptrdiff_t>(n);
}

size_t BytePipe::available() const {
    std::lock_guard lock(mutex_);
    return size_;
}

size_t BytePipe::space() const {
    std::lock_guard lock(mutex_);
    return closed_ ? 0 : capacity_ - size_;
}

bool BytePipe::isClosed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

void BytePipe::close() {
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        closed_ = true;
    }
    changed_.notify_all();
    notify();
}

void BytePipe::setListener(std::function<void()> listener) {
    auto shared =
        listener ? std::make_shared<const std::function<void()>>(std::move(listener)) : nullptr;
    std::lock_guard lock(mutex_);
    listener_ = std::move(shared);
}

}  // namespace hv::sim
