// Firmware image files as the simulated case understands them.
//
// Format 1 (written by `vorasel firmware-image build`), numbers big-endian:
//   "HVFW" 00 01 n revision(n: 1..64 printable ASCII) length(4) crc32(4) payload(length)
// The CRC-32 is the one of zlib and PNG (reflected 0xEDB88320, init and final xor ~0) over the
// payload. The zero byte after the magic tells it from the older header, "HVFW" n revision
// payload, which carries no checksum and is still installed. An image that does not start
// with "HVFW" is a raw payload: installed, and the case keeps the revision it had.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace hv::sim {

constexpr uint8_t kFirmwareImageFormat = 1;
constexpr size_t kFirmwareRevisionMax = 64;

struct FirmwareImageInfo {
    enum class Kind : uint8_t { Raw, Legacy, Format1 };
    enum class Fault : uint8_t {
        None,
        UnknownFormat,  // "HVFW" with a format this build does not know
        BadRevision,    // empty, too long or not printable
        Truncated,      // shorter than its header or its stated payload
        TrailingBytes,  // longer than its stated payload
        BadChecksum,
    };
    Kind kind = Kind::Raw;
    Fault fault = Fault::None;
    uint8_t format = 0;
    std::string revision;  // empty for a raw image
    uint32_t payloadLength = 0;
    uint32_t storedCrc = 0;
    uint32_t actualCrc = 0;

    bool ok() const { return fault == Fault::None; }
};

uint32_t crc32(std::span<const uint8_t> data);

// Reads an image's header and checks its checksum. Never reads past `image`.
FirmwareImageInfo inspectFirmwareImage(std::span<const uint8_t> image);

// A format 1 image; false (and nothing built) when the revision is unusable or the payload is
// 4 GiB or more.
bool buildFirmwareImage(std::string_view revision, std::span<const uint8_t> payload,
                        std::vector<uint8_t> &out);

// One line for a person: what is wrong with the image.
const char *firmwareImageFaultText(FirmwareImageInfo::Fault fault);

}  // namespace hv::sim
