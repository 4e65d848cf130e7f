// How the accessory takes a firmware image in chunks: the first chunk (offset 0) announces
// the image size and starts an image; every following chunk must repeat that size, continue
// exactly where the last one ended and be a full chunk (only the last may be shorter). A
// refused chunk leaves the image in progress as it was.
//
// An image may name its firmware revision in a header (see FirmwareImage.h); one without it
// installs without changing the revision the accessory reports, and a complete image whose
// checked header is wrong (bad checksum, cut short) is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace hv::sim {

class FirmwareReceiver {
public:
    enum class Result : uint8_t { Accepted, BadSize, BadOffset, BadChunkLength };

    FirmwareReceiver(uint32_t maxImage, size_t chunkSize);

    Result accept(uint32_t imageSize, uint32_t offset, std::span<const uint8_t> chunk);

    bool complete() const { return size_ > 0 && image_.size() == size_; }
    uint32_t received() const { return static_cast<uint32_t>(image_.size()); }
    uint32_t imageSize() const { return size_; }
    const std::vector<uint8_t> &image() const { return image_; }
    void clear();

    static std::optional<std::string> revisionOf(std::span<const uint8_t> image);
    static bool refused(std::span<const uint8_t> image);
    // The older header ("HVFW", length byte, revision, payload), kept for images made before
    // the checksummed format.
    static std::vector<uint8_t> makeImage(std::string_view revision,
                                          std::span<const uint8_t> payload);

private:
    const uint32_t maxImage_;
    const size_t chunkSize_;
    uint32_t size_ = 0;
    std::vector<uint8_t> image_;
};

}  // namespace hv::sim
