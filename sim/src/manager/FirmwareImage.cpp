#include "vorasel/sim/FirmwareImage.h"

#include <algorithm>
#include <array>

namespace hv::sim {
namespace {

constexpr std::array<uint32_t, 256> makeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}

constexpr auto kCrcTable = makeCrcTable();
constexpr uint8_t kMagic[4] = {'H', 'V', 'F', 'W'};

bool printable(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

uint32_t be32(const uint8_t *p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

void putBe32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

}  // namespace

uint32_t crc32(std::span<const uint8_t> data) {
    uint32_t c = 0xFFFFFFFFu;
    for (uint8_t b : data)
        c = kCrcTable[(c ^ b) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

FirmwareImageInfo inspectFirmwareImage(std::span<const uint8_t> image) {
    using Fault = FirmwareImageInfo::Fault;
    FirmwareImageInfo info;
    if (image.size() < 4 || !std::equal(kMagic, kMagic + 4, image.begin())) {
        info.payloadLength = static_cast<uint32_t>(std::min<size_t>(image.size(), UINT32_MAX));
        return info;
    }
    if (image.size() < 5) {
        info.fault = Fault::Truncated;
        return info;
    }
    if (image[4] != 0) {
        // The older header: a length byte, the revision, then the payload.
        info.kind = FirmwareImageInfo::Kind::Legacy;
        const size_t n = image[4];
        if (n > kFirmwareRevisionMax) {
            info.fault = Fault::BadRevision;
            return info;
        }
        if (image.size() < 5 + n) {
            info.fault = Fault::Truncated;
            return info;
        }
        info.revision.assign(image.begin() + 5, image.begin() + 5 + static_cast<ptrdiff_t>(n));
        if (!printable(info.revision)) info.fault = Fault::BadRevision;
        info.payloadLength = static_cast<uint32_t>(image.size() - 5 - n);
        return info;
    }
    info.kind = FirmwareImageInfo::Kind::Format1;
    if (image.size() < 7) {
        info.fault = Fault::Truncated;
        return info;
    }
    info.format = image[5];
    if (info.format != kFirmwareImageFormat) {
        info.fault = Fault::UnknownFormat;
        return info;
    }
    const size_t n = image[6];
    if (n == 0 || n > kFirmwareRevisionMax) {
        info.fault = Fault::BadRevision;
        return info;
    }
    const size_t header = 7 + n + 8;
    if (image.size() < header) {
        info.fault = Fault::Truncated;
        return info;
    }
    info.revision.assign(image.begin() + 7, image.begin() + 7 + static_cast<ptrdiff_t>(n));
    if (!printable(info.revision)) {
        info.fault = Fault::BadRevision;
        return info;
    }
    info.payloadLength = be32(&image[7 + n]);
    info.storedCrc = be32(&image[11 + n]);
    const size_t body = image.size() - header;
    if (body < info.payloadLength) {
        info.fault = Fault::Truncated;
        return info;
    }
    if (body > info.payloadLength) {
        info.fault = Fault::TrailingBytes;
        return info;
    }
    info.actualCrc = crc32(image.subspan(header));
    if (info.actualCrc != info.storedCrc) info.fault = Fault::BadChecksum;
    return info;
}

bool buildFirmwareImage(std::string_view revision, std::span<const uint8_t> payload,
                        std::vector<uint8_t> &out) {
    if (revision.empty() || revision.size() > kFirmwareRevisionMax || !printable(revision) ||
        payload.size() >= UINT32_MAX - 128)
        return false;
    const size_t n = revision.size();
    std::vector<uint8_t> image(15 + n + payload.size());
    std::copy_n(kMagic, 4, image.begin());
    image[4] = 0;
    image[5] = kFirmwareImageFormat;
    image[6] = static_cast<uint8_t>(n);
    std::copy(revision.begin(), revision.end(), image.begin() + 7);
    putBe32(&image[7 + n], static_cast<uint32_t>(payload.size()));
    putBe32(&image[11 + n], crc32(payload));
    std::copy(payload.begin(), payload.end(), image.begin() + static_cast<ptrdiff_t>(15 + n));
    out = std::move(image);
    return true;
}

const char *firmwareImageFaultText(FirmwareImageInfo::Fault fault) {
    using Fault = FirmwareImageInfo::Fault;
    switch (fault) {
        case Fault::None:
            return "image is sound";
        case Fault::UnknownFormat:
            return "unknown image format";
        case Fault::BadRevision:
            return "revision is empty, longer than 64 characters or not printable";
        case Fault::Truncated:
            return "image is cut short";
        case Fault::TrailingBytes:
            return "image has bytes after its payload";
        case Fault::BadChecksum:
            return "payload checksum does not match: the image is corrupt";
    }
    return "unknown fault";
}

}  // namespace hv::sim
