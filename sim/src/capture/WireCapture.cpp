#include "vorasel/sim/WireCapture.h"

#include <array>
#include <chrono>

#include "CcidDescriptors.h"
#include "PcapngWriter.h"
#include "vorasel/sim/CaptureFormat.h"

namespace hv::sim {

using namespace capture;

namespace {

constexpr uint32_t kDezInterface = 1;

uint64_t wallClockMicros() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

// A standard GET_DESCRIPTOR request for `type`, asking for `length` bytes.
std::array<uint8_t, 8> getDescriptor(uint8_t type, uint16_t length) {
    return {0x80,
            0x06,
            0x00,
            type,
            0x00,
            0x00,
            static_cast<uint8_t>(length),
            static_cast<uint8_t>(length >> 8)};
}

}  // namespace

WireCapture::WireCapture(const CaptureDevice &device)
    : device_(device),
      writer_(std::make_unique<PcapngWriter>()),
      // Kernel-looking URB addresses; only their pairing of submission and completion counts.
      nextUrb_(0xffff888000000000ull) {}

WireCapture::~WireCapture() = default;

std::shared_ptr<WireCapture> WireCapture::create(const std::string &path, uint64_t limitBytes,
                                                 const CaptureDevice &device, std::string &error) {
    std::shared_ptr<WireCapture> c(new WireCapture(device));
    if (!c->writer_->open(path, limitBytes, error)) return nullptr;
    const bool described =
        c->writer_->addInterface(kLinkUsbLinuxMmapped, "usbmon1", "Vorasel case: CCID reader") ==
            PcapngWriter::Result::Written &&
        c->writer_->addInterface(kLinkUser0, "vorasel-dez",
                                 "Vorasel case: DEZ management frames") ==
            PcapngWriter::Result::Written;
    if (!described || !c->enumerate()) {
        error = c->writer_->limitReached() ? "the capture limit (" + std::to_string(limitBytes) +
                                                 " bytes) leaves no room for the capture's header"
                                           : c->writer_->error();
        return nullptr;
    }
    c->stats_.bytes = c->writer_->size();
    return c;
}

bool WireCapture::usb(uint64_t time, uint64_t urb, uint8_t type, uint8_t transfer, uint8_t endpoint,
                      std::span<const uint8_t> setup, uint32_t length,
                      std::span<const uint8_t> data) {
    UsbmonHeader h;
    h.urbId = urb;
    h.type = type;
    h.transfer = transfer;
    h.endpoint = endpoint;
    h.device = kDevice;
    h.bus = kBus;
    h.flagSetup = setup.empty() ? '-' : 0;
    h.flagData = !data.empty() ? 0 : (endpoint & 0x80) ? '<' : '>';
    h.seconds = static_cast<int64_t>(time / 1000000);
    h.micros = static_cast<int32_t>(time % 1000000);
    h.status = type == kUsbmonSubmit ? kUsbStatusInProgress : 0;
    h.length = length;
    h.captured = static_cast<uint32_t>(data.size());
    std::copy(setup.begin(), setup.end(), h.setup);
    if (transfer == kXferInterrupt) h.interval = 16;
    uint8_t head[kUsbmonMmappedHeaderSize];
    writeUsbmonHeader(head, h, true);
    return writer_->packet(0, time, head, data) == PcapngWriter::Result::Written;
}

// Host to device: the data go with the submission. Device to host: the host's read is
// submitted for a whole message and completes with the data.
bool WireCapture::transfer(uint64_t time, uint8_t xfer, uint8_t endpoint,
                           std::span<const uint8_t> data) {
    const uint64_t urb = nextUrb_;
    nextUrb_ += 0x100;
    const auto n = static_cast<uint32_t>(data.size());
    if (endpoint & 0x80) {
        const uint32_t asked = xfer == kXferInterrupt ? 8 : device_.maxMessageLength;
        return usb(time, urb, kUsbmonSubmit, xfer, endpoint, {}, std::max(asked, n), {}) &&
               usb(time, urb, kUsbmonComplete, xfer, endpoint, {}, n, data);
    }
    return usb(time, urb, kUsbmonSubmit, xfer, endpoint, {}, n, data) &&
           usb(time, urb, kUsbmonComplete, xfer, endpoint, {}, n, {});
}

bool WireCapture::enumerate() {
    const uint64_t time = wallClockMicros();
    const auto device = deviceDescriptor();
    const auto configuration = configurationDescriptor(device_);
    for (const auto *d : {&device, &configuration}) {
        const auto setup = getDescriptor((*d)[1], static_cast<uint16_t>(d->size()));
        const uint64_t urb = nextUrb_;
        nextUrb_ += 0x100;
        if (!usb(time, urb, kUsbmonSubmit, kXferControl, 0x80, setup,
                 static_cast<uint32_t>(d->size()), {}) ||
            !usb(time, urb, kUsbmonComplete, kXferControl, 0x80, {},
                 static_cast<uint32_t>(d->size()), *d))
            return false;
    }
    // SET_CONFIGURATION 1.
    const uint8_t setConfiguration[8] = {0x00, 0x09, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
    const uint64_t urb = nextUrb_;
    nextUrb_ += 0x100;
    return usb(time, urb, kUsbmonSubmit, kXferControl, 0x00, setConfiguration, 0, {}) &&
           usb(time, urb, kUsbmonComplete, kXferControl, 0x00, {}, 0, {});
}

void WireCapture::message(std::string_view protocol, Direction direction,
                          std::span<const uint8_t> bytes) {
    const bool toDevice = direction == Direction::Received;
    std::lock_guard lock(mutex_);
    // The time is taken under the lock, so that the file is in time order.
    const uint64_t time = wallClockMicros();
    bool written;
    if (protocolIs(protocol, "ccidbulk")) {
        written = transfer(time, kXferBulk, toDevice ? kBulkOut : kBulkIn, bytes);
    } else if (protocolIs(protocol, "ccidinterrupt")) {
        if (toDevice) return;  // the interrupt pipe carries nothing from the host
        written = transfer(time, kXferInterrupt, kInterruptIn, bytes);
    } else if (protocolIs(protocol, "manager")) {
        written =
            writer_->packet(kDezInterface, time, {}, bytes,
                            toDevice ? kEpbOutbound : kEpbInbound) == PcapngWriter::Result::Written;
    } else {
        return;
    }
    count(written);
}

void WireCapture::count(bool written) {
    if (written)
        ++stats_.messages;
    else
        ++stats_.dropped;
    stats_.bytes = writer_->size();
    stats_.limitReached = writer_->limitReached();
    stats_.error = writer_->error();
}

WireCapture::Stats WireCapture::stats() const {
    std::lock_guard lock(mutex_);
    return stats_;
}

}  // namespace hv::sim
