// Reads packet captures: pcapng (any number of sections and interfaces, either byte order,
// enhanced and simple packet blocks; other blocks are skipped) and classic pcap (either byte
// order, micro- or nanosecond time stamps). The file is untrusted: every length is checked
// before anything is read or allocated, no block may exceed kMaxBlock, and a file that ends
// inside a block or holds a malformed one ends the reading with an error naming the offset.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace hv::sim::capture {

struct CapturedPacket {
    uint64_t offset = 0;  // where the packet's block or record starts in the file
    uint32_t interface = 0;
    uint16_t linkType = 0;
    bool bigEndian = false;       // byte order of the section that holds it
    int64_t timeNanos = 0;        // since the epoch; 0 for a simple packet block
    uint32_t originalLength = 0;  // on the wire; data may hold fewer
    uint32_t flags = 0;           // epb_flags, 0 when absent
    std::vector<uint8_t> data;
};

class CaptureReader {
public:
    static constexpr uint32_t kMaxBlock = 16u << 20;

    // Reads from `file` (not owned), from its current position.
    explicit CaptureReader(FILE *file) : file_(file) {}

    // The next packet. False at the end of the capture, or on an error (error() not empty).
    bool next(CapturedPacket &packet);
    const std::string &error() const { return error_; }

private:
    struct Interface {
        uint16_t linkType = 0;
        uint32_t snapLength = 0;
        uint8_t resolution = 6;  // bit 7 set: 2^-n seconds, else 10^-n
        int64_t offsetSeconds = 0;
    };

    bool start();
    bool nextPcap(CapturedPacket &packet);
    bool nextPcapng(CapturedPacket &packet);
    bool sectionHeader(uint64_t at);
    bool interfaceDescription(uint64_t at);
    bool packetBlock(uint64_t at, uint32_t type, CapturedPacket &packet);
    // Reads exactly n bytes into buf; false (and an error about `what` at `at`) when the file
    // ends first.
    bool readExact(uint8_t *buf, size_t n, uint64_t at, const char *what);
    bool fail(uint64_t at, const std::string &message);
    int64_t nanos(const Interface &i, uint64_t stamp) const;

    FILE *file_;
    uint64_t position_ = 0;
    bool started_ = false, pcapng_ = false, done_ = false;
    bool bigEndian_ = false;
    bool pcapNanos_ = false;
    uint16_t pcapLinkType_ = 0;
    std::vector<Interface> interfaces_;
    std::vector<uint8_t> block_;
    std::string error_;
};

}  // namespace hv::sim::capture
