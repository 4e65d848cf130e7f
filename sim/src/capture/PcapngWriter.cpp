#include "PcapngWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "vorasel/sim/CaptureFormat.h"

namespace hv::sim::capture {

namespace {

void append32(std::vector<uint8_t> &b, uint32_t v) {
    const size_t at = b.size();
    b.resize(at + 4);
    putLe32(b.data() + at, v);
}

void pad4(std::vector<uint8_t> &b) {
    while (b.size() % 4)
        b.push_back(0);
}

}  // namespace

PcapngWriter::~PcapngWriter() {
    if (fd_ >= 0) ::close(fd_);
}

bool PcapngWriter::open(const std::string &path, uint64_t limitBytes, std::string &error) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    limit_ = limitBytes;
    begin(kSectionHeaderBlock);
    append32(block_, kByteOrderMagic);
    block_.insert(block_.end(), {1, 0, 0, 0});  // version 1.0
    block_.insert(block_.end(), 8, 0xFF);       // section length unknown
    option(kShbUserApplication, std::string_view("vorasel"));
    if (finish() != Result::Written) {
        error = limitReached_ ? "the capture limit is smaller than the capture's header" : error_;
        return false;
    }
    return true;
}

PcapngWriter::Result PcapngWriter::addInterface(uint16_t linkType, std::string_view name,
                                                std::string_view description) {
    begin(kInterfaceDescriptionBlock);
    append32(block_, linkType);  // link type, then two reserved bytes
    append32(block_, 0);         // no snapshot length limit
    option(kIfName, name);
    option(kIfDescription, description);
    const uint8_t micros = 6;
    option(kIfTsResolution, std::span(&micros, 1));
    const Result r = finish();
    if (r == Result::Written) ++interfaces_;
    return r;
}

PcapngWriter::Result PcapngWriter::packet(uint32_t interface, uint64_t timeMicros,
                                          std::span<const uint8_t> head,
                                          std::span<const uint8_t> data, uint32_t flags) {
    const auto length = static_cast<uint32_t>(head.size() + data.size());
    begin(kEnhancedPacketBlock);
    append32(block_, interface);
    append32(block_, static_cast<uint32_t>(timeMicros >> 32));
    append32(block_, static_cast<uint32_t>(timeMicros));
    append32(block_, length);  // captured
    append32(block_, length);  // on the wire
    block_.insert(block_.end(), head.begin(), head.end());
    block_.insert(block_.end(), data.begin(), data.end());
    pad4(block_);
    if (flags) {
        uint8_t value[4];
        putLe32(value, flags);
        option(kEpbFlags, value);
    }
    return finish();
}

void PcapngWriter::begin(uint32_t type) {
    block_.clear();
    append32(block_, type);
    append32(block_, 0);  // total length, set by finish()
    hasOptions_ = false;
}

void PcapngWriter::option(uint16_t code, std::span<const uint8_t> value) {
    hasOptions_ = true;
    const size_t at = block_.size();
    block_.resize(at + 4);
    putLe16(block_.data() + at, code);
    putLe16(block_.data() + at + 2, static_cast<uint16_t>(value.size()));
    block_.insert(block_.end(), value.begin(), value.end());
    pad4(block_);
}

void PcapngWriter::option(uint16_t code, std::string_view text) {
    option(code, std::span(reinterpret_cast<const uint8_t *>(text.data()), text.size()));
}

PcapngWriter::Result PcapngWriter::finish() {
    if (fd_ < 0 || limitReached_) return limitReached_ ? Result::LimitReached : Result::Failed;
    // Options end with opt_endofopt when there are any; the block closes with its length.
    if (hasOptions_) append32(block_, 0);
    const auto total = static_cast<uint32_t>(block_.size() + 4);
    append32(block_, total);
    putLe32(block_.data() + 4, total);
    if (size_ + total > limit_) {
        limitReached_ = true;
        return Result::LimitReached;
    }
    const uint8_t *p = block_.data();
    size_t left = block_.size();
    while (left > 0) {
        const ssize_t n = ::write(fd_, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error_ = std::string("capture write failed: ") + std::strerror(n < 0 ? errno : EIO);
            ::close(fd_);
            fd_ = -1;
            return Result::Failed;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    size_ += total;
    return Result::Written;
}

}  // namespace hv::sim::capture
