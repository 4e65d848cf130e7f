// A capture of the case's wire in a file Wireshark reads: pcapng with the CCID traffic as a
// Linux usbmon capture of a USB CCID reader (interface 0) and the DEZ management frames as
// private-use packets (interface 1, LINKTYPE_USER0, direction in epb_flags).
//
// The file opens with a synthetic enumeration (GET_DESCRIPTOR of the device and of the
// configuration: one interface of class 0x0B with its CCID class descriptor, bulk-out 0x01,
// bulk-in 0x82, interrupt-in 0x83) so that a dissector finds the reader's endpoints on its
// own. Each message becomes a submission and a completion, with the wall-clock time it crossed
// the case's side of the wire. A message leaves for the disk as it is recorded, one write per
// block; memory use stays the size of one block. The file stops growing before the block that
// would take it past its limit, and what it holds stays readable.
//
// The bytes go as they were on the wire: a capture carries APDUs, PINs included, as any USB
// capture does, so the file is created readable by its owner only.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "vorasel/sim/WireRecorder.h"

namespace hv::sim {

namespace capture {
class PcapngWriter;
}

// What the enumeration tells of the reader.
struct CaptureDevice {
    uint32_t maxMessageLength = 270;  // dwMaxCCIDMessageLength
    uint8_t voltageSupport = 0x03;    // bVoltageSupport
};

class WireCapture final : public WireTap {
public:
    static constexpr uint64_t kDefaultLimit = 64ull << 20;
    // USB addresses the capture gives the reader.
    static constexpr uint16_t kBus = 1;
    static constexpr uint8_t kDevice = 2;
    static constexpr uint8_t kBulkOut = 0x01, kBulkIn = 0x82, kInterruptIn = 0x83;

    struct Stats {
        uint64_t bytes = 0;     // file size
        uint64_t messages = 0;  // messages written
        uint64_t dropped = 0;   // messages past the limit or after a write error
        bool limitReached = false;
        std::string error;  // a write that failed
    };

    // Creates the file and writes its header and the enumeration. Null, with `error` set,
    // when the file cannot be created or the limit does not leave room for the header.
    static std::shared_ptr<WireCapture> create(const std::string &path, uint64_t limitBytes,
                                               const CaptureDevice &device, std::string &error);
    ~WireCapture() override;

    void message(std::string_view protocol, Direction direction,
                 std::span<const uint8_t> bytes) override;
    Stats stats() const;

private:
    explicit WireCapture(const CaptureDevice &device);
    bool enumerate();
    // One usbmon event: submission or completion of the URB `urb`.
    bool usb(uint64_t time, uint64_t urb, uint8_t type, uint8_t transfer, uint8_t endpoint,
             std::span<const uint8_t> setup, uint32_t length, std::span<const uint8_t> data);
    bool transfer(uint64_t time, uint8_t transfer, uint8_t endpoint, std::span<const uint8_t> data);
    void count(bool written);

    const CaptureDevice device_;
    mutable std::mutex mutex_;
    std::unique_ptr<capture::PcapngWriter> writer_;
    uint64_t nextUrb_;
    Stats stats_;
};

}  // namespace hv::sim
