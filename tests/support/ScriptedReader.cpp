#include "ScriptedReader.h"

#include <algorithm>
#include <cassert>

namespace hv::test {

namespace {
ScriptedReader *active = nullptr;
}  // namespace

ScriptedReader::ScriptedReader(bool synchronous) {
    assert(!active);
    active = this;
    HVIFDH::setSessionOps(ops(synchronous));
}

ScriptedReader::~ScriptedReader() {
    HVIFDH::sharedInstance().close();
    HVIFDH::setSessionOps(nullptr);
    active = nullptr;
}

ScriptedReader &ScriptedReader::current() {
    return *active;
}

const HVIFDHSessionOps *ScriptedReader::ops(bool synchronous) {
    static const HVIFDHSessionOps answering = {&ScriptedReader::start, &ScriptedReader::end,
                                               &ScriptedReader::write, true};
    static const HVIFDHSessionOps waiting = {&ScriptedReader::start, &ScriptedReader::end,
                                             &ScriptedReader::write, false};
    return synchronous ? &answering : &waiting;
}

HVSessionStatus ScriptedReader::start(int32_t protocol, HVSessionReceiveCallback callback) {
    std::lock_guard lock(active->mutex_);
    active->starts_.push_back(protocol);
    active->startTimes_.push_back(std::chrono::steady_clock::now());
    HVSessionStatus status = HVSessionStatusSuccess;
    if (!active->startResults_.empty()) {
        status = active->startResults_.front();
        active->startResults_.pop_front();
    }
    if (status == HVSessionStatusSuccess) {
        if (protocol == HVAccessoryProtocolCCIDBulk) active->bulk_ = callback;
        if (protocol == HVAccessoryProtocolCCIDInterrupt) active->interrupt_ = callback;
    }
    return status;
}

HVSessionStatus ScriptedReader::end(int32_t protocol) {
    std::lock_guard lock(active->mutex_);
    active->ends_.push_back(protocol);
    return HVSessionStatusSuccess;
}

HVSessionStatus ScriptedReader::write(const uint8_t *data, uint16_t length, int32_t protocol) {
    std::optional<std::vector<Delivery>> answer;
    Responder responder;
    HVSessionReceiveCallback bulk;
    const Bytes command(data, data + length);
    {
        std::lock_guard lock(active->mutex_);
        if (protocol != HVAccessoryProtocolCCIDBulk) return HVSessionStatusError;
        if (active->writeResult_ != HVSessionStatusSuccess) return active->writeResult_;
        if (length == 0) {
            ++active->emptyWrites_;
        } else {
            active->commands_.push_back(command);
            if (!active->queued_.empty()) {
                answer = std::move(active->queued_.front());
                active->queued_.pop_front();
            }
        }
        responder = active->responder_;
        bulk = active->bulk_;
    }
    if (!answer && responder) answer = responder(command);
    if (answer)
        for (const auto &d : *answer)
            active->deliver(bulk, d);
    return HVSessionStatusSuccess;
}

void ScriptedReader::deliver(HVSessionReceiveCallback callback, const Delivery &d) {
    if (!callback) return;
    if (!d.bytes) {
        callback(nullptr, 0);
        return;
    }
    Bytes copy = *d.bytes;
    callback(copy.data(), static_cast<uint16_t>(copy.size()));
}

void ScriptedReader::scriptStarts(std::vector<HVSessionStatus> statuses) {
    std::lock_guard lock(mutex_);
    startResults_.assign(statuses.begin(), statuses.end());
}

void ScriptedReader::failWrites(HVSessionStatus status) {
    std::lock_guard lock(mutex_);
    writeResult_ = status;
}

void ScriptedReader::setResponder(Responder responder) {
    std::lock_guard lock(mutex_);
    responder_ = std::move(responder);
}

void ScriptedReader::queueAnswer(std::vector<Delivery> deliveries) {
    std::lock_guard lock(mutex_);
    queued_.push_back(std::move(deliveries));
}

void ScriptedReader::deliverBulk(const Delivery &d) {
    HVSessionReceiveCallback cb;
    {
        std::lock_guard lock(mutex_);
        cb = bulk_;
    }
    deliver(cb, d);
}

void ScriptedReader::deliverInterrupt(const Delivery &d) {
    HVSessionReceiveCallback cb;
    {
        std::lock_guard lock(mutex_);
        cb = interrupt_;
    }
    deliver(cb, d);
}

std::vector<Bytes> ScriptedReader::commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
}

size_t ScriptedReader::emptyWrites() const {
    std::lock_guard lock(mutex_);
    return emptyWrites_;
}

std::vector<int32_t> ScriptedReader::starts() const {
    std::lock_guard lock(mutex_);
    return starts_;
}

std::vector<std::chrono::steady_clock::time_point> ScriptedReader::startTimes() const {
    std::lock_guard lock(mutex_);
    return startTimes_;
}

std::vector<int32_t> ScriptedReader::ends() const {
    std::lock_guard lock(mutex_);
    return ends_;
}

Bytes ScriptedReader::response(const Bytes &command, uint8_t status, uint8_t error,
                               const Bytes &data, uint8_t type) {
    const auto n = static_cast<uint32_t>(data.size());
    Bytes r(10 + data.size(), 0);
    r[0] = type;
    for (int i = 0; i < 4; ++i)
        r[1 + i] = static_cast<uint8_t>(n >> (8 * i));
    r[6] = command.size() > 6 ? command[6] : uint8_t{0};
    r[7] = status;
    r[8] = error;
    std::copy(data.begin(), data.end(), r.begin() + 10);
    return r;
}

}  // namespace hv::test
