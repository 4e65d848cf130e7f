// One end of one protocol session between the host and the simulated accessory.
//
// A device model gets the device end of every session opened on a protocol it serves and
// serves it on a thread of its own, as real hardware would. The host end is what the
// library's accessory service (or a test standing in for it) reads and writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "vorasel/sim/BytePipe.h"

namespace hv::sim {

class SessionPort {
public:
    virtual ~SessionPort() = default;

    // Protocol suffix of the session ("ccidbulk", "ccidinterrupt", "manager", ...).
    virtual const std::string &protocol() const = 0;

    // Waits until bytes arrive, the session is closed, or the deadline passes.
    // Returns the count (>0), 0 on time-out, -1 once the peer has closed and nothing is left.
    virtual ptrdiff_t read(uint8_t *buf, size_t cap, Clock::time_point deadline) = 0;
    // Sends all bytes, waiting while the peer's pipe is full; false once the session is closed.
    virtual bool write(const uint8_t *data, size_t len) = 0;

    // Ends the session from this side: the peer's reads drain and then report end.
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
};

// Two connected ends over two bounded pipes of `capacity` bytes each.
struct PortPair {
    std::shared_ptr<SessionPort> host;
    std::shared_ptr<SessionPort> device;
};
PortPair makePortPair(const std::string &protocol, size_t capacity = 512);
// An end that reads from `in` and writes to `out`; closing it closes both.
std::shared_ptr<SessionPort> makePipePort(const std::string &protocol, std::shared_ptr<BytePipe> in,
                                          std::shared_ptr<BytePipe> out);

// A device model of the accessory: serves the sessions of the protocols it names.
class Device {
public:
    virtual ~Device() = default;
    // Called when the host opens a session on one of this device's protocols. Returns at
    // once; the device serves the port on its own thread until the port reports end.
    virtual void attachPort(std::shared_ptr<SessionPort> port) = 0;
    // The accessory lost power (detach): drop every port and forget volatile state.
    virtual void powerLost() {}
};

}  // namespace hv::sim
