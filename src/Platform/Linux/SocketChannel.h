// One session with the accessory daemon over its own Unix-domain socket (frames as in
// AccessoryWire.h).
//
// The writer's thread sends its frame itself while the socket has room: a write costs no
// thread hand-off. What does not fit waits in a buffer of `outputCapacity` bytes, and the
// writer is told there is no space until the socket has taken it. The daemon's frames are
// parsed as they come, on the thread of the run loop that serves the input stream (the socket
// is that loop's source, so an answer wakes no other thread), or, while no loop serves it, on
// a reader thread of the channel's own, which exits when a loop takes the socket and is started
// again when the loop gives it back; either pauses while the host leaves too many bytes unread.
// The end of the connection, a broken frame or the daemon's death ends the session once: both
// directions end and the reader thread exits. close() never waits on the daemon.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Platform/ExternalAccessory/AccessoryProvider.h"
#include "Platform/Linux/FrameReader.h"
#include "Platform/Linux/InboundFrames.h"
#include "Platform/RunLoop.h"

namespace hv::platform {

class SocketChannel final : public SessionChannel {
public:
    // Takes `fd`, connected and past the handshake; `input`/`output` are the open states the
    // daemon gave in the handshake.
    SocketChannel(int fd, size_t outputCapacity, uint8_t input, uint8_t output);
    ~SocketChannel() override;

    OpenState openState(Direction d) const override;
    size_t bytesAvailable() const override;
    bool hasPendingBytes() const override;
    void beginReadEvent() override;
    ptrdiff_t read(uint8_t *buf, size_t cap) override;
    bool inputEnded() const override;
    bool hasSpace() const override;
    ptrdiff_t write(const uint8_t *data, size_t len) override;
    bool outputEnded() const override;
    std::optional<StreamError> error(Direction d) const override;
    void setListener(std::function<void()> listener) override;
    void scheduleIn(const std::shared_ptr<RunLoop> &loop) override;
    void unschedule() override;
    void closeDirection(Direction d) override;
    void close() override;

    // Bytes the host leaves unread before the reader stops taking more from the socket.
    static constexpr size_t kInboundLimit = 64 * 1024;

private:
    bool outputEndedLocked() const { return outEnded_ || inbound_.outputClosedByPeer(); }
    // Sends what waits in unsent_; false when the connection is lost. Holds mutex_.
    bool flushLocked();
    void shutdownOutputIfDueLocked();
    void endLocked();
    void notify();
    void wakeReader();
    void wakeLoop();
    // Starts a reader thread unless one runs or nothing is left to read.
    void startReader();
    // Leaves the loop's source, if any; the reader is not restarted.
    void leaveLoop();
    void readLoop();
    // What the socket is to be watched for now (poll events; 0: nothing).
    short interest() const;
    // Handles what poll reported, for the loop or the reader thread: sends what waits, takes
    // and parses what came. True when something changed for the streams.
    bool service(short revents, bool fromLoop);

    const int fd_;
    const int wakeFd_;  // written only when the reader must start watching for room, or stop
    const size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable roomForInbound_;
    InboundFrames inbound_;
    wire::FrameReader frames_;
    std::vector<uint8_t> unsent_;  // a frame the socket has not taken whole; keeps its capacity
    size_t unsentOffset_ = 0;
    bool inEnded_ = false;
    bool outEnded_ = false;
    bool shutdownOutput_ = false;
    bool shutDown_ = false;
    bool readerPaused_ = false;
    bool readerRunning_ = false;
    bool closed_ = false;
    std::shared_ptr<RunLoop> loop_;  // serves the socket while set; no reader thread runs
    std::shared_ptr<RunLoopSource> source_;
    std::shared_ptr<const std::function<void()>> listener_;
    std::mutex readerMutex_;  // starting and joining reader_
    std::thread reader_;
};

}  // namespace hv::platform
