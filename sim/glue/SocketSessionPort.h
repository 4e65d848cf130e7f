// A session's device end that is the host's socket itself: the device's own thread reads the
// host's frames from it and writes its answers straight into it, with no pipe and no relay
// thread in between. The daemon serves a session so when nothing of a SimSession (faults,
// records) is wanted; an exchange then wakes no thread but the device's.
//
// Reads take the payload of data frames and skip every other frame; a length past the wire's
// bound ends the session. Writes are whole frames, serialised, and never wait for a host that
// does not read: one that lets the socket's buffer fill is dropped. close() (the device's, a
// detach's or the server's) tells the host that the accessory takes no more bytes and shuts the
// socket, which wakes any read or write in progress; the descriptor is closed with the last holder.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "vorasel/sim/DaemonWire.h"
#include "vorasel/sim/SessionPort.h"

namespace hv::sim {

class SocketSessionPort final : public SessionPort {
public:
    // Takes `fd`, a connected stream socket whose first line has been read.
    SocketSessionPort(int fd, std::string protocol);
    ~SocketSessionPort() override;
    SocketSessionPort(const SocketSessionPort &) = delete;
    SocketSessionPort &operator=(const SocketSessionPort &) = delete;

    // The session's open states, both open: the first frame the host gets.
    void announceOpen();
    // The session is refused: the host gets that, and the socket is shut.
    void refuse();

    const std::string &protocol() const override { return protocol_; }
    ptrdiff_t read(uint8_t *buf, size_t cap, Clock::time_point deadline) override;
    bool write(const uint8_t *data, size_t len) override;
    void close() override;
    bool isOpen() const override;

private:
    bool sendFrame(char type, const uint8_t *payload, size_t length);
    void shut();

    const int fd_;
    const std::string protocol_;
    std::atomic<bool> closed_{false};
    std::atomic<bool> hostEnded_{false};

    // The reading thread's own (one reader at a time, as for every port).
    FrameReader frames_;
    std::vector<uint8_t> in_;
    size_t inPos_ = 0, inLen_ = 0;
    size_t payloadTaken_ = 0;
    bool havePayload_ = false;

    std::mutex writeMutex_;  // keeps frames whole between writing threads
};

}  // namespace hv::sim
