// What carries the accessory's bytes behind the accessory service: a simulated accessory in
// this process, a daemon over a socket, or (on the phone) the real link.
//
// A provider reports accessories attaching and detaching to EAAccessoryManager and opens one
// SessionChannel per (accessory, protocol string). A channel is the host end of one session:
// both directions, non-blocking, with a listener that is called (on any thread) after every
// change that may make it readable, writable, open, failed or ended.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vorasel/EAAccessory.h"

namespace hv::platform {

class RunLoop;

struct StreamError {
    int code = 0;
    std::string description;
};

class SessionChannel {
public:
    enum class OpenState { Opening, Open, Failed };
    enum class Direction { Input, Output };

    virtual ~SessionChannel() = default;

    // How far opening has come for one direction; Failed carries error(direction).
    virtual OpenState openState(Direction direction) const = 0;

    // Bytes the host may read now (a provider may show them in pieces).
    virtual size_t bytesAvailable() const = 0;
    // Whether bytes wait at all, shown now or in a later piece: what a has-bytes event is
    // raised for.
    virtual bool hasPendingBytes() const { return bytesAvailable() > 0; }
    // Called before a has-bytes-available event is delivered: makes the next piece visible.
    virtual void beginReadEvent() {}
    // Up to `cap` bytes; 0 when none now; -1 when the peer has ended and nothing is left.
    virtual ptrdiff_t read(uint8_t *buf, size_t cap) = 0;
    // True once the peer has ended this direction and every byte has been read.
    virtual bool inputEnded() const = 0;

    virtual bool hasSpace() const = 0;
    // Count accepted now (0 when full); -1 when the link is lost.
    virtual ptrdiff_t write(const uint8_t *data, size_t len) = 0;
    // True once the peer no longer takes bytes.
    virtual bool outputEnded() const = 0;

    // A link error for a direction, if one occurred.
    virtual std::optional<StreamError> error(Direction direction) const = 0;

    virtual void setListener(std::function<void()> listener) = 0;
    // The input is served by `loop`: a channel that can reads its connection on that loop's
    // thread, as the loop's source, instead of on a thread of its own; unschedule() takes it
    // back. Nothing else changes for the streams.
    virtual void scheduleIn(const std::shared_ptr<RunLoop> &loop) { (void)loop; }
    virtual void unschedule() {}
    // The host closed one stream: that direction ends for the peer.
    virtual void closeDirection(Direction direction) = 0;
    // The host is done with the session.
    virtual void close() = 0;
};

class AccessoryProvider {
public:
    virtual ~AccessoryProvider() = default;
    // A channel for the accessory's protocol, or null when the accessory refuses.
    virtual std::unique_ptr<SessionChannel> openSession(uint32_t connectionID,
                                                        const std::string &protocolString) = 0;
};

}  // namespace hv::platform
