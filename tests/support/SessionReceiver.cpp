#include "SessionReceiver.h"

namespace hv::test {
namespace {

// Protocols outside 0..5 share one extra receiver.
int slot(int protocol) {
    return protocol >= 0 && protocol < 6 ? protocol : 6;
}

template <int P>
void receive(uint8_t *data, uint16_t length) {
    SessionReceiver::of(P).record(data, length);
}

}  // namespace

SessionReceiver &SessionReceiver::of(int protocol) {
    static SessionReceiver receivers[7];
    return receivers[slot(protocol)];
}

HVSessionReceiveCallback SessionReceiver::callback(int protocol) {
    static const HVSessionReceiveCallback callbacks[7] = {
        receive<0>, receive<1>, receive<2>, receive<3>, receive<4>, receive<5>, receive<6>};
    return callbacks[slot(protocol)];
}

void SessionReceiver::record(uint8_t *data, uint16_t length) {
    std::lock_guard lock(mutex_);
    if (!data)
        deliveries_.push_back(Delivery{true, {}});
    else
        deliveries_.push_back(Delivery{false, std::vector<uint8_t>(data, data + length)});
}

std::vector<SessionReceiver::Delivery> SessionReceiver::deliveries() const {
    std::lock_guard lock(mutex_);
    return deliveries_;
}

std::vector<uint8_t> SessionReceiver::bytes() const {
    std::lock_guard lock(mutex_);
    std::vector<uint8_t> all;
    for (const auto &d : deliveries_)
        all.insert(all.end(), d.bytes.begin(), d.bytes.end());
    return all;
}

size_t SessionReceiver::losses() const {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const auto &d : deliveries_)
        n += d.lost ? 1 : 0;
    return n;
}

void SessionReceiver::clear() {
    std::lock_guard lock(mutex_);
    deliveries_.clear();
}

}  // namespace hv::test
