#include <algorithm>

#include "vorasel/sim/CaptureFormat.h"

namespace hv::sim::capture {

// Layout (both sizes): 0 id, 8 type, 9 transfer, 10 endpoint, 11 device, 12 bus, 14 setup
// flag, 15 data flag, 16 seconds, 24 microseconds, 28 status, 32 length, 36 captured, 40 setup
// bytes (or isochronous error count and descriptor count); the mmapped form adds 48 interval,
// 52 start frame, 56 transfer flags, 60 descriptor count.
void writeUsbmonHeader(uint8_t *out, const UsbmonHeader &h, bool mmapped) {
    std::fill(out, out + (mmapped ? kUsbmonMmappedHeaderSize : kUsbmonHeaderSize), uint8_t{0});
    putLe64(out, h.urbId);
    out[8] = h.type;
    out[9] = h.transfer;
    out[10] = h.endpoint;
    out[11] = h.device;
    putLe16(out + 12, h.bus);
    out[14] = h.flagSetup;
    out[15] = h.flagData;
    putLe64(out + 16, static_cast<uint64_t>(h.seconds));
    putLe32(out + 24, static_cast<uint32_t>(h.micros));
    putLe32(out + 28, static_cast<uint32_t>(h.status));
    putLe32(out + 32, h.length);
    putLe32(out + 36, h.captured);
    std::copy(std::begin(h.setup), std::end(h.setup), out + 40);
    if (!mmapped) return;
    putLe32(out + 48, static_cast<uint32_t>(h.interval));
    putLe32(out + 52, static_cast<uint32_t>(h.startFrame));
    putLe32(out + 56, h.transferFlags);
    putLe32(out + 60, h.descriptors);
}

bool readUsbmonHeader(std::span<const uint8_t> p, bool mmapped, bool bigEndian, UsbmonHeader &h) {
    if (p.size() < (mmapped ? kUsbmonMmappedHeaderSize : kUsbmonHeaderSize)) return false;
    const uint8_t *b = p.data();
    h.urbId = load64(b, bigEndian);
    h.type = b[8];
    h.transfer = b[9];
    h.endpoint = b[10];
    h.device = b[11];
    h.bus = load16(b + 12, bigEndian);
    h.flagSetup = b[14];
    h.flagData = b[15];
    h.seconds = static_cast<int64_t>(load64(b + 16, bigEndian));
    h.micros = static_cast<int32_t>(load32(b + 24, bigEndian));
    h.status = static_cast<int32_t>(load32(b + 28, bigEndian));
    h.length = load32(b + 32, bigEndian);
    h.captured = load32(b + 36, bigEndian);
    std::copy(b + 40, b + 48, h.setup);
    if (mmapped) {
        h.interval = static_cast<int32_t>(load32(b + 48, bigEndian));
        h.startFrame = static_cast<int32_t>(load32(b + 52, bigEndian));
        h.transferFlags = load32(b + 56, bigEndian);
        h.descriptors = load32(b + 60, bigEndian);
    }
    return true;
}

}  // namespace hv::sim::capture
