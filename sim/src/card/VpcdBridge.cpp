#include "vorasel/sim/VpcdBridge.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "vorasel/sim/Apdu.h"

namespace hv::sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kPowerOff = 0, kPowerOn = 1, kReset = 2, kGetAtr = 4;

[[noreturn]] void fail(const char *what) {
    throw std::system_error(errno, std::generic_category(), what);
}

int msLeft(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

void appendFrame(Bytes &out, std::span<const uint8_t> payload) {
    out.push_back(static_cast<uint8_t>(payload.size() >> 8));
    out.push_back(static_cast<uint8_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
}

void setFlag(int fd, int level, int name) {
    const int one = 1;
    setsockopt(fd, level, name, &one, sizeof one);
}

}  // namespace

VpcdBridge::VpcdBridge(Options options) : options_(options) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) fail("pipe2");
    wakeRead_ = pipeFds[0];
    wakeWrite_ = pipeFds[1];

    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) fail("socket");
    setFlag(listenFd_, SOL_SOCKET, SO_REUSEADDR);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(options_.port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listenFd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(listenFd_, 4) != 0 ||
        getsockname(listenFd_, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        const int saved = errno;
        close(listenFd_);
        close(wakeRead_);
        close(wakeWrite_);
        errno = saved;
        fail("vpcd bridge listen");
    }
    port_ = ntohs(addr.sin_port);
    frame_.reserve(2 + 65535);
    thread_ = std::thread([this] { serve(); });
}

VpcdBridge::~VpcdBridge() {
    stopping_ = true;
    const uint8_t wake = 1;
    [[maybe_unused]] ssize_t n = write(wakeWrite_, &wake, 1);
    thread_.join();
    if (clientFd_ >= 0) close(clientFd_);
    close(listenFd_);
    close(wakeRead_);
    close(wakeWrite_);
}

void VpcdBridge::setConnectionListener(std::function<void(bool)> listener) {
    std::lock_guard lock(listenerMutex_);
    listener_ = std::move(listener);
}

void VpcdBridge::serve() {
    auto notify = [this](bool up) {
        std::lock_guard lock(listenerMutex_);
        if (listener_) listener_(up);
    };
    while (!stopping_) {
        int client;
        {
            std::lock_guard lock(mutex_);
            client = clientFd_;
        }
        // Only this thread closes the client socket, so `client` stays valid while polled.
        pollfd fds[3] = {{wakeRead_, POLLIN, 0}, {listenFd_, POLLIN, 0}, {client, POLLRDHUP, 0}};
        if (poll(fds, client >= 0 ? 3 : 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents) {
            uint8_t drain[16];
            while (read(wakeRead_, drain, sizeof drain) > 0) {
            }
        }
        if (client >= 0 && fds[2].revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) {
            {
                std::lock_guard lock(mutex_);
                close(clientFd_);
                clientFd_ = -1;
                broken_ = false;
                connected_ = false;
            }
            notify(false);
        }
        if (fds[1].revents & POLLIN) {
            const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0) continue;
            setFlag(fd, IPPROTO_TCP, TCP_NODELAY);
            bool replaced;
            {
                std::lock_guard lock(mutex_);
                replaced = clientFd_ >= 0;
                if (replaced) close(clientFd_);
                clientFd_ = fd;
                broken_ = false;
                connected_ = true;
            }
            if (replaced) notify(false);
            notify(true);
        }
    }
}

void VpcdBridge::breakConnection() {
    // serve() sees the hang-up and closes the socket.
    broken_ = true;
    connected_ = false;
    shutdown(clientFd_, SHUT_RDWR);
}

bool VpcdBridge::readFull(int fd, uint8_t *buf, size_t n, Clock::time_point deadline) {
    size_t got = 0;
    while (got < n) {
        const ssize_t r = recv(fd, buf + got, n - got, MSG_DONTWAIT);
        if (r > 0) {
            got += static_cast<size_t>(r);
            continue;
        }
        if (r == 0) return false;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
        pollfd p{fd, POLLIN, 0};
        const int wait = msLeft(deadline);
        if (wait == 0 || poll(&p, 1, wait) == 0) return false;
    }
    return true;
}

bool VpcdBridge::transact(std::span<const uint8_t> frames, Bytes *reply) {
    const auto deadline = Clock::now() + options_.replyTimeout;
    if (clientFd_ < 0 || broken_) return false;
    const int fd = clientFd_;
    // One write per message: a length and its payload split over two segments meet Nagle
    // and the peer's delayed acknowledgement.
    size_t sent = 0;
    while (sent < frames.size()) {
        const ssize_t w =
            send(fd, frames.data() + sent, frames.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w > 0) {
            sent += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        pollfd p{fd, POLLOUT, 0};
        const int wait = msLeft(deadline);
        if ((w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) || wait == 0 ||
            poll(&p, 1, wait) <= 0) {
            breakConnection();
            return false;
        }
    }
    if (!reply) return true;
    uint8_t header[2];
    if (!readFull(fd, header, 2, deadline)) {
        breakConnection();
        return false;
    }
    setFlag(fd, IPPROTO_TCP, TCP_QUICKACK);
    const size_t n = static_cast<size_t>(header[0]) << 8 | header[1];
    const size_t at = reply->size();
    reply->resize(at + n);
    if (!readFull(fd, reply->data() + at, n, deadline)) {
        reply->resize(at);
        breakConnection();
        return false;
    }
    return true;
}

ResetAnswer VpcdBridge::reset(ResetKind kind) {
    std::lock_guard lock(mutex_);
    const uint8_t control = kind == ResetKind::Warm ? kReset : kPowerOn;
    const uint8_t getAtr = kGetAtr;
    frame_.clear();
    appendFrame(frame_, std::span(&control, 1));
    appendFrame(frame_, std::span(&getAtr, 1));
    Bytes atr;
    if (!transact(frame_, &atr) || atr.size() < 2 || atr.size() > 33) return {false, std::nullopt};
    return {true, std::move(atr)};
}

void VpcdBridge::powerOff() {
    std::lock_guard lock(mutex_);
    const uint8_t control = kPowerOff;
    frame_.clear();
    appendFrame(frame_, std::span(&control, 1));
    transact(frame_, nullptr);
}

bool VpcdBridge::process(std::span<const uint8_t> command, Bytes &response) {
    if (command.size() > 0xFFFF) {  // the emulator's length field cannot carry it
        appendSw(response, 0x6700);
        return true;
    }
    std::lock_guard lock(mutex_);
    frame_.clear();
    appendFrame(frame_, command);
    const size_t at = response.size();
    if (!transact(frame_, &response)) return false;
    if (response.size() - at < 2) {  // not a response APDU
        response.resize(at);
        return false;
    }
    return true;
}

}  // namespace hv::sim
