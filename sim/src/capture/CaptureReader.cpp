#include "vorasel/sim/CaptureReader.h"

#include <algorithm>
#include <cstdio>

#include "vorasel/sim/CaptureFormat.h"

namespace hv::sim::capture {

namespace {

constexpr uint16_t kOptTsOffset = 14;

std::string hex32(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08X", v);
    return b;
}

int64_t clampToInt64(__int128 v) {
    constexpr __int128 lo = INT64_MIN, hi = INT64_MAX;
    return static_cast<int64_t>(std::clamp(v, lo, hi));
}

}  // namespace

bool CaptureReader::fail(uint64_t at, const std::string &message) {
    error_ = "offset " + std::to_string(at) + ": " + message;
    done_ = true;
    return false;
}

bool CaptureReader::readExact(uint8_t *buf, size_t n, uint64_t at, const char *what) {
    const size_t got = n ? std::fread(buf, 1, n, file_) : 0;
    position_ += got;
    if (got == n) return true;
    return fail(at, std::string("truncated ") + what + ": the file ends after " +
                        std::to_string(position_ - at) + " of its bytes");
}

bool CaptureReader::next(CapturedPacket &packet) {
    if (done_) return false;
    if (!started_ && !start()) return false;
    return pcapng_ ? nextPcapng(packet) : nextPcap(packet);
}

bool CaptureReader::start() {
    started_ = true;
    uint8_t magic[4];
    const size_t got = std::fread(magic, 1, 4, file_);
    position_ += got;
    if (got == 0) return fail(0, "empty file: not a capture");
    if (got < 4) return fail(0, "truncated: too short for a capture's header");
    const uint32_t le = load32(magic, false);
    if (le == kSectionHeaderBlock) {
        pcapng_ = true;
        return true;
    }
    if (le == kPcapMagicMicro || le == kPcapMagicNano) {
        bigEndian_ = false;
    } else if (load32(magic, true) == kPcapMagicMicro || load32(magic, true) == kPcapMagicNano) {
        bigEndian_ = true;
    } else {
        return fail(
            0, "not a pcap or pcapng capture (it starts with " + hex32(load32(magic, true)) + ")");
    }
    pcapNanos_ = load32(magic, bigEndian_) == kPcapMagicNano;
    uint8_t header[20];
    if (!readExact(header, sizeof header, 0, "pcap file header")) return false;
    if (load16(header, bigEndian_) != 2)
        return fail(4, "pcap version " + std::to_string(load16(header, bigEndian_)) + " is not 2");
    pcapLinkType_ = static_cast<uint16_t>(load32(header + 16, bigEndian_));
    return true;
}

bool CaptureReader::nextPcap(CapturedPacket &packet) {
    const uint64_t at = position_;
    uint8_t record[16];
    const size_t got = std::fread(record, 1, sizeof record, file_);
    position_ += got;
    if (got == 0) {
        done_ = true;
        return false;
    }
    if (got < sizeof record)
        return fail(at, "truncated record header: the file ends after " + std::to_string(got) +
                            " of its 16 bytes");
    const uint32_t captured = load32(record + 8, bigEndian_);
    if (captured > kMaxBlock)
        return fail(at, "record of " + std::to_string(captured) + " bytes exceeds the limit of " +
                            std::to_string(kMaxBlock));
    packet.offset = at;
    packet.interface = 0;
    packet.linkType = pcapLinkType_;
    packet.bigEndian = bigEndian_;
    packet.flags = 0;
    packet.originalLength = std::max(load32(record + 12, bigEndian_), captured);
    const int64_t fraction = load32(record + 4, bigEndian_);
    packet.timeNanos = clampToInt64(static_cast<__int128>(load32(record, bigEndian_)) * 1000000000 +
                                    fraction * (pcapNanos_ ? 1 : 1000));
    packet.data.resize(captured);
    return readExact(packet.data.data(), captured, at, "packet record");
}

bool CaptureReader::nextPcapng(CapturedPacket &packet) {
    for (;;) {
        const uint64_t at = position_;
        uint8_t head[12];
        // The section header's first four bytes were read to recognise the file.
        const bool first = at == 4 && interfaces_.empty() && block_.empty();
        const size_t skip = first ? 4 : 0;
        if (first) std::copy_n(reinterpret_cast<const uint8_t *>("\x0A\x0D\x0D\x0A"), 4, head);
        const size_t got = std::fread(head + skip, 1, 8 - skip, file_);
        position_ += got;
        const uint64_t start = at - skip;
        if (got == 0 && !first) {
            done_ = true;
            return false;
        }
        if (got < 8 - skip)
            return fail(start, "truncated block header: the file ends after " +
                                   std::to_string(got + skip) + " of its 8 bytes");
        const uint32_t typeLe = load32(head, false);
        if (typeLe == kSectionHeaderBlock) {
            if (!readExact(head + 8, 4, start, "section header")) return false;
            if (load32(head + 8, false) == kByteOrderMagic)
                bigEndian_ = false;
            else if (load32(head + 8, true) == kByteOrderMagic)
                bigEndian_ = true;
            else
                return fail(start + 8, "section header with a bad byte-order magic " +
                                           hex32(load32(head + 8, true)));
        } else if (first || block_.empty()) {
            return fail(start, "a pcapng file must start with a section header");
        }
        const uint32_t type = load32(head, bigEndian_);
        const uint32_t length = load32(head + 4, bigEndian_);
        const uint32_t minimum = type == kSectionHeaderBlock ? 28 : 12;
        if (length < minimum || length % 4 != 0 || length > kMaxBlock)
            return fail(start, "block " + hex32(type) + " has an impossible length of " +
                                   std::to_string(length) + " bytes");
        const size_t have = type == kSectionHeaderBlock ? 12 : 8;
        block_.resize(length);
        std::copy_n(head, have, block_.begin());
        const std::string what =
            "block " + hex32(type) + " of " + std::to_string(length) + " bytes";
        if (!readExact(block_.data() + have, length - have, start, what.c_str())) return false;
        if (load32(block_.data() + length - 4, bigEndian_) != length)
            return fail(start, what + ": its trailing length " +
                                   std::to_string(load32(block_.data() + length - 4, bigEndian_)) +
                                   " differs");
        switch (type) {
            case kSectionHeaderBlock:
                if (!sectionHeader(start)) return false;
                break;
            case kInterfaceDescriptionBlock:
                if (!interfaceDescription(start)) return false;
                break;
            case kEnhancedPacketBlock:
            case kSimplePacketBlock:
                return packetBlock(start, type, packet);
            default:
                break;  // statistics, name resolution, custom blocks: not needed
        }
    }
}

bool CaptureReader::sectionHeader(uint64_t at) {
    const uint16_t major = load16(block_.data() + 12, bigEndian_);
    if (major != 1) return fail(at, "pcapng version " + std::to_string(major) + " is not 1");
    interfaces_.clear();
    return true;
}

bool CaptureReader::interfaceDescription(uint64_t at) {
    if (block_.size() < 20) return fail(at, "interface description too short");
    if (interfaces_.size() >= 4096) return fail(at, "more than 4096 interfaces in a section");
    Interface i;
    i.linkType = load16(block_.data() + 8, bigEndian_);
    i.snapLength = load32(block_.data() + 12, bigEndian_);
    const size_t end = block_.size() - 4;
    for (size_t p = 16; p + 4 <= end;) {
        const uint16_t code = load16(block_.data() + p, bigEndian_);
        const uint16_t size = load16(block_.data() + p + 2, bigEndian_);
        if (code == kOptEnd) break;
        if (p + 4 + size > end)
            return fail(at + p, "interface option " + std::to_string(code) + " overruns its block");
        const uint8_t *value = block_.data() + p + 4;
        if (code == kIfTsResolution && size == 1) i.resolution = value[0];
        if (code == kOptTsOffset && size == 8)
            i.offsetSeconds = static_cast<int64_t>(load64(value, bigEndian_));
        p += 4 + ((size + 3u) & ~3u);
    }
    interfaces_.push_back(i);
    return true;
}

int64_t CaptureReader::nanos(const Interface &i, uint64_t stamp) const {
    __int128 ns;
    const unsigned n = i.resolution & 0x7F;
    if (i.resolution & 0x80) {
        ns = n > 63 ? 0
                    : static_cast<__int128>(stamp) * 1000000000 / (static_cast<__int128>(1) << n);
    } else if (n <= 9) {
        __int128 scale = 1;
        for (unsigned k = n; k < 9; ++k)
            scale *= 10;
        ns = static_cast<__int128>(stamp) * scale;
    } else {
        __int128 scale = 1;
        for (unsigned k = 9; k < n && k < 40; ++k)
            scale *= 10;
        ns = n >= 40 ? 0 : static_cast<__int128>(stamp) / scale;
    }
    return clampToInt64(ns + static_cast<__int128>(i.offsetSeconds) * 1000000000);
}

bool CaptureReader::packetBlock(uint64_t at, uint32_t type, CapturedPacket &packet) {
    const size_t end = block_.size() - 4;
    const bool enhanced = type == kEnhancedPacketBlock;
    if (end < (enhanced ? 28u : 12u)) return fail(at, "packet block too short");
    const uint32_t interface = enhanced ? load32(block_.data() + 8, bigEndian_) : 0;
    if (interface >= interfaces_.size())
        return fail(at, "packet block on interface " + std::to_string(interface) + ", but " +
                            std::to_string(interfaces_.size()) + " described");
    const Interface &i = interfaces_[interface];
    uint32_t captured, original;
    size_t dataAt;
    if (enhanced) {
        captured = load32(block_.data() + 20, bigEndian_);
        original = load32(block_.data() + 24, bigEndian_);
        dataAt = 28;
        if (captured > end - dataAt)
            return fail(at, "captured length " + std::to_string(captured) +
                                " overruns its block of " + std::to_string(block_.size()) +
                                " bytes");
    } else {
        original = load32(block_.data() + 8, bigEndian_);
        dataAt = 12;
        captured = static_cast<uint32_t>(std::min<size_t>(original, end - dataAt));
        if (i.snapLength) captured = std::min(captured, i.snapLength);
    }
    packet.offset = at;
    packet.interface = interface;
    packet.linkType = i.linkType;
    packet.bigEndian = bigEndian_;
    packet.originalLength = std::max(original, captured);
    packet.timeNanos =
        enhanced ? nanos(i, static_cast<uint64_t>(load32(block_.data() + 12, bigEndian_)) << 32 |
                                load32(block_.data() + 16, bigEndian_))
                 : 0;
    packet.flags = 0;
    packet.data.assign(block_.begin() + static_cast<ptrdiff_t>(dataAt),
                       block_.begin() + static_cast<ptrdiff_t>(dataAt + captured));
    if (!enhanced) return true;
    for (size_t p = dataAt + ((captured + 3u) & ~3u); p + 4 <= end;) {
        const uint16_t code = load16(block_.data() + p, bigEndian_);
        const uint16_t size = load16(block_.data() + p + 2, bigEndian_);
        if (code == kOptEnd) break;
        if (p + 4 + size > end)
            return fail(at + p, "packet option " + std::to_string(code) + " overruns its block");
        if (code == kEpbFlags && size == 4)
            packet.flags = load32(block_.data() + p + 4, bigEndian_);
        p += 4 + ((size + 3u) & ~3u);
    }
    return true;
}

}  // namespace hv::sim::capture
