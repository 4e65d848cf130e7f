// Firmware image headers: any bytes are inspected without reading past them, a sound image's
// fields agree with its size and checksum, and rebuilding a sound image gives it back.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "vorasel/sim/FirmwareImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using hv::sim::FirmwareImageInfo;
    const std::span<const uint8_t> image(data, size);
    const FirmwareImageInfo info = hv::sim::inspectFirmwareImage(image);
    if (info.kind != FirmwareImageInfo::Kind::Format1 || !info.ok()) return 0;
    const size_t header = 15 + info.revision.size();
    if (header + info.payloadLength != size) std::abort();
    if (hv::sim::crc32(image.subspan(header)) != info.storedCrc) std::abort();
    std::vector<uint8_t> rebuilt;
    if (!hv::sim::buildFirmwareImage(info.revision, image.subspan(header), rebuilt)) std::abort();
    if (rebuilt != std::vector<uint8_t>(data, data + size)) std::abort();
    return 0;
}
