// An echo card for vsmartcard's vpcd reader driver: it connects to vpcd's port as a virtual
// ICC (insertion) and closes the connection (removal). It answers power and reset with its
// ATR (T=0 and T=1 offered) and every command APDU with the command's data and 90 00.
//
// vpcd's wire: a 2-byte big-endian length, then the payload; a 1-byte payload is a control
// code (0 power off, 1 power on, 2 reset, 4 get ATR, the last answered with the ATR). The card
// writes length and payload at once with TCP_NODELAY and acknowledges at once after reading a
// length, so that vpcd's two separate sends do not wait for a delayed ACK.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

class VpcdEchoCard {
public:
    explicit VpcdEchoCard(uint16_t port) : port_(port) {}
    ~VpcdEchoCard() { remove(); }

    // Connects to vpcd (retrying while it is not yet listening); false after 5 s.
    bool insert();
    void remove();

private:
    void serve(int fd);

    const uint16_t port_;
    std::mutex mutex_;
    int fd_ = -1;
    std::thread server_;
};
