#include "Accessory/Management/HVPAPMessageHandler.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "vorasel/HVLog.h"
#include "vorasel/dez_message.h"

HVPAPMessageHandler::HVPAPMessageHandler(uint32_t maxMessageSize, Callback callback)
    : callback_(std::move(callback)) {
    // dez_remaining_bytes counts in signed 32 bits; a larger buffer could not be measured.
    if (maxMessageSize == 0 || maxMessageSize > INT32_MAX) return;
    messageBuffer_ = new (std::nothrow) uint8_t[maxMessageSize];
    if (messageBuffer_ != nullptr) maxSize_ = maxMessageSize;
}

HVPAPMessageHandler::~HVPAPMessageHandler() {
    delete[] messageBuffer_;
}

HVPAPMessageHandlerStatus HVPAPMessageHandler::handleMessage(const uint8_t *data, uint16_t length) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (data == nullptr) return HVPAPMessageHandlerStatusMessageError;

    if (messageBuffer_ == nullptr || static_cast<uint64_t>(bufferLength_) + length > maxSize_) {
        empty();
        HVLogError("Message too large for buffer, dropping.");
        return HVPAPMessageHandlerStatusBufferFull;
    }
    std::memcpy(messageBuffer_ + bufferLength_, data, length);
    bufferLength_ += length;
    HVLogVerbose("Read %d(%d) bytes data.", static_cast<int>(length),
                 static_cast<int>(bufferLength_));
    // Called from the callback (the lock is re-entrant): the message being delivered is still
    // at the front, so only append; the outer call goes on with what follows it.
    if (delivering_) return HVPAPMessageHandlerStatusOk;

    for (;;) {
        const int32_t remaining = dez_remaining_bytes(messageBuffer_, bufferLength_);
        if (remaining > 0) break;
        // remaining <= 0: the front message is complete and -remaining bytes follow it.
        const uint32_t messageSize = bufferLength_ - static_cast<uint32_t>(-int64_t{remaining});
        tlv_t *message = nullptr;
        if (tlv_parse_buffer(messageBuffer_, &message) != TLV_OK) {
            dropFront(messageSize);
            HVLogError("Message corrupted.");
            return HVPAPMessageHandlerStatusMessageCorrupted;
        }
        // The tree's values point into the buffer: deliver before moving any bytes.
        const uint64_t emptied = emptiedCount_;
        delivering_ = true;
        if (callback_) callback_(message);
        delivering_ = false;
        tlv_delete(message);
        // A clear() from inside the callback already removed this message.
        if (emptiedCount_ == emptied) dropFront(messageSize);
    }
    return HVPAPMessageHandlerStatusOk;
}

void HVPAPMessageHandler::dropFront(uint32_t messageSize) {
    const uint32_t following = bufferLength_ - messageSize;
    if (following != 0) std::memmove(messageBuffer_, messageBuffer_ + messageSize, following);
    bufferLength_ = following;
}

void HVPAPMessageHandler::empty() {
    bufferLength_ = 0;
    ++emptiedCount_;
}

void HVPAPMessageHandler::clear() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    empty();
}

uint32_t HVPAPMessageHandler::bufferLength() const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return bufferLength_;
}

const char *HVPAPMessageHandler::stringFromStatus(int32_t status) {
    switch (status) {
        case HVPAPMessageHandlerStatusOk:
            return "HVPAPMessageHandlerStatusOk";
        case HVPAPMessageHandlerStatusBufferFull:
            return "HVPAPMessageHandlerStatusBufferFull";
        case HVPAPMessageHandlerStatusMessageCorrupted:
            return "HVPAPMessageHandlerStatusMessageCorrupted";
        case HVPAPMessageHandlerStatusMessageError:
            return "HVPAPMessageHandlerStatusMessageError";
        default:
            return "HVPAPMessageHandlerStatusUNKNOWN";
    }
}
