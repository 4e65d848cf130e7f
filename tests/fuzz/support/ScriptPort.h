// A session port for fuzzing a simulated device: it delivers the input in pieces whose sizes
// come from the input itself, throws the device's answers away, and reports end when the
// input is used up.
#pragma once

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <span>
#include <string>

#include "vorasel/sim/SessionPort.h"

namespace hv::sim::fuzz {

class ScriptPort final : public SessionPort {
public:
    // The first byte of `input` chooses the piece sizes (1 + its low bits, cycling).
    ScriptPort(std::string protocol, std::span<const uint8_t> input)
        : protocol_(std::move(protocol)),
          step_(input.empty() ? 1 : input[0]),
          data_(input.empty() ? input : input.subspan(1)) {}

    const std::string &protocol() const override { return protocol_; }
    ptrdiff_t read(uint8_t *buf, size_t cap, Clock::time_point) override {
        std::lock_guard lock(mutex_);
        if (closed_ || pos_ >= data_.size()) return -1;
        const size_t piece = 1 + ((step_ + pos_) % 37);
        const size_t n = std::min({cap, piece, data_.size() - pos_});
        std::memcpy(buf, data_.data() + pos_, n);
        pos_ += n;
        return static_cast<ptrdiff_t>(n);
    }
    bool write(const uint8_t *, size_t) override {
        std::lock_guard lock(mutex_);
        return !closed_;
    }
    void close() override {
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
        }
        done_.notify_all();
    }
    bool isOpen() const override {
        std::lock_guard lock(mutex_);
        return !closed_;
    }
    // Waits until the device has let go of the session.
    void waitClosed() {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [&] { return closed_; });
    }

private:
    const std::string protocol_;
    const uint8_t step_;
    const std::span<const uint8_t> data_;
    mutable std::mutex mutex_;
    std::condition_variable done_;
    size_t pos_ = 0;
    bool closed_ = false;
};

}  // namespace hv::sim::fuzz
