// Reassembly of DEZ messages from the byte chunks of the `manager` protocol.
//
// Chunks are appended to a fixed-capacity buffer; every complete message at its front (found
// from its own tag and length) is parsed and handed to the callback, then its bytes are
// removed. Nothing searches for a message start: bytes that do not form a message are
// consumed as one and reported as corrupted.
//
// Thread rules: handleMessage() and clear() may be called from any thread; both hold the
// handler's own re-entrant lock (objectLock()) for their whole duration, and the callback runs
// on the calling thread with that lock held. The callback receives the parsed tree, whose
// values point into the handler's buffer; the handler deletes the tree when the callback
// returns, and the bytes stay unchanged only until the next chunk is taken, so a callback (or
// a reader holding objectLock()) copies what it needs for longer. The callback may call
// clear() or handleMessage() on its own handler: a chunk it passes is appended, and its
// messages are delivered after the current one, by the outer call.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>

#include "vorasel/lib_tlv_hl.h"

enum HVPAPMessageHandlerStatus : int32_t {
    HVPAPMessageHandlerStatusOk = 0,                // chunk taken, complete messages delivered
    HVPAPMessageHandlerStatusBufferFull = 1,        // chunk did not fit: buffer emptied, dropped
    HVPAPMessageHandlerStatusMessageCorrupted = 2,  // a complete message failed to parse
    HVPAPMessageHandlerStatusMessageError = 3,      // no data pointer given
};

class HVPAPMessageHandler {
public:
    using Callback = std::function<void(tlv_t *message)>;

    // initWithMaxMessageSize:andCallback:. A handler whose buffer cannot be allocated (or
    // whose capacity exceeds INT32_MAX, more than a message measure can count) has capacity 0
    // and answers every chunk with HVPAPMessageHandlerStatusBufferFull.
    HVPAPMessageHandler(uint32_t maxMessageSize, Callback callback);
    ~HVPAPMessageHandler();
    HVPAPMessageHandler(const HVPAPMessageHandler &) = delete;
    HVPAPMessageHandler &operator=(const HVPAPMessageHandler &) = delete;

    // handleMessage:ofLength:. Copies the chunk, then delivers every complete message at the
    // front of the buffer. A failure status comes after the callback has already run for the
    // earlier complete messages of the chunk.
    HVPAPMessageHandlerStatus handleMessage(const uint8_t *data, uint16_t length);
    // Empties the buffer.
    void clear();

    static const char *stringFromStatus(int32_t status);

    uint32_t bufferLength() const;
    uint32_t maxSize() const { return maxSize_; }
    // The lock handleMessage() and clear() hold; take it to read values that point into the
    // buffer without a chunk moving them.
    std::recursive_mutex &objectLock() const { return lock_; }

private:
    void dropFront(uint32_t messageSize);
    void empty();

    uint8_t *messageBuffer_ = nullptr;
    uint32_t bufferLength_ = 0;
    uint32_t maxSize_ = 0;
    Callback callback_;
    mutable std::recursive_mutex lock_;
    // Re-entrant calls from the callback: a chunk is only appended while a message is being
    // delivered, and an emptying during delivery leaves nothing of that message to remove.
    bool delivering_ = false;
    uint64_t emptiedCount_ = 0;
};
