// A thread-safe record of the messages a simulated device received and sent, one entry per
// message, so tests can assert on the wire ("two PC_to_RDR_IccPowerOn, bSeq n and n+1").
//
// Devices record each message as they framed it (received) or produced it (sent; recorded
// just before it is written, so a host that has read the bytes finds the entry). A message
// sent in several pieces or merged with another is still one entry; the entry's note says
// which fault shaped it. A message the device produced but kept off the wire (a dropped
// response, a merge still held back) is recorded as Withheld. The record is bounded: past
// `maxEntries` the oldest entries are forgotten.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vorasel/sim/BytePipe.h"
#include "vorasel/sim/Card.h"

namespace hv::sim {

enum class Direction : uint8_t {
    Received,  // host to device
    Sent,      // device to host, put on the wire
    Withheld,  // produced by the device but not put on the wire (fault injection)
};

struct WireEntry {
    uint64_t index = 0;  // position in the whole record, from 0
    Clock::time_point time;
    std::string protocol;
    Direction direction = Direction::Received;
    Bytes bytes;
    std::string note;  // empty, or what shaped this message ("split 3", "stale", "oversize"...)
};

// Sees every message as it is recorded, whether or not the record keeps it (a capture file).
// Called on the device's threads, outside the recorder's lock.
class WireTap {
public:
    virtual ~WireTap() = default;
    virtual void message(std::string_view protocol, Direction direction,
                         std::span<const uint8_t> bytes) = 0;
};

// Whether a session's protocol is `suffix`, given bare ("ccidbulk") or with the vendor
// prefix ("com.example.ccidbulk").
bool protocolIs(std::string_view protocol, std::string_view suffix);

class WireRecorder {
public:
    // Keeps the latest entries: at most maxEntries of them, and at most maxBytes of payload.
    explicit WireRecorder(size_t maxEntries = 100000, size_t maxBytes = size_t{16} << 20);

    void record(std::string_view protocol, Direction direction, std::span<const uint8_t> bytes,
                std::string_view note = {});

    std::vector<WireEntry> entries() const;
    // Entries of one protocol (matched as protocolIs does) and direction.
    std::vector<WireEntry> select(std::string_view protocol, Direction direction) const;
    std::vector<WireEntry> select(const std::function<bool(const WireEntry &)> &match) const;
    size_t count(std::string_view protocol, Direction direction) const;

    // Waits until at least `n` entries match, or the timeout passes; true when they did.
    bool waitFor(const std::function<bool(const WireEntry &)> &match, size_t n,
                 std::chrono::milliseconds timeout) const;
    bool waitFor(std::string_view protocol, Direction direction, size_t n,
                 std::chrono::milliseconds timeout) const;

    void clear();
    // Turns recording off (benchmarks) or back on; entries already held stay.
    void setEnabled(bool enabled);
    // Null removes it. A message being handed to the previous tap may still reach it.
    void setTap(std::shared_ptr<WireTap> tap);

private:
    size_t countLocked(const std::function<bool(const WireEntry &)> &match) const;

    const size_t maxEntries_;
    const size_t maxBytes_;
    size_t bytes_ = 0;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<WireEntry> entries_;
    uint64_t next_ = 0;
    bool enabled_ = true;

    std::atomic<bool> tapped_{false};  // spares the lock below when there is no tap
    mutable std::mutex tapMutex_;
    std::shared_ptr<WireTap> tap_;
};

}  // namespace hv::sim
