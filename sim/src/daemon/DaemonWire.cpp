#include "vorasel/sim/DaemonWire.h"

#include <algorithm>
#include <cstring>

namespace hv::sim {

namespace {

// Words separated by single spaces; empty words (two spaces, a leading or trailing one) are
// refused rather than guessed at.
bool splitWords(std::string_view text, std::vector<std::string> &out) {
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(' ', start);
        const std::string_view word = text.substr(start, at - start);
        if (word.empty()) return false;
        out.emplace_back(word);
        if (at == std::string_view::npos) return true;
        start = at + 1;
    }
}

}  // namespace

Hello parseHello(std::string_view line) {
    Hello h;
    // Control characters have no place in a first line: a stray "\r" or NUL is refused.
    if (std::any_of(line.begin(), line.end(), [](char c) { return uint8_t(c) < 0x20; })) return h;
    if (line == "CONTROL") {
        h.kind = Hello::Kind::Control;
    } else if (line.starts_with("SESSION ")) {
        std::vector<std::string> words;
        if (!splitWords(line.substr(8), words) || words.size() != 2) return h;
        h.kind = Hello::Kind::Session;
        h.accessoryId = std::move(words[0]);
        h.protocol = std::move(words[1]);
    } else if (line == "COMMAND") {
        h.kind = Hello::Kind::Command;
    } else if (line.starts_with("COMMAND ")) {
        if (!splitWords(line.substr(8), h.words)) {
            h.words.clear();
            return h;
        }
        h.kind = Hello::Kind::Command;
    }
    return h;
}

FrameReader::Status FrameReader::next(std::span<const uint8_t> &in) {
    if (broken_) return Status::TooLong;
    if (headerHave_ == kHeaderSize && have_ == length_) {
        headerHave_ = 0;  // the previous frame was handed out
        have_ = 0;
        length_ = 0;
    }
    if (headerHave_ < kHeaderSize) {
        const size_t n = std::min(in.size(), kHeaderSize - headerHave_);
        std::memcpy(header_ + headerHave_, in.data(), n);
        headerHave_ += n;
        in = in.subspan(n);
        if (headerHave_ < kHeaderSize) return Status::More;
        length_ = (uint32_t{header_[1]} << 24) | (uint32_t{header_[2]} << 16) |
                  (uint32_t{header_[3]} << 8) | header_[4];
        if (length_ > maxPayload_) {
            broken_ = true;
            length_ = 0;
            return Status::TooLong;
        }
        if (payload_.size() < length_) payload_.resize(length_);
    }
    const size_t n = std::min(in.size(), length_ - have_);
    if (n) std::memcpy(payload_.data() + have_, in.data(), n);
    have_ += n;
    in = in.subspan(n);
    return have_ == length_ ? Status::Frame : Status::More;
}

}  // namespace hv::sim
