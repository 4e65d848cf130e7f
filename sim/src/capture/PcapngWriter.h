// Writes a pcapng file block by block, each block with one write, so that what is on disk is
// always whole blocks, whatever happens to the process. Stops for good before the block that
// would take the file past its size limit. Not thread-safe: the owner serialises calls.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace hv::sim::capture {

class PcapngWriter {
public:
    enum class Result { Written, LimitReached, Failed };

    PcapngWriter() = default;
    ~PcapngWriter();
    PcapngWriter(const PcapngWriter &) = delete;
    PcapngWriter &operator=(const PcapngWriter &) = delete;

    // Creates (or empties) the file, readable by its owner only (captures carry APDUs), and
    // writes the section header. False with a reason.
    bool open(const std::string &path, uint64_t limitBytes, std::string &error);
    // Describes interface number `interfaces()` (0, 1, ...).
    Result addInterface(uint16_t linkType, std::string_view name, std::string_view description);
    // One enhanced packet block: `head` then `data`; `flags` 0 writes no epb_flags option.
    Result packet(uint32_t interface, uint64_t timeMicros, std::span<const uint8_t> head,
                  std::span<const uint8_t> data, uint32_t flags = 0);

    uint32_t interfaces() const { return interfaces_; }
    uint64_t size() const { return size_; }
    bool limitReached() const { return limitReached_; }
    const std::string &error() const { return error_; }

private:
    void begin(uint32_t type);
    void option(uint16_t code, std::span<const uint8_t> value);
    void option(uint16_t code, std::string_view text);
    Result finish();  // closes the block in block_ and writes it

    int fd_ = -1;
    uint64_t limit_ = 0;
    uint64_t size_ = 0;
    uint32_t interfaces_ = 0;
    bool limitReached_ = false;
    bool hasOptions_ = false;
    std::string error_;
    std::vector<uint8_t> block_;  // the block being built, reused
};

}  // namespace hv::sim::capture
