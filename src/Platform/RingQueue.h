// A FIFO over one growing array. Unlike std::deque, it keeps its storage when it drains, so a
// queue that settles at some depth never touches the heap again: run loops take a closure per
// stream event, on a path every APDU takes.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace hv::platform {

template <typename T>
class RingQueue {
public:
    bool empty() const { return count_ == 0; }
    size_t size() const { return count_; }

    void push(T value) {
        if (count_ == slots_.size()) grow();
        slots_[(head_ + count_) % slots_.size()] = std::move(value);
        ++count_;
    }

    // The oldest element, and the i-th oldest; in range only.
    T &front() { return slots_[head_]; }
    const T &operator[](size_t i) const { return slots_[(head_ + i) % slots_.size()]; }

    // The oldest element, moved out; the queue must not be empty.
    T pop() {
        T value = std::move(slots_[head_]);
        slots_[head_] = T();
        head_ = (head_ + 1) % slots_.size();
        --count_;
        return value;
    }

private:
    void grow() {
        std::vector<T> bigger(slots_.empty() ? 16 : slots_.size() * 2);
        for (size_t i = 0; i < count_; ++i)
            bigger[i] = std::move(slots_[(head_ + i) % slots_.size()]);
        slots_ = std::move(bigger);
        head_ = 0;
    }

    std::vector<T> slots_;
    size_t head_ = 0;
    size_t count_ = 0;
};

}  // namespace hv::platform
