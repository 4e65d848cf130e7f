// Byte streams of an accessory session, with delegate events delivered on a run loop.
//
// Statuses and events carry the platform's published values. Events go to the delegate on
// the run loop the stream is scheduled on, one at a time:
//   - open completed (1) once opening succeeds; for an output stream, has space (4) follows;
//   - has bytes (2) when bytes are there and no such event is outstanding; if the delegate
//     leaves bytes unread, another follows;
//   - has space (4) when there is room and the client has written since the last one;
//   - error (8) once, on a link error or a failed open (status 7);
//   - end (16) once the peer has ended and, for input, every byte has been read (status 5).
// Thread rules: open/close/schedule/setDelegate and the event handling belong to the thread
// of the scheduled run loop; read, write and the status and availability queries are safe
// from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "Platform/ExternalAccessory/AccessoryProvider.h"
#include "Platform/RunLoop.h"

namespace hv::platform {

enum StreamStatus : int {
    StreamStatusNotOpen = 0,
    StreamStatusOpening = 1,
    StreamStatusOpen = 2,
    StreamStatusReading = 3,
    StreamStatusWriting = 4,
    StreamStatusAtEnd = 5,
    StreamStatusClosed = 6,
    StreamStatusError = 7,
};

enum StreamEvent : int {
    StreamEventNone = 0,
    StreamEventOpenCompleted = 1,
    StreamEventHasBytesAvailable = 2,
    StreamEventHasSpaceAvailable = 4,
    StreamEventErrorOccurred = 8,
    StreamEventEndEncountered = 16,
};

class Stream;

class StreamDelegate {
public:
    virtual ~StreamDelegate() = default;
    virtual void handleEvent(Stream &stream, StreamEvent event) = 0;
};

class Stream : public std::enable_shared_from_this<Stream> {
public:
    using Direction = SessionChannel::Direction;

    Stream(std::shared_ptr<SessionChannel> channel, Direction direction);
    virtual ~Stream();
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;

    void setDelegate(StreamDelegate *delegate);
    StreamDelegate *delegate() const;
    void scheduleInRunLoop(std::shared_ptr<RunLoop> loop);
    void removeFromRunLoop();
    void open();
    void close();
    StreamStatus streamStatus() const;
    std::optional<StreamError> streamError() const;
    Direction direction() const { return direction_; }

    // Re-examines the channel and posts whatever events are now due.
    void update();

protected:
    void noteClientWrote();  // arms the next has-space event
    std::shared_ptr<SessionChannel> channel_;

private:
    void post(StreamEvent event);
    void deliver(StreamEvent event);

    const Direction direction_;
    mutable std::mutex mutex_;
    StreamStatus status_ = StreamStatusNotOpen;
    std::optional<StreamError> error_;
    StreamDelegate *delegate_ = nullptr;
    std::shared_ptr<RunLoop> loop_;
    bool bytesEventOutstanding_ = false;
    bool spaceArmed_ = false;
    bool spaceEventOutstanding_ = false;
    bool endPosted_ = false;
    bool errorPosted_ = false;
    uint64_t number_ = 0;  // in the registry of live streams once scheduled; 0 before
};

class InputStream final : public Stream {
public:
    explicit InputStream(std::shared_ptr<SessionChannel> channel)
        : Stream(std::move(channel), Direction::Input) {}
    bool hasBytesAvailable() const;
    // Count read (0 when nothing now), -1 on error or when the stream is not open.
    ptrdiff_t read(uint8_t *buf, size_t maxLength);
};

class OutputStream final : public Stream {
public:
    explicit OutputStream(std::shared_ptr<SessionChannel> channel)
        : Stream(std::move(channel), Direction::Output) {}
    // When there is no space, a has-space event follows as soon as there is.
    bool hasSpaceAvailable();
    // Count written (possibly fewer than asked, 0 when full), -1 on error or when not open.
    ptrdiff_t write(const uint8_t *data, size_t length);
};

}  // namespace hv::platform
