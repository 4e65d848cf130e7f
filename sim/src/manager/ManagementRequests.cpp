// The management service's answer to each DEZ request.
#include <algorithm>
#include <cstring>

#include "vorasel/sim/ManagementService.h"

namespace hv::sim {

using namespace dez_status;

namespace {

// Message tags.
constexpr uint32_t kReset = 0xCC;
constexpr uint32_t kReadCounters = 0xCE;
constexpr uint32_t kResetCounters = 0xCF;
constexpr uint32_t kErrorCode = 0xD0;
constexpr uint32_t kGpioState = 0xD1;
constexpr uint32_t kPropertyValue = 0xD2;
constexpr uint32_t kCapabilities = 0xD3;
constexpr uint32_t kReadProperty = 0xDB;
constexpr uint32_t kGetCapabilities = 0xDE;
constexpr uint32_t kCounter = 0xE0;
constexpr uint32_t kGpioPins = 0xE1;
constexpr uint32_t kFirmwareImage = 0xE8;
constexpr uint32_t kReadGpio = 0xE9;
constexpr uint32_t kWriteGpio = 0xEA;
constexpr uint32_t kWriteProperty = 0xEB;
constexpr uint32_t kCounters = 0xF2;
// Field tags.
constexpr uint32_t kNumber = 0x02;
constexpr uint32_t kOctets = 0x04;
constexpr uint32_t kText = 0x0C;

ber::Node status(uint8_t code) {
    return ber::number(kErrorCode, code, 1);
}

// A number field of exactly `width` bytes.
std::optional<uint32_t> number(const ber::Element &e, size_t width) {
    if (e.tag != kNumber || e.value.size() != width) return std::nullopt;
    uint32_t v = 0;
    for (uint8_t b : e.value)
        v = v << 8 | b;
    return v;
}

// Characters followed by exactly one zero byte, the last.
std::optional<std::string> text(std::span<const uint8_t> value) {
    if (value.empty() || value.back() != 0) return std::nullopt;
    const auto chars = value.first(value.size() - 1);
    if (std::find(chars.begin(), chars.end(), 0) != chars.end()) return std::nullopt;
    return std::string(chars.begin(), chars.end());
}

std::optional<std::string> textField(const ber::Element &e) {
    if (e.tag != kText) return std::nullopt;
    return text(e.value);
}

struct Pins {
    uint8_t port;
    uint16_t mask;
};

std::optional<Pins> pins(const ber::Element &e) {
    if (e.tag != kGpioPins || e.children.size() != 2) return std::nullopt;
    auto port = number(e.children[0], 1);
    auto mask = number(e.children[1], 2);
    if (!port || !mask) return std::nullopt;
    return Pins{static_cast<uint8_t>(*port), static_cast<uint16_t>(*mask)};
}

}  // namespace

ManagementService::Answer ManagementService::answer(const DezFramer::Event &event) {
    if (event.kind == DezFramer::Event::Kind::Oversize) return {ber::encode(status(kTooLarge))};
    if (event.kind == DezFramer::Event::Kind::Invalid) return {ber::encode(status(kMalformed))};
    auto e = ber::parse(event.bytes);
    if (!e) return {ber::encode(status(kMalformed))};
    return request(*e);
}

ManagementService::Answer ManagementService::request(const ber::Element &e) {
    const bool empty = !e.constructed && e.value.empty();
    switch (e.tag) {
        case kReadCounters: {
            if (!empty) break;
            std::vector<ber::Node> list;
            std::lock_guard lock(mutex_);
            for (const auto &[name, value] : counters_)
                list.push_back(ber::constructed(
                    kCounter, {ber::string(kText, name), ber::number(kNumber, value, 4)}));
            return {ber::encode(ber::constructed(kCounters, std::move(list)))};
        }
        case kResetCounters: {
            if (!empty) break;
            std::lock_guard lock(mutex_);
            for (auto &c : counters_)
                c.second = 0;
            return {ber::encode(status(kOk))};
        }
        case kGetCapabilities: {
            if (!empty) break;
            std::lock_guard lock(mutex_);
            return {ber::encode(ber::number(kCapabilities, capabilities_, 4))};
        }
        case kReadGpio:
            return {ber::encode(readGpio(e))};
        case kWriteGpio:
            return {ber::encode(writeGpio(e))};
        case kReadProperty:
            return {ber::encode(readProperty(e))};
        case kWriteProperty:
            return {ber::encode(writeProperty(e))};
        case kFirmwareImage:
            return {ber::encode(firmwareImage(e))};
        case kReset:
            if (!empty) break;
            return {ber::encode(status(kOk)), true};
        default:
            return {ber::encode(status(kUnknownMessage))};
    }
    return {ber::encode(status(kMalformed))};
}

ber::Node ManagementService::readGpio(const ber::Element &e) {
    if (e.children.size() != 1) return status(kMalformed);
    auto p = pins(e.children[0]);
    if (!p) return status(kMalformed);
    std::lock_guard lock(mutex_);
    const GpioPort *port = portLocked(p->port);
    if (!port) return status(kBadPort);
    return ber::number(kGpioState, port->state & p->mask, 2);
}

ber::Node ManagementService::writeGpio(const ber::Element &e) {
    if (e.children.size() != 2) return status(kMalformed);
    auto p = pins(e.children[0]);
    auto state = number(e.children[1], 2);
    if (!p || !state) return status(kMalformed);
    std::lock_guard lock(mutex_);
    GpioPort *port = portLocked(p->port);
    if (!port) return status(kBadPort);
    if (p->mask & ~port->writable) return status(kNotPermitted);
    port->state = static_cast<uint16_t>((port->state & ~p->mask) | (*state & p->mask));
    return status(kOk);
}

ber::Node ManagementService::readProperty(const ber::Element &e) {
    if (e.constructed) return status(kMalformed);
    auto key = text(e.value);
    if (!key) return status(kMalformed);
    std::lock_guard lock(mutex_);
    auto it = properties_.find(*key);
    if (it == properties_.end()) return status(kUnknownKey);
    return ber::string(kPropertyValue, it->second);
}

ber::Node ManagementService::writeProperty(const ber::Element &e) {
    if (e.children.size() != 2) return status(kMalformed);
    auto key = textField(e.children[0]);
    auto value = textField(e.children[1]);
    if (!key || !value || key->empty()) return status(kMalformed);
    std::lock_guard lock(mutex_);
    if (config_.readOnlyProperties.count(*key)) return status(kNotPermitted);
    if (value->size() > config_.maxPropertyValue) return status(kNotPermitted);
    if (!properties_.count(*key) && properties_.size() >= config_.maxProperties)
        return status(kNotPermitted);
    properties_[*key] = *value;
    return status(kOk);
}

ber::Node ManagementService::firmwareImage(const ber::Element &e) {
    if (e.children.size() != 3) return status(kMalformed);
    auto size = number(e.children[0], 4);
    auto offset = number(e.children[1], 4);
    if (!size || !offset || e.children[2].tag != kOctets) return status(kMalformed);
    std::lock_guard lock(mutex_);
    switch (firmware_.accept(*size, *offset, e.children[2].value)) {
        case FirmwareReceiver::Result::Accepted:
            break;
        case FirmwareReceiver::Result::BadSize:
            return status(kFirmwareSize);
        case FirmwareReceiver::Result::BadOffset:
            return status(kFirmwareOffset);
        case FirmwareReceiver::Result::BadChunkLength:
            return status(kFirmwareChunk);
    }
    if (firmware_.complete()) {
        if (FirmwareReceiver::refused(firmware_.image())) {
            // Never installed: the case keeps the firmware it runs.
            firmware_.clear();
            return status(kFirmwareCorrupt);
        }
        pending_ = firmware_.image();
    }
    return status(kOk);
}

std::optional<std::string> ManagementService::resetLocked() {
    ++resets_;
    std::optional<std::string> revision;
    if (pending_) {
        revision = FirmwareReceiver::revisionOf(*pending_);
        if (revision) revision_ = *revision;
        installed_ = std::move(pending_);
        pending_.reset();
        countLocked("firmware_upgrades");
    }
    firmware_.clear();
    return revision;
}

}  // namespace hv::sim
