#include "vorasel/sim/FirmwareReceiver.h"

#include <algorithm>

#include "vorasel/sim/FirmwareImage.h"

namespace hv::sim {

FirmwareReceiver::FirmwareReceiver(uint32_t maxImage, size_t chunkSize)
    : maxImage_(maxImage), chunkSize_(chunkSize ? chunkSize : 1) {}

void FirmwareReceiver::clear() {
    size_ = 0;
    image_.clear();
    image_.shrink_to_fit();
}

FirmwareReceiver::Result FirmwareReceiver::accept(uint32_t imageSize, uint32_t offset,
                                                  std::span<const uint8_t> chunk) {
    if (imageSize == 0 || imageSize > maxImage_) return Result::BadSize;
    if (offset == 0) {
        // A new image; whatever was in progress is abandoned.
        const size_t expected = std::min<size_t>(chunkSize_, imageSize);
        if (chunk.size() != expected) return Result::BadChunkLength;
        size_ = imageSize;
        image_.clear();
        image_.reserve(imageSize);
        image_.assign(chunk.begin(), chunk.end());
        return Result::Accepted;
    }
    if (size_ == 0 || imageSize != size_) return Result::BadSize;
    if (offset != image_.size()) return Result::BadOffset;
    const size_t expected = std::min<size_t>(chunkSize_, size_ - image_.size());
    if (chunk.empty() || chunk.size() != expected) return Result::BadChunkLength;
    image_.insert(image_.end(), chunk.begin(), chunk.end());
    return Result::Accepted;
}

std::optional<std::string> FirmwareReceiver::revisionOf(std::span<const uint8_t> image) {
    const auto info = inspectFirmwareImage(image);
    if (!info.ok() || info.kind == FirmwareImageInfo::Kind::Raw) return {};
    return info.revision;
}

bool FirmwareReceiver::refused(std::span<const uint8_t> image) {
    // A raw image, or the older header that carries no checksum, cannot be found corrupt.
    const auto info = inspectFirmwareImage(image);
    return info.kind == FirmwareImageInfo::Kind::Format1 && !info.ok();
}

std::vector<uint8_t> FirmwareReceiver::makeImage(std::string_view revision,
                                                 std::span<const uint8_t> payload) {
    std::vector<uint8_t> image(5 + revision.size() + payload.size());
    std::copy_n("HVFW", 4, image.begin());
    image[4] = static_cast<uint8_t>(revision.size());
    std::copy(revision.begin(), revision.end(), image.begin() + 5);
    std::copy(payload.begin(), payload.end(),
              image.begin() + 5 + static_cast<ptrdiff_t>(revision.size()));
    return image;
}

}  // namespace hv::sim
