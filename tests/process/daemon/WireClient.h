// A raw client of the daemon's socket, every read bounded by a deadline.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace hv::test {

using namespace std::chrono_literals;

struct Frame {
    char type;
    std::vector<uint8_t> payload;
};

class WireClient {
public:
    explicit WireClient(const std::string &path) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        if (::connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~WireClient() { close(); }
    WireClient(WireClient &&o) noexcept : fd_(o.fd_), buffered_(std::move(o.buffered_)) {
        o.fd_ = -1;
    }

    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    bool send(const void *data, size_t n) {
        return fd_ >= 0 && ::send(fd_, data, n, MSG_NOSIGNAL) == static_cast<ssize_t>(n);
    }
    bool send(const std::string &s) { return send(s.data(), s.size()); }
    bool sendFrame(char type, const std::vector<uint8_t> &payload) {
        std::vector<uint8_t> f{static_cast<uint8_t>(type), uint8_t(payload.size() >> 24),
                               uint8_t(payload.size() >> 16), uint8_t(payload.size() >> 8),
                               uint8_t(payload.size())};
        f.insert(f.end(), payload.begin(), payload.end());
        return send(f.data(), f.size());
    }

    // Reads until `n` bytes are buffered; false on end of stream, error or deadline.
    bool fill(size_t n, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (buffered_.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || fd_ < 0) return false;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            uint8_t buf[4096];
            const ssize_t got = ::recv(fd_, buf, sizeof buf, 0);
            if (got <= 0) return false;
            buffered_.insert(buffered_.end(), buf, buf + got);
        }
        return true;
    }

    std::optional<std::string> readLine(std::chrono::milliseconds timeout = 2s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            for (size_t i = 0; i < buffered_.size(); ++i) {
                if (buffered_[i] != '\n') continue;
                std::string line(buffered_.begin(), buffered_.begin() + long(i));
                buffered_.erase(buffered_.begin(), buffered_.begin() + long(i) + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !fill(buffered_.size() + 1, left)) return std::nullopt;
        }
    }

    std::optional<Frame> readFrame(std::chrono::milliseconds timeout = 2s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        if (!fill(5, timeout)) return std::nullopt;
        const uint32_t length = (uint32_t{buffered_[1]} << 24) | (uint32_t{buffered_[2]} << 16) |
                                (uint32_t{buffered_[3]} << 8) | buffered_[4];
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (!fill(5 + length, std::max(left, 1ms))) return std::nullopt;
        Frame f{static_cast<char>(buffered_[0]),
                {buffered_.begin() + 5, buffered_.begin() + 5 + long(length)}};
        buffered_.erase(buffered_.begin(), buffered_.begin() + 5 + long(length));
        return f;
    }

    // True when the daemon ends the connection within `timeout` (whatever it sent first).
    bool endsWithin(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (fd_ >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            uint8_t buf[4096];
            const ssize_t got = ::recv(fd_, buf, sizeof buf, 0);
            if (got <= 0) return true;
        }
        return false;
    }

private:
    int fd_ = -1;
    std::vector<uint8_t> buffered_;
};

// One "COMMAND ..." connection: its answer line, or nothing within the timeout.
inline std::optional<std::string> command(const std::string &path, const std::string &words,
                                          std::chrono::milliseconds timeout = 2s) {
    WireClient c(path);
    if (!c.connected() || !c.send("COMMAND " + words + "\n")) return std::nullopt;
    return c.readLine(timeout);
}

}  // namespace hv::test
