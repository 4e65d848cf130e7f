// A stand-in card emulator for the vpcd bridge: connects as vicc does, records every message
// it receives, answers the ATR request with its ATR and each command APDU through `answer`
// (no answer when that gives nothing). Power controls are recorded and not answered.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace hv::test {

class FakeEmulator {
public:
    using Bytes = std::vector<uint8_t>;
    using Answer = std::function<std::optional<Bytes>(const Bytes &command)>;

    FakeEmulator(uint16_t port, Bytes atr, Answer answer)
        : atr_(std::move(atr)), answer_(std::move(answer)) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        if (connected_) thread_ = std::thread([this] { run(); });
    }
    ~FakeEmulator() { hangUp(); }
    FakeEmulator(const FakeEmulator &) = delete;
    FakeEmulator &operator=(const FakeEmulator &) = delete;

    // Leaves the bridge, as an emulator that exits.
    void hangUp() {
        if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    bool connected() const { return connected_; }
    bool closedByPeer() const { return closed_; }
    std::vector<Bytes> received() {
        std::lock_guard lock(mutex_);
        return received_;
    }
    // Command APDUs only (messages longer than one byte).
    std::vector<Bytes> commands() {
        std::vector<Bytes> out;
        for (auto &m : received())
            if (m.size() > 1) out.push_back(m);
        return out;
    }

private:
    bool readAll(uint8_t *p, size_t n) {
        while (n > 0) {
            const ssize_t r = recv(fd_, p, n, 0);
            if (r <= 0) return false;
            p += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }
    void reply(const Bytes &payload) {
        Bytes f{static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size())};
        f.insert(f.end(), payload.begin(), payload.end());
        send(fd_, f.data(), f.size(), MSG_NOSIGNAL);
    }
    void run() {
        struct Mark {
            std::atomic<bool> &flag;
            ~Mark() { flag = true; }
        } mark{closed_};
        for (;;) {
            uint8_t h[2];
            if (!readAll(h, 2)) return;
            Bytes m(static_cast<size_t>(h[0] << 8 | h[1]));
            if (!readAll(m.data(), m.size())) return;
            {
                std::lock_guard lock(mutex_);
                received_.push_back(m);
            }
            if (m == Bytes{0x04}) {
                reply(atr_);
            } else if (m.size() > 1) {
                if (auto r = answer_(m)) reply(*r);
            }
        }
    }

    const Bytes atr_;
    const Answer answer_;
    int fd_ = -1;
    bool connected_ = false;
    std::atomic<bool> closed_{false};
    std::mutex mutex_;
    std::vector<Bytes> received_;
    std::thread thread_;
};

}  // namespace hv::test
