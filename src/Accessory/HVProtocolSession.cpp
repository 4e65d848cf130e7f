#include "Accessory/HVProtocolSession.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vorasel/HVLog.h"

using hv::platform::InputStream;
using hv::platform::OutputStream;
using hv::platform::RunLoop;
using hv::platform::SteadyClock;
using hv::platform::Stream;
using hv::platform::StreamEvent;
using hv::platform::StreamStatus;

namespace {

constexpr auto kSlice5 = std::chrono::milliseconds(5);
// A running session's thread sleeps until a stream event or the end of the session wakes it
// (endSession wakes its loop); the slice is only a safety net. Short slices woke every idle
// session thread a hundred times a second, beside the exchanges of the others.
constexpr auto kRunningSlice = std::chrono::seconds(1);
constexpr auto kForever = SteadyClock::time_point::max();
constexpr size_t kReadChunk = 0x400;
constexpr size_t kMaxCallbackLength = 0xFFFF;
constexpr size_t kMaxWrite = 0xFFFF;  // writeData takes a 16-bit length

std::string describe(const std::optional<hv::platform::StreamError> &error) {
    if (!error) return "(null)";
    return "Error Code=" + std::to_string(error->code) + " \"" + error->description + "\"";
}

}  // namespace

const char *HVProtocolSession::stringFromProtocol(int32_t protocol) {
    switch (protocol) {
        case HVAccessoryProtocolSensor:
            return "com.vorasel.sensor";
        case HVAccessoryProtocolCCIDControl:
            return "com.vorasel.ccidcontrol";
        case HVAccessoryProtocolCCIDBulk:
            return "com.vorasel.ccidbulk";
        case HVAccessoryProtocolCCIDInterrupt:
            return "com.vorasel.ccidinterrupt";
        case HVAccessoryProtocolTrace:
            return "com.vorasel.trace";
        case HVAccessoryProtocolManager:
            return "com.vorasel.manager";
        default:
            return nullptr;
    }
}

HVProtocolSession::HVProtocolSession(HVAccessoryProtocol protocol,
                                     std::shared_ptr<hv::platform::EASession> session,
                                     HVSessionReceiveCallback callback)
    : session_(std::move(session)),
      protocol_(protocol),
      callback_(callback),
      sessionThread_([this] { runSessionThread(); },
                     std::string("hv.session.") + std::to_string(protocol)) {
    received_.reserve(kReadChunk);
    pendingBuffer_.reset(new uint8_t[kMaxWrite]);
}

HVProtocolSession::~HVProtocolSession() = default;

void HVProtocolSession::setState(int32_t state) {
    state_.store(state);
    wakeWaiter();
}

void HVProtocolSession::wakeWaiter() {
    std::lock_guard lock(waiterMutex_);
    if (waiter_) waiter_->wakeUp();
}

bool HVProtocolSession::startSession() {
    {
        std::lock_guard lock(waiterMutex_);
        waiter_ = RunLoop::currentShared();
    }
    state_.store(HVSessionStateStarting);
    keepAlive_ = shared_from_this();
    if (!sessionThread_.start()) {
        keepAlive_.reset();
        state_.store(HVSessionStateFailed);
    }
    const auto started = [this] { return state_.load() >= HVSessionStateRunning; };
    hv::platform::runCurrentLoopUntil(kForever, started, kSlice5);
    return state_.load() == HVSessionStateRunning;
}

void HVProtocolSession::endSession() {
    {
        std::lock_guard lock(waiterMutex_);
        waiter_ = RunLoop::currentShared();
    }
    state_.store(HVSessionStateEnding);
    sessionThread_.cancel();
    {
        std::lock_guard lock(waiterMutex_);
        if (sessionLoop_) sessionLoop_->wakeUp();
    }
    if (state_.load() > HVSessionStateEnding) return;
    const auto ended = [this] {
        return state_.load() >= HVSessionStateEnded || !sessionThread_.isExecuting();
    };
    do {
        if (!sessionThread_.isExecuting()) break;
        // A session thread just passing its start-up must not leave the session running.
        int32_t s = state_.load();
        while (s != HVSessionStateEnding && s != HVSessionStateEnded &&
               !state_.compare_exchange_weak(s, HVSessionStateEnding)) {
        }
        hv::platform::runCurrentLoopUntil(SteadyClock::now() + kSlice5, ended, kSlice5);
    } while (state_.load() < HVSessionStateEnded);
}

void HVProtocolSession::runSessionThread() {
    const std::shared_ptr<HVProtocolSession> self = std::move(keepAlive_);
    auto loop = RunLoop::currentShared();
    {
        std::lock_guard lock(waiterMutex_);
        sessionLoop_ = loop;
    }
    InputStream &in = session_->inputStream();
    OutputStream &out = session_->outputStream();
    {
        std::lock_guard lock(objectLock_);
        HVLogVerbose("Starting session for protocol %d.", protocol_);
        in.setDelegate(this);
        out.setDelegate(this);
        in.scheduleInRunLoop(loop);
        out.scheduleInRunLoop(loop);
        in.open();
        out.open();
    }

    // Both streams past opening, or cancelled; an accessory that never opens fails the start.
    const auto openDeadline = SteadyClock::now() + kOpenTimeout;
    const auto opened = [&] {
        return (in.streamStatus() > hv::platform::StreamStatusOpening &&
                out.streamStatus() > hv::platform::StreamStatusOpening) ||
               sessionThread_.isCancelled() || SteadyClock::now() >= openDeadline;
    };
    hv::platform::runCurrentLoopUntil(kForever, opened, kSlice5);

    const StreamStatus inStatus = in.streamStatus();
    const StreamStatus outStatus = out.streamStatus();
    int32_t expected = HVSessionStateStarting;
    if (state_.load() <= HVSessionStateRunning) {
        const bool failed = (inStatus >= hv::platform::StreamStatusAtEnd &&
                             outStatus >= hv::platform::StreamStatusAtEnd) ||
                            inStatus <= hv::platform::StreamStatusOpening ||
                            outStatus <= hv::platform::StreamStatusOpening;
        if (failed)
            HVLogError("Failed to configure session streams: inputStream %d outputStream %d",
                       static_cast<int>(inStatus), static_cast<int>(outStatus));
        // Never overwrite an end that has already begun.
        if (state_.compare_exchange_strong(expected,
                                           failed ? HVSessionStateFailed : HVSessionStateRunning))
            wakeWaiter();
    }

    const auto leaveRunning = [this] {
        return state_.load() != HVSessionStateRunning || sessionThread_.isCancelled();
    };
    hv::platform::runCurrentLoopUntil(kForever, leaveRunning, kRunningSlice);

    {
        std::lock_guard lock(objectLock_);
        out.close();
        in.close();
        in.removeFromRunLoop();
        out.removeFromRunLoop();
        out.setDelegate(nullptr);
        in.setDelegate(nullptr);
        const auto closed = [&] {
            return in.streamStatus() >= hv::platform::StreamStatusAtEnd &&
                   out.streamStatus() >= hv::platform::StreamStatusAtEnd;
        };
        hv::platform::runCurrentLoopUntil(kForever, closed, kSlice5);
        HVLogVerbose("Session ended for protocol %d.", protocol_);
    }
    {
        std::lock_guard lock(waiterMutex_);
        sessionLoop_.reset();
    }
    setState(HVSessionStateEnded);
}

HVSessionStatus HVProtocolSession::writeData(const uint8_t *data, uint16_t length) {
    OutputStream &out = session_->outputStream();
    // Status and space are read under writeLock: read before it, they may be stale by the
    // time a flush on the session thread has run, and a write queued on a stale "no space"
    // would wait for a space event that has already been spent.
    std::lock_guard lock(writeLock_);
    const StreamStatus status = out.streamStatus();
    const bool hasSpace = out.hasSpaceAvailable();

    if (status >= hv::platform::StreamStatusAtEnd) {
        HVLogError("Stream for protocol %d not available with streamStatus %d.", protocol_,
                   static_cast<int>(status));
        return HVSessionStatusError;
    }
    if (remainingData_) {
        HVLogError("Already writing data for protocol %d!", protocol_);
        return HVSessionStatusError;
    }
    if (status == hv::platform::StreamStatusOpen && hasSpace) {
        const ptrdiff_t written = out.write(data, length);
        if (written < 0) {
            HVLogError("Write error! (%d) %s", session_->accessory()->isConnected() ? 1 : 0,
                       describe(out.streamError()).c_str());
            return HVSessionStatusError;
        }
        if (written < length) {
            const size_t tail = length - static_cast<size_t>(written);
            std::memcpy(pendingBuffer_.get(), data + written, tail);
            remainingDataLength_ = static_cast<uint16_t>(tail);
            remainingData_ = pendingBuffer_.get();
        }
        HVLogVerbose("Wrote %d of %d bytes for protocol %d.", static_cast<int>(written),
                     static_cast<int>(length), protocol_);
        return HVSessionStatusSuccess;
    }
    // Not open yet, or full: the whole write goes out on the next space-available event. An
    // empty write counts as pending too.
    if (length) std::memcpy(pendingBuffer_.get(), data, length);
    remainingDataLength_ = length;
    remainingData_ = pendingBuffer_.get();
    HVLogVerbose("Stream not ready for protocol %d, write will be done later.", protocol_);
    return HVSessionStatusSuccess;
}

const char *HVProtocolSession::stringFromStream(const Stream &stream) const {
    if (&stream == &session_->outputStream()) return "OutputStream";
    if (&stream == &session_->inputStream()) return "InputStream";
    return "UndefinedStream";
}

void HVProtocolSession::handleEvent(Stream &stream, StreamEvent event) {
    std::lock_guard lock(objectLock_);
    const char *name = stringFromStream(stream);
    switch (event) {
        case hv::platform::StreamEventNone:
            HVLogVerbose("%s NSStreamEventNone for protocol %d", name, protocol_);
            break;
        case hv::platform::StreamEventOpenCompleted:
            HVLogVerbose("%s NSStreamEventOpenCompleted for protocol %d", name, protocol_);
            break;
        case hv::platform::StreamEventHasBytesAvailable:
            if (state_.load() > HVSessionStateRunning) break;
            HVLogVerbose("%s NSStreamEventHasBytesAvailable for protocol %d", name, protocol_);
            if (&stream == &session_->inputStream())
                handleStreamHasAvailableBytes(session_->inputStream());
            break;
        case hv::platform::StreamEventHasSpaceAvailable:
            if (state_.load() > HVSessionStateRunning) break;
            HVLogVerbose("%s NSStreamEventHasSpaceAvailable for protocol %d", name, protocol_);
            if (&stream == &session_->outputStream())
                handleStreamHasSpaceAvailable(session_->outputStream());
            break;
        case hv::platform::StreamEventErrorOccurred: {
            const auto error = stream.streamError();
            HVLogError("%s NSStreamEventErrorOccurred %i %s for protocol %d", name,
                       error ? error->code : 0, error ? error->description.c_str() : "(null)",
                       protocol_);
            if (callback_) callback_(nullptr, 0);
            noteLoss();
            break;
        }
        case hv::platform::StreamEventEndEncountered:
            HVLogVerbose("%s NSStreamEventEndEncountered for protocol %d", name, protocol_);
            if (callback_ && (protocol_ == HVAccessoryProtocolCCIDBulk ||
                              protocol_ == HVAccessoryProtocolCCIDInterrupt))
                callback_(nullptr, 0);
            noteLoss();
            break;
        default:
            HVLogError("Unknown stream event received! %d", static_cast<int>(event));
            break;
    }
}

void HVProtocolSession::setLossObserver(std::function<void()> observer) {
    std::lock_guard lock(lossMutex_);
    lossObserver_ = std::move(observer);
    if (lost_ && lossObserver_) lossObserver_();
}

void HVProtocolSession::noteLoss() {
    std::lock_guard lock(lossMutex_);
    if (lost_) return;
    lost_ = true;
    if (lossObserver_) lossObserver_();
}

void HVProtocolSession::handleStreamHasAvailableBytes(InputStream &stream) {
    received_.clear();
    uint8_t chunk[kReadChunk];
    while (stream.hasBytesAvailable()) {
        const ptrdiff_t n = stream.read(chunk, sizeof chunk);
        if (n <= 0) break;
        received_.insert(received_.end(), chunk, chunk + n);
    }
    HVLogVerbose("Read %d bytes from stream for protocol %d.", static_cast<int>(received_.size()),
                 protocol_);
    if (!callback_) return;
    // The callback's length is 16 bits: larger gatherings go out in several calls.
    size_t offset = 0;
    do {
        const size_t n = std::min(received_.size() - offset, kMaxCallbackLength);
        callback_(received_.data() + offset, static_cast<uint16_t>(n));
        offset += n;
    } while (offset < received_.size());
}

void HVProtocolSession::handleStreamHasSpaceAvailable(OutputStream &stream) {
    bool lost = false;
    {
        std::lock_guard lock(writeLock_);
        if (!remainingData_) return;
        size_t written = 0;
        while (written < remainingDataLength_ && stream.hasSpaceAvailable()) {
            const ptrdiff_t n =
                stream.write(remainingData_ + written, remainingDataLength_ - written);
            if (n < 0) {
                lost = true;
                break;
            }
            if (n == 0) break;
            written += static_cast<size_t>(n);
        }
        if (lost) {
            HVLogError("Write error! (%d) %s", session_->accessory()->isConnected() ? 1 : 0,
                       describe(stream.streamError()).c_str());
            written = remainingDataLength_;
        } else {
            HVLogVerbose("Wrote %d of %d bytes for protocol %d.", static_cast<int>(written),
                         static_cast<int>(remainingDataLength_), protocol_);
        }
        if (written < remainingDataLength_) {
            std::memmove(remainingData_, remainingData_ + written, remainingDataLength_ - written);
            remainingDataLength_ = static_cast<uint16_t>(remainingDataLength_ - written);
        } else {
            remainingData_ = nullptr;
            remainingDataLength_ = 0;
        }
    }
    // Outside writeLock: the user learns that the pending bytes are lost.
    if (lost && callback_) callback_(nullptr, 0);
    if (lost) noteLoss();
}
