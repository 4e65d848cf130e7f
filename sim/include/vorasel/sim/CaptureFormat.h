// The file formats of USB captures: pcapng blocks, classic pcap records, and the Linux usbmon
// packet header that both carry for a USB bus (48 bytes for LINKTYPE_USB_LINUX, 64 for
// LINKTYPE_USB_LINUX_MMAPPED). Shared by the capture writer and the capture reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace hv::sim::capture {

// pcapng block types and the section's byte-order magic.
constexpr uint32_t kSectionHeaderBlock = 0x0A0D0D0A;
constexpr uint32_t kInterfaceDescriptionBlock = 0x00000001;
constexpr uint32_t kSimplePacketBlock = 0x00000003;
constexpr uint32_t kEnhancedPacketBlock = 0x00000006;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;

// pcapng option codes used here.
constexpr uint16_t kOptEnd = 0;
constexpr uint16_t kOptComment = 1;
constexpr uint16_t kShbUserApplication = 4;
constexpr uint16_t kIfName = 2;
constexpr uint16_t kIfDescription = 3;
constexpr uint16_t kIfTsResolution = 9;
constexpr uint16_t kEpbFlags = 2;
// epb_flags, bits 0-1: the packet's direction seen from the capturing host.
constexpr uint32_t kEpbInbound = 1;
constexpr uint32_t kEpbOutbound = 2;

// Classic pcap file magics (microsecond and nanosecond time stamps).
constexpr uint32_t kPcapMagicMicro = 0xA1B2C3D4;
constexpr uint32_t kPcapMagicNano = 0xA1B23C4D;

// Link types.
constexpr uint16_t kLinkUsbLinux = 189;         // 48-byte usbmon header
constexpr uint16_t kLinkUsbLinuxMmapped = 220;  // 64-byte usbmon header
constexpr uint16_t kLinkUser0 = 147;            // private use: our DEZ management frames

// usbmon.
constexpr size_t kUsbmonHeaderSize = 48;
constexpr size_t kUsbmonMmappedHeaderSize = 64;
constexpr uint8_t kUsbmonSubmit = 'S';
constexpr uint8_t kUsbmonComplete = 'C';
constexpr uint8_t kUsbmonError = 'E';
constexpr uint8_t kXferIsochronous = 0, kXferInterrupt = 1, kXferControl = 2, kXferBulk = 3;
constexpr int32_t kUsbStatusInProgress = -115;  // -EINPROGRESS: a submission

// One usbmon event. Fields are in the byte order of the capturing host, which is the byte
// order of the file section that holds them.
struct UsbmonHeader {
    uint64_t urbId = 0;
    uint8_t type = 0;      // 'S', 'C' or 'E'
    uint8_t transfer = 0;  // kXfer*
    uint8_t endpoint = 0;  // number, bit 7 set for IN
    uint8_t device = 0;
    uint16_t bus = 0;
    uint8_t flagSetup = '-';  // 0: setup bytes present
    uint8_t flagData = 0;     // 0: data present, else '<' or '>'
    int64_t seconds = 0;
    int32_t micros = 0;
    int32_t status = 0;
    uint32_t length = 0;    // bytes of the transfer (asked for, or done)
    uint32_t captured = 0;  // bytes that follow the header
    uint8_t setup[8] = {};
    int32_t interval = 0;
    int32_t startFrame = 0;
    uint32_t transferFlags = 0;
    uint32_t descriptors = 0;

    bool in() const { return (endpoint & 0x80) != 0; }
};

// Little-endian stores into a byte buffer that already has room.
inline void putLe16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void putLe32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void putLe64(uint8_t *p, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Loads in either byte order.
inline uint16_t load16(const uint8_t *p, bool bigEndian) {
    return bigEndian ? static_cast<uint16_t>(p[0] << 8 | p[1])
                     : static_cast<uint16_t>(p[1] << 8 | p[0]);
}
inline uint32_t load32(const uint8_t *p, bool bigEndian) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= static_cast<uint32_t>(p[bigEndian ? i : 3 - i]) << (8 * (3 - i));
    return v;
}
inline uint64_t load64(const uint8_t *p, bool bigEndian) {
    const uint64_t a = load32(p, bigEndian), b = load32(p + 4, bigEndian);
    return bigEndian ? (a << 32 | b) : (b << 32 | a);
}

// The usbmon header in little-endian order, into `out` (48 or 64 bytes as `mmapped` says).
void writeUsbmonHeader(uint8_t *out, const UsbmonHeader &h, bool mmapped);
// Reads a usbmon header from the start of `packet`; false when the packet is shorter than
// the header.
bool readUsbmonHeader(std::span<const uint8_t> packet, bool mmapped, bool bigEndian,
                      UsbmonHeader &h);

}  // namespace hv::sim::capture
