// A scripted card reader behind the driver's session operations: it records what the driver
// starts, ends and writes, and answers each command from within the write, as the test says,
// in whatever pieces the test chooses. No threads: the exchange runs on the test's thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "Smartcard/IFDH/HVIFDH.h"

namespace hv::test {

using Bytes = std::vector<uint8_t>;

class ScriptedReader {
public:
    // One call of a receive callback: bytes, or a lost pipe (null).
    struct Delivery {
        std::optional<Bytes> bytes;
        static Delivery of(Bytes b) { return {std::move(b)}; }
        static Delivery lost() { return {std::nullopt}; }
    };
    // What the reader sends on the bulk pipe when it receives a command (empty: silence). It
    // is called with an empty command each time the driver waits again after a time
    // extension, and runs outside the reader's lock.
    using Responder = std::function<std::vector<Delivery>(const Bytes &command)>;

    // Installs the reader as the driver's sessions, and removes it again. A synchronous reader
    // has said all it will say when the write returns (an unanswered exchange times out at
    // once); otherwise the driver waits out its time-out.
    explicit ScriptedReader(bool synchronous = true);
    ~ScriptedReader();
    static ScriptedReader &current();

    // Results of the next session starts (then 0), and of writes (then 0).
    void scriptStarts(std::vector<HVSessionStatus> statuses);
    void failWrites(HVSessionStatus status);
    void setResponder(Responder responder);
    // Answers to the next commands, in order, one list of deliveries per command; later
    // commands are answered by the responder.
    void queueAnswer(std::vector<Delivery> deliveries);

    // Delivers bytes on a pipe now, as the reader would on its own.
    void deliverBulk(const Delivery &d);
    void deliverInterrupt(const Delivery &d);

    std::vector<Bytes> commands() const;  // non-empty writes on the bulk pipe
    size_t emptyWrites() const;           // zero-length writes (waits after a time extension)
    std::vector<int32_t> starts() const;  // protocols started, in order
    std::vector<std::chrono::steady_clock::time_point> startTimes() const;
    std::vector<int32_t> ends() const;

    // A well-formed response to `command`: same bSeq, the given bStatus, bError and data.
    static Bytes response(const Bytes &command, uint8_t status, uint8_t error = 0,
                          const Bytes &data = {}, uint8_t type = 0x80);

private:
    static const HVIFDHSessionOps *ops(bool synchronous);
    static HVSessionStatus start(int32_t protocol, HVSessionReceiveCallback callback);
    static HVSessionStatus end(int32_t protocol);
    static HVSessionStatus write(const uint8_t *data, uint16_t length, int32_t protocol);
    void deliver(HVSessionReceiveCallback callback, const Delivery &d);

    mutable std::mutex mutex_;
    std::deque<HVSessionStatus> startResults_;
    HVSessionStatus writeResult_ = HVSessionStatusSuccess;
    Responder responder_;
    std::deque<std::vector<Delivery>> queued_;
    HVSessionReceiveCallback bulk_ = nullptr;
    HVSessionReceiveCallback interrupt_ = nullptr;
    std::vector<Bytes> commands_;
    size_t emptyWrites_ = 0;
    std::vector<int32_t> starts_;
    std::vector<std::chrono::steady_clock::time_point> startTimes_;
    std::vector<int32_t> ends_;
};

}  // namespace hv::test
