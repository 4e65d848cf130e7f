#include "VpcdEchoCard.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <vector>

namespace {

// T=0 then T=1 offered: TS 3B, T0 80 (TD1), TD1 80 (T=0, TD2), TD2 01 (T=1), TCK.
const uint8_t kAtr[] = {0x3B, 0x80, 0x80, 0x01, 0x01};

bool readAll(int fd, uint8_t *p, size_t n) {
    while (n) {
        const ssize_t r = ::read(fd, p, n);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool send(int fd, const uint8_t *data, size_t n) {
    std::vector<uint8_t> out(n + 2);
    out[0] = static_cast<uint8_t>(n >> 8);
    out[1] = static_cast<uint8_t>(n);
    std::copy(data, data + n, out.begin() + 2);
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t w = ::write(fd, out.data() + done, out.size() - done);
        if (w <= 0) return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

// The command's data field and 90 00; 90 00 alone for a command without data.
std::vector<uint8_t> answer(const std::vector<uint8_t> &c) {
    std::vector<uint8_t> r;
    if (c.size() > 5 && c[4] != 0) {
        const size_t lc = c[4];
        if (c.size() >= 5 + lc) r.assign(c.begin() + 5, c.begin() + 5 + static_cast<long>(lc));
    } else if (c.size() > 7 && c[4] == 0) {
        const size_t lc = static_cast<size_t>(c[5]) << 8 | c[6];
        if (c.size() >= 7 + lc) r.assign(c.begin() + 7, c.begin() + 7 + static_cast<long>(lc));
    }
    r.push_back(0x90);
    r.push_back(0x00);
    return r;
}

}  // namespace

bool VpcdEchoCard::insert() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port_);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            std::lock_guard lock(mutex_);
            fd_ = fd;
            server_ = std::thread([this, fd] { serve(fd); });
            return true;
        }
        ::close(fd);
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void VpcdEchoCard::remove() {
    std::thread server;
    {
        std::lock_guard lock(mutex_);
        if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
        server = std::move(server_);
    }
    if (server.joinable()) server.join();
    std::lock_guard lock(mutex_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void VpcdEchoCard::serve(int fd) {
    std::vector<uint8_t> command;
    const int one = 1;
    for (;;) {
        uint8_t header[2];
        if (!readAll(fd, header, 2)) return;
        // vpcd sends the payload separately: acknowledge the length at once.
        ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        command.resize(static_cast<size_t>(header[0]) << 8 | header[1]);
        if (!readAll(fd, command.data(), command.size())) return;
        ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        if (command.size() == 1) {
            if (command[0] == 4 && !send(fd, kAtr, sizeof kAtr)) return;
            continue;  // power and reset need no answer
        }
        const auto response = answer(command);
        if (!send(fd, response.data(), response.size())) return;
    }
}
