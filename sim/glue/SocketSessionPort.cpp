#include "SocketSessionPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "Platform/Linux/AccessoryWire.h"

namespace hv::sim {

namespace wire = hv::platform::wire;

namespace {
constexpr size_t kReadChunk = 16384;
// How long the rest of a frame begun may wait for a host that stopped reading.
constexpr auto kStallLimit = std::chrono::seconds(2);
}  // namespace

SocketSessionPort::SocketSessionPort(int fd, std::string protocol)
    : fd_(fd), protocol_(std::move(protocol)), frames_(wire::kMaxPayload), in_(kReadChunk) {
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

SocketSessionPort::~SocketSessionPort() {
    ::close(fd_);
}

void SocketSessionPort::announceOpen() {
    const uint8_t open[2] = {1, 1};
    std::lock_guard lock(writeMutex_);
    sendFrame('O', open, sizeof open);
}

void SocketSessionPort::refuse() {
    {
        std::lock_guard lock(writeMutex_);
        sendFrame('R', nullptr, 0);
    }
    shut();
}

bool SocketSessionPort::isOpen() const {
    return !closed_.load(std::memory_order_acquire) && !hostEnded_.load(std::memory_order_acquire);
}

ptrdiff_t SocketSessionPort::read(uint8_t *buf, size_t cap, Clock::time_point deadline) {
    for (;;) {
        if (closed_.load(std::memory_order_acquire)) return -1;
        if (havePayload_) {
            const auto payload = frames_.payload();
            const size_t n = std::min(cap, payload.size() - payloadTaken_);
            std::memcpy(buf, payload.data() + payloadTaken_, n);
            payloadTaken_ += n;
            havePayload_ = payloadTaken_ < payload.size();
            return static_cast<ptrdiff_t>(n);
        }
        while (inPos_ < inLen_ && !havePayload_) {
            std::span<const uint8_t> rest(in_.data() + inPos_, inLen_ - inPos_);
            const auto status = frames_.next(rest);
            inPos_ = inLen_ - rest.size();
            if (status == FrameReader::Status::TooLong) {
                close();  // a broken peer: nothing after it can be followed
                return -1;
            }
            // Only data frames mean anything from the host.
            if (status == FrameReader::Status::Frame && frames_.type() == 'D' &&
                !frames_.payload().empty()) {
                havePayload_ = true;
                payloadTaken_ = 0;
            }
        }
        if (havePayload_) continue;
        if (hostEnded_.load(std::memory_order_relaxed)) return -1;

        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        const int timeout = static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX));
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, timeout);
        if (ready < 0 && errno != EINTR) return -1;
        if (ready == 0) return 0;
        const ssize_t n = ::recv(fd_, in_.data(), in_.size(), MSG_DONTWAIT);
        if (n > 0) {
            inPos_ = 0;
            inLen_ = static_cast<size_t>(n);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            hostEnded_.store(true, std::memory_order_release);  // the host closed or is gone
        }
    }
}

bool SocketSessionPort::write(const uint8_t *data, size_t len) {
    std::lock_guard lock(writeMutex_);
    while (len > 0) {
        const size_t n = std::min<size_t>(len, wire::kMaxPayload);
        if (!sendFrame('D', data, n)) return false;
        data += n;
        len -= n;
    }
    return true;
}

// With writeMutex_ held. Header and payload go in one call, so an answer is one wake-up for
// the host and the payload is never copied.
bool SocketSessionPort::sendFrame(char type, const uint8_t *payload, size_t length) {
    uint8_t header[wire::kHeaderSize];
    wire::putHeader(header, type, static_cast<uint32_t>(length));
    iovec parts[2] = {{header, sizeof header}, {const_cast<uint8_t *>(payload), length}};
    size_t sent = 0;
    const size_t total = sizeof header + length;
    const auto stallEnds = Clock::now() + kStallLimit;
    while (sent < total) {
        if (closed_.load(std::memory_order_acquire)) return false;
        iovec rest[2];
        int count = 0;
        size_t skip = sent;
        for (const auto &part : parts) {
            if (skip >= part.iov_len) {
                skip -= part.iov_len;
                continue;
            }
            rest[count++] = {static_cast<uint8_t *>(part.iov_base) + skip, part.iov_len - skip};
            skip = 0;
        }
        msghdr msg{};
        msg.msg_iov = rest;
        msg.msg_iovlen = static_cast<size_t>(count);
        const ssize_t n = ::sendmsg(fd_, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        // The socket's buffer is this host's whole allowance: one that leaves it full is
        // dropped, since the device serves other hosts too and none of them waits for it.
        if (sent == 0 || Clock::now() >= stallEnds) {
            shut();
            return false;
        }
        // Only the rest of a frame begun is waited for, a while; a close ends the wait at once.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(stallEnds - Clock::now());
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
    }
    return true;
}

void SocketSessionPort::close() {
    if (closed_.exchange(true, std::memory_order_acq_rel)) return;
    // "No more bytes taken" goes out only between whole frames: a writer holding the lock is
    // waiting on a host that does not read, and the shutdown below ends it.
    if (std::unique_lock lock(writeMutex_, std::try_to_lock); lock.owns_lock()) {
        uint8_t header[wire::kHeaderSize];
        wire::putHeader(header, 'C', 0);
        [[maybe_unused]] auto n = ::send(fd_, header, sizeof header, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    ::shutdown(fd_, SHUT_RDWR);
}

void SocketSessionPort::shut() {
    closed_.store(true, std::memory_order_release);
    ::shutdown(fd_, SHUT_RDWR);
}

}  // namespace hv::sim
