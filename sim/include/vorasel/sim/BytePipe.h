// A bounded, thread-safe, one-direction byte pipe: the wire between the host and a device.
//
// The writer side blocks (or, with tryWrite, takes what fits) while the pipe is full; the
// reader side blocks with a deadline or takes what is there. Either side may close it; after
// close, reads drain what is left and then report end, writes fail. A listener, if set, is
// called after every change that may make the pipe readable or writable, outside the lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace hv::sim {

using Clock = std::chrono::steady_clock;

class BytePipe {
public:
    explicit BytePipe(size_t capacity = 512);
    BytePipe(const BytePipe &) = delete;
    BytePipe &operator=(const BytePipe &) = delete;

    size_t capacity() const { return capacity_; }

    // Copies up to `len` bytes that fit now; returns the count (0 when full), -1 when closed.
    ptrdiff_t tryWrite(const uint8_t *data, size_t len);
    // Writes all bytes, waiting for space; false if the pipe closes first.
    bool writeAll(const uint8_t *data, size_t len);

    // Takes up to `cap` bytes that are there now; 0 when empty, -1 when empty and closed.
    ptrdiff_t tryRead(uint8_t *buf, size_t cap);
    // Waits until bytes arrive, the pipe closes, or the deadline passes.
    // Returns the count (>0), 0 on time-out, -1 when empty and closed.
    ptrdiff_t read(uint8_t *buf, size_t cap, Clock::time_point deadline);

    size_t available() const;
    size_t space() const;
    bool isClosed() const;
    void close();

    // Called (without the lock held) after bytes were written, read, or the pipe closed.
    void setListener(std::function<void()> listener);

private:
    size_t takeLocked(uint8_t *buf, size_t cap);
    size_t putLocked(const uint8_t *data, size_t len);
    void notify();

    const size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<uint8_t> ring_;
    size_t head_ = 0;  // next byte to read
    size_t size_ = 0;  // bytes held
    bool closed_ = false;
    std::shared_ptr<const std::function<void()>> listener_;
};

}  // namespace hv::sim
