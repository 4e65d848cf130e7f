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
    startReader();
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
    bool resume = false, resumeLoop = false;
    {
        std::lock_guard lock(mutex_);
        if (inbound_.pendingBytes() == 0) return inEnded_ ? -1 : 0;
        const bool wasFull = inbound_.pendingBytes() >= kInboundLimit;
        n = inbound_.read(buf, cap);
        // Whoever reads the socket is woken only when it waits for room, not on every read:
        // a reader thread parked while a loop serves stays asleep.
        const bool roomMade = wasFull && inbound_.pendingBytes() < kInboundLimit;
        resume = readerPaused_ && !loop_ && roomMade;
        resumeLoop = loop_ && roomMade;
    }
    if (resume) roomForInbound_.notify_one();
    if (resumeLoop) wakeLoop();
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
    if (watchForRoom) {
        roomForInbound_.notify_one();
        wakeReader();
        wakeLoop();
    }
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
    if (d == Direction::Input) wakeLoop();
}

void SocketChannel::scheduleIn(const std::shared_ptr<RunLoop> &loop) {
    if (!loop) {
        unschedule();
        return;
    }
    leaveLoop();
    auto source = loop->addSource(
        fd_, [this] { return interest(); },
        [this](short revents) {
            if (service(revents, true)) notify();
        });
    if (!source) {  // the loop has no room for it: a reader thread serves it
        startReader();
        return;
    }
    {
        std::lock_guard lock(mutex_);
        if (!closed_) {
            loop_ = loop;
            source_ = source;
            source.reset();
        }
    }
    if (source) {
        loop->removeSource(source);
        return;
    }
    // The reader leaves the socket to the loop and exits; joined now, so that its stack does
    // not outlive it.
    roomForInbound_.notify_one();
    wakeReader();
    std::lock_guard start(readerMutex_);
    if (reader_.joinable() && reader_.get_id() != std::this_thread::get_id()) reader_.join();
}

void SocketChannel::unschedule() {
    leaveLoop();
    startReader();
}

void SocketChannel::leaveLoop() {
    std::shared_ptr<RunLoop> loop;
    std::shared_ptr<RunLoopSource> source;
    {
        std::lock_guard lock(mutex_);
        loop.swap(loop_);
        source.swap(source_);
    }
    if (!source) return;
    // Once this returns the loop no longer touches the socket.
    loop->removeSource(source);
    roomForInbound_.notify_one();
}

void SocketChannel::startReader() {
    std::lock_guard start(readerMutex_);
    {
        std::lock_guard lock(mutex_);
        if (readerRunning_ || loop_ || closed_ || inEnded_) return;
        readerRunning_ = true;
    }
    if (reader_.joinable()) reader_.join();  // one that has exited
    reader_ = std::thread([this] { readLoop(); });
}

void SocketChannel::close() {
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        closed_ = true;
    }
    leaveLoop();
    roomForInbound_.notify_one();
    wakeReader();
    // The reader never blocks on the daemon (its socket calls do not wait), so this returns
    // at once even when the daemon is stopped.
    {
        std::lock_guard start(readerMutex_);
        if (reader_.joinable()) reader_.join();
    }
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

void SocketChannel::wakeLoop() {
    std::shared_ptr<RunLoop> loop;
    {
        std::lock_guard lock(mutex_);
        loop = loop_;
    }
    if (loop) loop->wakeUp();
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

short SocketChannel::interest() const {
    std::lock_guard lock(mutex_);
    if (closed_ || inEnded_) return 0;
    short events = 0;
    if (inbound_.pendingBytes() < kInboundLimit) events |= POLLIN;
    if (unsentOffset_ < unsent_.size()) events |= POLLOUT;
    return events;
}

bool SocketChannel::service(short revents, bool fromLoop) {
    std::lock_guard lock(mutex_);
    if (closed_ || inEnded_) return false;
    if (!fromLoop && loop_) return false;  // the loop took the socket while the reader polled
    const bool takeMore = inbound_.pendingBytes() < kInboundLimit;
    if (!takeMore && (revents & (POLLHUP | POLLERR))) {
        // Gone while the host still has bytes to read: those stay readable.
        endLocked();
        return true;
    }
    bool changed = false;
    if (revents & POLLOUT) {
        if (!flushLocked()) endLocked();
        changed = true;
    }
    if (!takeMore || inEnded_ || !(revents & (POLLIN | POLLHUP | POLLERR))) return changed;
    // Taken and parsed under the lock, so that whichever thread serves the socket, the frames
    // are read whole and in order.
    uint8_t buf[4096];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return changed;
    if (n <= 0) {
        // End of stream or a lost connection (a frame cut short with it is dropped): the
        // session is over, once.
        endLocked();
        return true;
    }
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
    return true;
}

void SocketChannel::readLoop() {
    setCurrentThreadName("vorasel-socket");
    for (;;) {
        bool watchForRoom, takeMore;
        {
            std::unique_lock lock(mutex_);
            // While the host leaves too much unread nothing is taken from the socket here; a
            // frame still waiting for room is sent all the same. A run loop that serves the
            // socket needs no reader.
            for (;;) {
                watchForRoom = unsentOffset_ < unsent_.size();
                takeMore = inbound_.pendingBytes() < kInboundLimit;
                if (closed_ || inEnded_ || loop_) break;
                if (takeMore || watchForRoom) break;
                readerPaused_ = true;
                roomForInbound_.wait(lock);
            }
            readerPaused_ = false;
            if (closed_ || inEnded_ || loop_) {
                readerRunning_ = false;
                return;
            }
        }
        const short events =
            static_cast<short>((takeMore ? POLLIN : 0) | (watchForRoom ? POLLOUT : 0));
        pollfd fds[2] = {{fd_, events, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            std::lock_guard lock(mutex_);
            endLocked();
            readerRunning_ = false;
            return;
        }
        if (fds[1].revents & POLLIN) {
            uint64_t v;
            [[maybe_unused]] ssize_t n = ::read(wakeFd_, &v, sizeof v);
        }
        if (fds[0].revents && service(fds[0].revents, false)) notify();
    }
}

}  // namespace hv::platform
