// A card application that forwards to an external card emulator speaking the vpcd socket
// protocol (Debian's `vicc`, for one): the bridge listens on 127.0.0.1 and the emulator
// connects to it. Every message is a 2-byte big-endian length and the payload; a 1-byte
// payload is a control code (0 power off, 1 power on, 2 reset, 4 ATR, the last answered with
// the ATR), anything longer a command APDU answered with the response APDU.
//
// Put it behind a VirtualCard: the emulator's ATR decides the protocols, and PPS and T=1 run
// in the VirtualCard as for built-in cards.
//
// Without a connected emulator, or when it fails to answer in time, the card is mute: no ATR
// at power-on, no answer to an exchange. A new connection replaces the previous one.
//
// Threads: one thread of its own accepts connections and notices hang-ups; the card calls
// reset/powerOff/process from the reader's thread. connected() and port() from anywhere.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "vorasel/sim/CardApplication.h"

namespace hv::sim {

class VpcdBridge : public CardApplication {
public:
    struct Options {
        uint16_t port = 0;  // 0: any free port (see port())
        std::chrono::milliseconds replyTimeout{3000};
    };

    // Throws std::system_error when it cannot listen.
    explicit VpcdBridge(Options options);
    VpcdBridge() : VpcdBridge(Options{}) {}
    ~VpcdBridge() override;
    VpcdBridge(const VpcdBridge &) = delete;
    VpcdBridge &operator=(const VpcdBridge &) = delete;

    uint16_t port() const { return port_; }
    bool connected() const { return connected_.load(); }
    // Called on the bridge's thread when an emulator connects (true) or goes away (false), so
    // that the accessory can insert or remove the card. Set it before the emulator connects.
    void setConnectionListener(std::function<void(bool)> listener);

    ResetAnswer reset(ResetKind kind) override;
    void powerOff() override;
    bool process(std::span<const uint8_t> command, Bytes &response) override;
    bool present() const override { return connected(); }

private:
    void serve();
    // Sends one or more framed messages in one write; with `reply`, reads one message back.
    bool transact(std::span<const uint8_t> frames, Bytes *reply);
    bool readFull(int fd, uint8_t *buf, size_t n, std::chrono::steady_clock::time_point deadline);
    void breakConnection();  // under mutex_: wakes serve(), which closes the socket

    const Options options_;
    uint16_t port_ = 0;
    int listenFd_ = -1;
    int wakeRead_ = -1, wakeWrite_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> connected_{false};

    std::mutex mutex_;  // the client socket and the buffers; held for a whole transaction
    int clientFd_ = -1;
    bool broken_ = false;
    Bytes frame_;

    std::mutex listenerMutex_;
    std::function<void(bool)> listener_;

    std::thread thread_;
};

}  // namespace hv::sim
