#include "Platform/ExternalAccessory/Stream.h"

#include <unordered_map>

namespace hv::platform {

namespace {
bool isOpenStatus(StreamStatus s) {
    return s == StreamStatusOpen || s == StreamStatusReading || s == StreamStatusWriting;
}

// Live streams by number. A posted event names its stream by number rather than holding a
// weak_ptr, so the closure fits in std::function's inline buffer: no heap block per event.
struct StreamRegistry {
    std::mutex mutex;
    std::unordered_map<uint64_t, std::weak_ptr<Stream>> streams;
    uint64_t lastNumber = 0;
};

StreamRegistry &registry() {
    static auto *instance = new StreamRegistry;  // outlives streams destroyed at exit
    return *instance;
}

uint64_t registerStream(std::weak_ptr<Stream> stream) {
    auto &r = registry();
    std::lock_guard lock(r.mutex);
    const uint64_t number = ++r.lastNumber;
    r.streams.emplace(number, std::move(stream));
    return number;
}

std::shared_ptr<Stream> liveStream(uint64_t number) {
    auto &r = registry();
    std::lock_guard lock(r.mutex);
    const auto it = r.streams.find(number);
    return it == r.streams.end() ? nullptr : it->second.lock();
}
}  // namespace

Stream::Stream(std::shared_ptr<SessionChannel> channel, Direction direction)
    : channel_(std::move(channel)), direction_(direction) {}

Stream::~Stream() {
    if (number_ == 0) return;
    auto &r = registry();
    std::lock_guard lock(r.mutex);
    r.streams.erase(number_);
}

void Stream::setDelegate(StreamDelegate *delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
}

StreamDelegate *Stream::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
}

void Stream::scheduleInRunLoop(std::shared_ptr<RunLoop> loop) {
    // Whoever serves the input may as well read the connection itself.
    if (direction_ == Direction::Input) channel_->scheduleIn(loop);
    {
        std::lock_guard lock(mutex_);
        if (number_ == 0) number_ = registerStream(weak_from_this());
        loop_ = std::move(loop);
        // Events are re-derived from the channel on the new loop.
        bytesEventOutstanding_ = spaceEventOutstanding_ = false;
    }
    update();
}

void Stream::removeFromRunLoop() {
    if (direction_ == Direction::Input) channel_->unschedule();
    std::lock_guard lock(mutex_);
    loop_.reset();
}

void Stream::open() {
    {
        std::lock_guard lock(mutex_);
        if (status_ != StreamStatusNotOpen) return;
        status_ = StreamStatusOpening;
    }
    update();
}

void Stream::close() {
    {
        std::lock_guard lock(mutex_);
        if (status_ == StreamStatusClosed) return;
        status_ = StreamStatusClosed;
    }
    channel_->closeDirection(direction_);
}

StreamStatus Stream::streamStatus() const {
    std::lock_guard lock(mutex_);
    return status_;
}

std::optional<StreamError> Stream::streamError() const {
    std::lock_guard lock(mutex_);
    return error_;
}

void Stream::noteClientWrote() {
    {
        std::lock_guard lock(mutex_);
        spaceArmed_ = true;
    }
    update();
}

void Stream::update() {
    StreamEvent events[3];
    int count = 0;
    {
        std::lock_guard lock(mutex_);
        // Without a run loop there is nobody to tell: statuses move on, events wait until the
        // stream is scheduled again (scheduleInRunLoop re-derives them).
        const bool canPost = loop_ != nullptr;
        if (status_ == StreamStatusOpening) {
            switch (channel_->openState(direction_)) {
                case SessionChannel::OpenState::Opening:
                    return;
                case SessionChannel::OpenState::Failed:
                    status_ = StreamStatusError;
                    error_ = channel_->error(direction_).value_or(StreamError{-1, "open failed"});
                    break;
                case SessionChannel::OpenState::Open:
                    status_ = StreamStatusOpen;
                    spaceArmed_ = direction_ == Direction::Output;
                    if (canPost) events[count++] = StreamEventOpenCompleted;
                    break;
            }
        }
        if (isOpenStatus(status_)) {
            if (auto err = channel_->error(direction_)) {
                status_ = StreamStatusError;
                error_ = err;
            } else if (direction_ == Direction::Input) {
                if (channel_->hasPendingBytes()) {
                    if (canPost && !bytesEventOutstanding_) {
                        bytesEventOutstanding_ = true;
                        events[count++] = StreamEventHasBytesAvailable;
                    }
                } else if (channel_->inputEnded()) {
                    status_ = StreamStatusAtEnd;
                }
            } else {
                if (channel_->outputEnded()) {
                    status_ = StreamStatusAtEnd;
                } else if (canPost && spaceArmed_ && !spaceEventOutstanding_ &&
                           channel_->hasSpace()) {
                    spaceArmed_ = false;
                    spaceEventOutstanding_ = true;
                    events[count++] = StreamEventHasSpaceAvailable;
                }
            }
        }
        if (canPost && status_ == StreamStatusError && !errorPosted_) {
            errorPosted_ = true;
            events[count++] = StreamEventErrorOccurred;
        }
        if (canPost && status_ == StreamStatusAtEnd && !endPosted_) {
            endPosted_ = true;
            events[count++] = StreamEventEndEncountered;
        }
    }
    for (int i = 0; i < count; ++i)
        post(events[i]);
}

void Stream::post(StreamEvent event) {
    std::shared_ptr<RunLoop> loop;
    uint64_t number;
    {
        std::lock_guard lock(mutex_);
        loop = loop_;
        number = number_;
    }
    if (!loop || number == 0) return;
    loop->perform([number, event] {
        if (auto self = liveStream(number)) self->deliver(event);
    });
}

void Stream::deliver(StreamEvent event) {
    StreamDelegate *delegate = nullptr;
    bool live;
    {
        std::lock_guard lock(mutex_);
        live = loop_ && loop_->isCurrent() && status_ != StreamStatusClosed;
        delegate = delegate_;
    }
    if (live) {
        if (event == StreamEventHasBytesAvailable) channel_->beginReadEvent();
        if (delegate) delegate->handleEvent(*this, event);
    }
    // The event stays outstanding while the delegate runs, so that what it reads or writes
    // does not raise a second one; afterwards whatever is still due is raised anew.
    {
        std::lock_guard lock(mutex_);
        if (event == StreamEventHasBytesAvailable) bytesEventOutstanding_ = false;
        if (event == StreamEventHasSpaceAvailable) spaceEventOutstanding_ = false;
    }
    if (live) update();
}

bool InputStream::hasBytesAvailable() const {
    const StreamStatus s = streamStatus();
    return isOpenStatus(s) && channel_->bytesAvailable() > 0;
}

ptrdiff_t InputStream::read(uint8_t *buf, size_t maxLength) {
    if (!isOpenStatus(streamStatus())) return -1;
    const ptrdiff_t n = channel_->read(buf, maxLength);
    if (n < 0) {
        update();
        return 0;
    }
    return n;
}

bool OutputStream::hasSpaceAvailable() {
    if (!isOpenStatus(streamStatus())) return false;
    if (channel_->hasSpace()) return true;
    // A client told "no space" waits for the event that says there is.
    noteClientWrote();
    return false;
}

ptrdiff_t OutputStream::write(const uint8_t *data, size_t length) {
    if (!isOpenStatus(streamStatus())) return -1;
    const ptrdiff_t n = channel_->write(data, length);
    if (n < 0) {
        update();
        return -1;
    }
    // Only a writer left with bytes met no room and waits for the event; one that wrote all it
    // had is not woken for nothing.
    if (static_cast<size_t>(n) < length) noteClientWrote();
    return n;
}

}  // namespace hv::platform
