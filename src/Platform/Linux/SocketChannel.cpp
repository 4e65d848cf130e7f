#include "Platform/Linux/SocketChannel.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "Platform/ThreadName.h"

namespace hv::platform {

SocketChannel::SocketChannel(int fd, size_t outputCapacity, uint8_t input, uint8_t output)
    : fd_(fd), wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), capacity_(outputCapacity) {
    inbound_.applyOpenStates(input, output);
    unsent_.reserve(wire::kHeaderSize + capacity_);
    reader_ = std::thread([this] { readLoop(); });
}

SocketChannel::~SocketChannel() {
    close();
}

SessionChannel::OpenState SocketChannel::openState(Direction d) const {
    std::lock_guard lock(mutex_);
    return d == Direction::Input ? inbound_.inputOpen() : inbound_.outputOpen();
}

size_t SocketChannel::bytesAvailable() const {
    std::lock_guard lock(mutex_);
    return inbound_.visibleBytes();
}

bool SocketChannel::hasPendingBytes() const {
    std::lock_guard lock(mutex_);
    return inbound_.pendingBytes() > 0;
}

void SocketChannel::beginReadEvent() {
    std::lock_guard lock(mutex_);
    inbound_.beginReadEvent();
}

ptrdiff_t SocketChannel::read(uint8_t *buf, size_t cap) {
    size_t n = 0;
    bool resume = false;
    {
        std::lock_guard lock(mutex_);
        if (inbound_.pendingBytes() == 0) return inEnded_ ? -1 : 0;
        n = inbound_.read(buf, cap);
        // The reader is woken only when it waits for room, not on every read.
        resume = readerPaused_ && inbound_.pendingBytes() < kInboundLimit;
    }
    if (resume) roomForInbound_.notify_one();
    return static_cast<ptrdiff_t>(n);
}

bool SocketChannel::inputEnded() const {
    std::lock_guard lock(mutex_);
    return inEnded_ && inbound_.pendingBytes() == 0;
}

bool SocketChannel::hasSpace() const {
    std::lock_guard lock(mutex_);
    return !outputEndedLocked() && !shutdownOutput_ && unsentOffset_ == unsent_.size();
}

ptrdiff_t SocketChannel::write(const uint8_t *data, size_t len) {
    ptrdiff_t result;
    bool watchForRoom = false, lost = false;
    {
        std::lock_guard lock(mutex_);
        if (closed_ || shutdownOutput_ || outputEndedLocked()) return -1;
        if (!flushLocked()) {
            lost = true;
            result = -1;
        } else if (unsentOffset_ < unsent_.size()) {
            result = 0;  // the last frame still waits for room
        } else {
            const size_t n = std::min(len, capacity_);
            if (n == 0) return 0;
            unsent_.resize(wire::kHeaderSize + n);
            wire::putHeader(unsent_.data(), 'D', static_cast<uint32_t>(n));
            std::copy_n(data, n, unsent_.data() + wire::kHeaderSize);
            unsentOffset_ = 0;
            // The bytes are taken either way; what the socket has no room for waits here.
            if (!flushLocked()) {
                lost = true;
                result = -1;
            } else {
                result = static_cast<ptrdiff_t>(n);
                watchForRoom = unsentOffset_ < unsent_.size();
            }
        }
    }
    if (watchForRoom) wakeReader();
    if (lost) notify();
    return result;
}

bool SocketChannel::outputEnded() const {
    std::lock_guard lock(mutex_);
    return outputEndedLocked();
}

std::optional<StreamError> SocketChannel::error(Direction d) const {
    std::lock_guard lock(mutex_);
    return d == Direction::Input ? inbound_.inputError() : inbound_.outputError();
}

void SocketChannel::setListener(std::function<void()> listener) {
    auto shared =
        listener ? std::make_shared<const std::function<void()>>(std::move(listener)) : nullptr;
    std::lock_guard lock(mutex_);
    listener_ = std::move(shared);
}

void SocketChannel::closeDirection(Direction d) {
    bool resume = false;
    {
        std::lock_guard lock(mutex_);
        if (d == Direction::Output) {
            shutdownOutput_ = true;
            shutdownOutputIfDueLocked();
        } else {
            inbound_.dropInput();
            resume = readerPaused_;
        }
    }
    if (resume) roomForInbound_.notify_one();
}

void SocketChannel::close() {
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        closed_ = true;
    }
    roomForInbound_.notify_one();
    wakeReader();
    // The reader never blocks on the daemon (its socket calls do not wait), so this returns
    // at once even when the daemon is stopped.
    if (reader_.joinable()) reader_.join();
    ::close(fd_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

bool SocketChannel::flushLocked() {
    while (unsentOffset_ < unsent_.size()) {
        const ssize_t n = ::send(fd_, unsent_.data() + unsentOffset_,
                                 unsent_.size() - unsentOffset_, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        unsentOffset_ += static_cast<size_t>(n);
    }
    shutdownOutputIfDueLocked();
    return true;
}

void SocketChannel::shutdownOutputIfDueLocked() {
    if (shutdownOutput_ && !shutDown_ && unsentOffset_ == unsent_.size()) {
        ::shutdown(fd_, SHUT_WR);
        shutDown_ = true;
    }
}

void SocketChannel::endLocked() {
    inEnded_ = true;
    outEnded_ = true;  // the daemon is gone: nothing more is taken either
}

void SocketChannel::wakeReader() {
    if (wakeFd_ < 0) return;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

// Shared, so that taking it out of the lock copies a pointer, not the closure.
void SocketChannel::notify() {
    std::shared_ptr<const std::function<void()>> listener;
    {
        std::lock_guard lock(mutex_);
        listener = listener_;
    }
    if (listener) (*listener)();
}

void SocketChannel::readLoop() {
    setCurrentThreadName("vorasel-socket");
    uint8_t buf[4096];
    for (;;) {
        bool watchForRoom;
        {
            std::unique_lock lock(mutex_);
            while (!closed_ && !inEnded_ && inbound_.pendingBytes() >= kInboundLimit) {
                readerPaused_ = true;
                roomForInbound_.wait(lock);
            }
            readerPaused_ = false;
            if (closed_ || inEnded_) return;
            watchForRoom = unsentOffset_ < unsent_.size();
        }
        pollfd fds[2] = {{fd_, static_cast<short>(POLLIN | (watchForRoom ? POLLOUT : 0)), 0},
                         {wakeFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            std::lock_guard lock(mutex_);
            endLocked();
            return;
        }
        if (fds[1].revents & POLLIN) {
            uint64_t v;
            [[maybe_unused]] ssize_t n = ::read(wakeFd_, &v, sizeof v);
        }
        bool changed = false;
        if (fds[0].revents & POLLOUT) {
            std::lock_guard lock(mutex_);
            if (!flushLocked()) endLocked();
            changed = true;
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                std::lock_guard lock(mutex_);
                if (n <= 0) {
                    // End of stream or a lost connection (a frame cut short with it is
                    // dropped): the session is over, once.
                    endLocked();
                } else {
                    size_t at = 0;
                    while (at < static_cast<size_t>(n) && !frames_.broken()) {
                        at += frames_.feed(buf + at, static_cast<size_t>(n) - at);
                        if (frames_.frameReady()) {
                            const uint8_t type = frames_.frameType();
                            inbound_.apply(type, frames_.takePayload(inbound_.takeSpare()));
                        }
                    }
                    // A length no daemon sends: the peer is broken, stop listening to it.
                    if (frames_.broken()) endLocked();
                }
                changed = true;
            }
        }
        if (changed) notify();
    }
}

}  // namespace hv::platform
