#include "Platform/Linux/UnixSocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace hv::platform::unixsocket {
namespace {

// Waits until `fd` is ready for `events` or the deadline passes.
bool waitFor(int fd, short events, Deadline deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
}

bool fillAddress(const std::string &path, sockaddr_un &addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

}  // namespace

int connectTo(const std::string &path) {
    sockaddr_un addr;
    if (!fillAddress(path, addr)) return -1;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int listenOn(const std::string &path) {
    sockaddr_un addr;
    if (!fillAddress(path, addr)) return -1;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    ::unlink(path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool writeAll(int fd, const void *data, size_t length) {
    const auto *p = static_cast<const uint8_t *>(data);
    while (length > 0) {
        const ssize_t n = ::send(fd, p, length, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool readExact(int fd, void *data, size_t length) {
    auto *p = static_cast<uint8_t *>(data);
    while (length > 0) {
        const ssize_t n = ::read(fd, p, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

std::optional<std::string> readLine(int fd, size_t maxLength) {
    std::string line;
    char c;
    // One byte at a time: the line is short and what follows it belongs to someone else.
    while (line.size() <= maxLength) {
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        if (c == '\n') return line;
        line.push_back(c);
    }
    return std::nullopt;
}

int connectBy(const std::string &path, Deadline deadline) {
    sockaddr_un addr;
    if (!fillAddress(path, addr)) return -1;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    for (;;) {
        if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) return fd;
        if (errno == EINTR) continue;
        // A full backlog: the daemon is busy or stopped. Try again briefly, never past the
        // deadline.
        if (errno == EAGAIN && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        ::close(fd);
        return -1;
    }
}

bool writeAllBy(int fd, const void *data, size_t length, Deadline deadline) {
    const auto *p = static_cast<const uint8_t *>(data);
    while (length > 0) {
        const ssize_t n = ::send(fd, p, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(fd, POLLOUT, deadline))
                continue;
            return false;
        }
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool readExactBy(int fd, void *data, size_t length, Deadline deadline) {
    auto *p = static_cast<uint8_t *>(data);
    while (length > 0) {
        const ssize_t n = ::recv(fd, p, length, MSG_DONTWAIT);
        if (n == 0) return false;
        if (n < 0) {
            if (errno == EINTR) continue;
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(fd, POLLIN, deadline))
                continue;
            return false;
        }
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

void closeQuietly(int fd) {
    if (fd >= 0) ::close(fd);
}

}  // namespace hv::platform::unixsocket
