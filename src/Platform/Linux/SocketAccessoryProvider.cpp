#include "Platform/Linux/SocketAccessoryProvider.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <vector>

#include "Platform/ExternalAccessory/EAAccessoryManager.h"
#include "Platform/Linux/AccessoryWire.h"
#include "Platform/Linux/InboundFrames.h"
#include "Platform/Linux/UnixSocket.h"

namespace hv::platform {
namespace {

constexpr size_t kInboundLimit = 64 * 1024;

class SocketChannel final : public SessionChannel {
public:
    SocketChannel(int fd, size_t outputCapacity)
        : fd_(fd), wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), capacity_(outputCapacity) {
        io_ = std::thread([this] { ioLoop(); });
    }
    ~SocketChannel() override { close(); }

    void applyOpenStates(uint8_t in, uint8_t out) {
        {
            std::lock_guard lock(mutex_);
            inbound_.applyOpenStates(in, out);
        }
        notify();
    }

    OpenState openState(Direction d) const override {
        std::lock_guard lock(mutex_);
        return d == Direction::Input ? inbound_.inputOpen() : inbound_.outputOpen();
    }
    size_t bytesAvailable() const override {
        std::lock_guard lock(mutex_);
        return inbound_.visibleBytes();
    }
    bool hasPendingBytes() const override {
        std::lock_guard lock(mutex_);
        return inbound_.pendingBytes() > 0;
    }
    void beginReadEvent() override {
        std::lock_guard lock(mutex_);
        inbound_.beginReadEvent();
    }
    ptrdiff_t read(uint8_t *buf, size_t cap) override {
        size_t n = 0;
        {
            std::lock_guard lock(mutex_);
            if (inbound_.pendingBytes() == 0) return inEnded_ ? -1 : 0;
            n = inbound_.read(buf, cap);
        }
        wake();  // room for more inbound
        return static_cast<ptrdiff_t>(n);
    }
    bool inputEnded() const override {
        std::lock_guard lock(mutex_);
        return inEnded_ && inbound_.pendingBytes() == 0;
    }
    bool hasSpace() const override {
        std::lock_guard lock(mutex_);
        return !outputEndedLocked() && outbound_.size() < capacity_;
    }
    ptrdiff_t write(const uint8_t *data, size_t len) override {
        size_t n;
        {
            std::lock_guard lock(mutex_);
            if (outputEndedLocked() || closed_) return -1;
            n = std::min(len, capacity_ - std::min(capacity_, outbound_.size()));
            outbound_.insert(outbound_.end(), data, data + n);
        }
        if (n) wake();
        return static_cast<ptrdiff_t>(n);
    }
    bool outputEnded() const override {
        std::lock_guard lock(mutex_);
        return outputEndedLocked();
    }
    std::optional<StreamError> error(Direction d) const override {
        std::lock_guard lock(mutex_);
        return d == Direction::Input ? inbound_.inputError() : inbound_.outputError();
    }
    void setListener(std::function<void()> listener) override {
        auto shared =
            listener ? std::make_shared<const std::function<void()>>(std::move(listener)) : nullptr;
        std::lock_guard lock(mutex_);
        listener_ = std::move(shared);
    }
    void closeDirection(Direction d) override {
        {
            std::lock_guard lock(mutex_);
            if (d == Direction::Output)
                shutdownOutput_ = true;
            else
                inbound_.dropInput();
        }
        wake();
    }
    void close() override {
        {
            std::lock_guard lock(mutex_);
            if (closed_) return;
            closed_ = true;
        }
        wake();
        if (io_.joinable()) io_.join();
        ::close(fd_);
        ::close(wakeFd_);
    }

private:
    bool outputEndedLocked() const { return outEnded_ || inbound_.outputClosedByPeer(); }

    void wake() {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
    }

    // Shared, so that taking it out of the lock copies a pointer, not the closure.
    void notify() {
        std::shared_ptr<const std::function<void()>> listener;
        {
            std::lock_guard lock(mutex_);
            listener = listener_;
        }
        if (listener) (*listener)();
    }

    // Reads one frame; false when the daemon has closed or broken the connection.
    bool readFrame() {
        uint8_t header[wire::kHeaderSize];
        if (!unixsocket::readExact(fd_, header, sizeof header)) return false;
        const uint32_t length = wire::payloadLength(header);
        if (length > wire::kMaxPayload) return false;
        std::vector<uint8_t> payload(length);
        if (length && !unixsocket::readExact(fd_, payload.data(), length)) return false;
        std::lock_guard lock(mutex_);
        inbound_.apply(header[0], std::move(payload));
        return true;
    }

    void ioLoop() {
        for (;;) {
            bool wantRead, wantWrite, shutdownNow;
            {
                std::lock_guard lock(mutex_);
                if (closed_) return;
                wantRead = !inEnded_ && inbound_.pendingBytes() < kInboundLimit;
                wantWrite = !outbound_.empty() && !outputEndedLocked();
                shutdownNow = shutdownOutput_ && outbound_.empty() && !shutDown_;
                if (shutdownNow) shutDown_ = true;
            }
            if (shutdownNow) ::shutdown(fd_, SHUT_WR);
            pollfd fds[2] = {
                {fd_, static_cast<short>((wantRead ? POLLIN : 0) | (wantWrite ? POLLOUT : 0)), 0},
                {wakeFd_, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) continue;
            if (fds[1].revents & POLLIN) {
                uint64_t v;
                [[maybe_unused]] ssize_t n = ::read(wakeFd_, &v, sizeof v);
            }
            bool changed = false;
            if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
                if (wantRead && !readFrame()) {
                    std::lock_guard lock(mutex_);
                    inEnded_ = true;
                    outEnded_ = true;  // the daemon is gone: nothing more is taken either
                }
                changed = true;
            }
            if (wantWrite && (fds[0].revents & POLLOUT)) {
                // One frame of everything waiting, built in a buffer that keeps its capacity.
                sending_.resize(wire::kHeaderSize);
                {
                    std::lock_guard lock(mutex_);
                    sending_.insert(sending_.end(), outbound_.begin(), outbound_.end());
                    outbound_.clear();
                }
                wire::putHeader(sending_.data(), 'D',
                                static_cast<uint32_t>(sending_.size() - wire::kHeaderSize));
                if (!unixsocket::writeAll(fd_, sending_.data(), sending_.size())) {
                    std::lock_guard lock(mutex_);
                    outEnded_ = true;
                }
                changed = true;
            }
            if (changed) notify();
        }
    }

    const int fd_;
    const int wakeFd_;
    const size_t capacity_;
    mutable std::mutex mutex_;
    InboundFrames inbound_;
    bool inEnded_ = false;
    std::vector<uint8_t> outbound_;  // keeps its capacity when drained
    std::vector<uint8_t> sending_;   // the I/O thread's frame being written
    bool outEnded_ = false;
    bool shutdownOutput_ = false;
    bool shutDown_ = false;
    bool closed_ = false;
    std::shared_ptr<const std::function<void()>> listener_;
    std::thread io_;
};

}  // namespace

std::shared_ptr<SocketAccessoryProvider> SocketAccessoryProvider::connect(
    const std::string &socketPath, EAAccessoryManager &manager, size_t outputCapacity) {
    const int fd = unixsocket::connectTo(socketPath);
    if (fd < 0) return nullptr;
    const std::string hello = "CONTROL\n";
    if (!unixsocket::writeAll(fd, hello.data(), hello.size())) {
        ::close(fd);
        return nullptr;
    }
    std::shared_ptr<SocketAccessoryProvider> provider(
        new SocketAccessoryProvider(socketPath, manager, outputCapacity));
    provider->controlFd_ = fd;
    // Detached: a process-wide provider may outlive main(); stop() waits for the loop instead.
    std::thread([p = provider, fd] {
        p->controlLoop(fd);
        p->controlDone_.set_value();
    }).detach();
    // The daemon first lists what is attached, then says so.
    provider->syncedFuture_.wait_for(std::chrono::seconds(2));
    return provider;
}

thread_local bool SocketAccessoryProvider::inControlLoop_ = false;

void SocketAccessoryProvider::markSynced() {
    std::call_once(syncedOnce_, [this] { synced_.set_value(); });
}

SocketAccessoryProvider::SocketAccessoryProvider(std::string path, EAAccessoryManager &manager,
                                                 size_t outputCapacity)
    : path_(std::move(path)), manager_(manager), outputCapacity_(outputCapacity) {}

SocketAccessoryProvider::~SocketAccessoryProvider() {
    stop();
}

void SocketAccessoryProvider::stop() {
    int fd;
    {
        std::lock_guard lock(mutex_);
        fd = controlFd_;
        controlFd_ = -1;
    }
    if (fd < 0) return;
    ::shutdown(fd, SHUT_RDWR);
    if (!inControlLoop_) controlFinished_.wait();
    ::close(fd);
}

bool SocketAccessoryProvider::isConnected() const {
    return controlFinished_.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
}

void SocketAccessoryProvider::controlLoop(int fd) {
    inControlLoop_ = true;
    auto &manager = manager_;
    while (auto line = unixsocket::readLine(fd)) {
        auto message = wire::parseControlLine(*line);
        if (!message) continue;
        switch (message->kind) {
            case wire::ControlLine::Kind::Sync:
                markSynced();
                break;
            case wire::ControlLine::Kind::Attach: {
                {
                    // An attach that races the initial listing may be announced twice.
                    std::lock_guard lock(mutex_);
                    bool known = false;
                    for (const auto &[ours, theirs] : daemonIds_)
                        known |= theirs == message->id;
                    if (known) break;
                }
                auto accessory = manager.accessoryAttached(std::move(message->info));
                std::lock_guard lock(mutex_);
                daemonIds_[accessory->connectionID()] = message->id;
                break;
            }
            case wire::ControlLine::Kind::Detach: {
                uint32_t ours = 0;
                {
                    std::lock_guard lock(mutex_);
                    for (auto it = daemonIds_.begin(); it != daemonIds_.end(); ++it) {
                        if (it->second == message->id) {
                            ours = it->first;
                            daemonIds_.erase(it);
                            break;
                        }
                    }
                }
                if (ours) manager.accessoryDetached(ours);
                break;
            }
        }
    }
    markSynced();
    detachAll();
}

void SocketAccessoryProvider::detachAll() {
    std::map<uint32_t, std::string> ids;
    {
        std::lock_guard lock(mutex_);
        ids.swap(daemonIds_);
    }
    for (const auto &[ours, theirs] : ids)
        manager_.accessoryDetached(ours);
}

std::unique_ptr<SessionChannel> SocketAccessoryProvider::openSession(
    uint32_t connectionID, const std::string &protocolString) {
    std::string daemonId;
    {
        std::lock_guard lock(mutex_);
        auto it = daemonIds_.find(connectionID);
        if (it == daemonIds_.end()) return nullptr;
        daemonId = it->second;
    }
    const int fd = unixsocket::connectTo(path_);
    if (fd < 0) return nullptr;
    // Small kernel buffers: the channel's own bounded buffers decide when the writer waits.
    const int small = 2048;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const std::string hello = "SESSION " + daemonId + " " + protocolString + "\n";
    uint8_t header[wire::kHeaderSize];
    if (!unixsocket::writeAll(fd, hello.data(), hello.size()) ||
        !unixsocket::readExact(fd, header, sizeof header) || header[0] == 'R') {
        ::close(fd);
        return nullptr;
    }
    // The daemon's first frame after the name is either 'R' or the open states; hand the
    // states to the channel by replaying them.
    const uint32_t length = wire::payloadLength(header);
    std::vector<uint8_t> payload(length);
    if (header[0] != 'O' || length != 2 || !unixsocket::readExact(fd, payload.data(), length)) {
        ::close(fd);
        return nullptr;
    }
    auto channel = std::make_unique<SocketChannel>(fd, outputCapacity_);
    channel->applyOpenStates(payload[0], payload[1]);
    return channel;
}

}  // namespace hv::platform
