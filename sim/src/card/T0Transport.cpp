#include "T0Transport.h"

#include <algorithm>

#include "vorasel/sim/Apdu.h"

namespace hv::sim::card {
namespace {

uint16_t moreData(size_t n) {
    return static_cast<uint16_t>(0x6100 | (n >= 256 ? 0 : n));
}

}  // namespace

T0Transport::T0Transport() {
    answer_.reserve(65538);
}

void T0Transport::reset() {
    pending_.clear();
    pendingAt_ = 0;
}

bool T0Transport::exchange(std::span<const uint8_t> tpdu, CardApplication &app, Bytes &out) {
    if (tpdu.size() < 5) return false;  // still waiting for the rest of the header
    const uint8_t ins = tpdu[1];
    const size_t p3 = tpdu[4];
    if ((ins & 0xF0) == 0x60 || (ins & 0xF0) == 0x90) {  // would read as procedure bytes
        appendSw(out, 0x6D00);
        return true;
    }

    if (tpdu.size() == 5) {  // case 1 or 2: P3 is the length the reader expects
        const size_t expected = p3 ? p3 : 256;
        if (ins == 0xC0 && (tpdu[0] & 0x80) == 0 && pendingAt_ < pending_.size()) {
            const size_t left = pending_.size() - pendingAt_;
            if (expected > left) {
                appendSw(out, static_cast<uint16_t>(0x6C00 | (left & 0xFF)));
                return true;
            }
            out.insert(out.end(), pending_.begin() + pendingAt_,
                       pending_.begin() + pendingAt_ + expected);
            pendingAt_ += expected;
            const size_t rest = pending_.size() - pendingAt_;
            appendSw(out, rest ? moreData(rest) : pendingSw_);
            return true;
        }
        reset();
        answer_.clear();
        ++commands_;
        if (!app.process(tpdu, answer_)) return false;
        if (answer_.size() < 2) return false;
        const size_t data = answer_.size() - 2;
        if (data != 0 && data != expected) {
            // The card would send these bytes only for the right P3.
            appendSw(out, static_cast<uint16_t>(0x6C00 | (data & 0xFF)));
            return true;
        }
        out.insert(out.end(), answer_.begin(), answer_.end());
        return true;
    }

    if (p3 == 0 || tpdu.size() != 5 + p3) {
        appendSw(out, 0x6700);
        return true;
    }
    // Case 3, or case 4 with its Le left behind by the reader's host: a TPDU cannot tell them
    // apart, so the application gets the command as it came and decides; data it answers
    // wait for GET RESPONSE.
    reset();
    answer_.clear();
    ++commands_;
    if (!app.process(tpdu, answer_)) return false;
    if (answer_.size() < 2) return false;
    const uint16_t sw = static_cast<uint16_t>(answer_[answer_.size() - 2] << 8 | answer_.back());
    const size_t data = answer_.size() - 2;
    const uint8_t sw1 = sw >> 8;
    if (data == 0 || !(sw == 0x9000 || sw1 == 0x61 || sw1 == 0x62 || sw1 == 0x63)) {
        appendSw(out, sw);
        return true;
    }
    pending_.assign(answer_.begin(), answer_.end() - 2);
    pendingAt_ = 0;
    pendingSw_ = sw;
    // A warning is sent as it is; the data can still be fetched with GET RESPONSE.
    appendSw(out, sw == 0x9000 || sw1 == 0x61 ? moreData(data) : sw);
    return true;
}

}  // namespace hv::sim::card
