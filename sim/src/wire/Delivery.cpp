#include "vorasel/sim/Delivery.h"

#include <algorithm>
#include <random>

namespace hv::sim {

Delivery::Delivery(std::shared_ptr<SessionPort> port, WireRecorder *recorder, Sleep sleep)
    : port_(std::move(port)), recorder_(recorder), sleep_(std::move(sleep)) {}

void Delivery::recordSent(std::span<const uint8_t> bytes, const std::string &note) {
    if (recorder_) recorder_->record(port_->protocol(), Direction::Sent, bytes, note);
}

namespace {

// Offsets (relative to the message) where a new piece starts, strictly increasing and inside.
std::vector<size_t> cutPoints(const Fault &split, size_t size) {
    std::vector<size_t> cuts;
    if (!split.cuts.empty()) {
        for (size_t c : split.cuts)
            if (c > 0 && c < size && (cuts.empty() || c > cuts.back())) cuts.push_back(c);
        return cuts;
    }
    if (size < 2) return cuts;
    const size_t wanted = std::min<size_t>(split.pieces - 1, size - 1);
    std::mt19937 rng(split.seed);
    std::vector<size_t> all(size - 1);
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = i + 1;
    std::shuffle(all.begin(), all.end(), rng);
    cuts.assign(all.begin(), all.begin() + static_cast<ptrdiff_t>(wanted));
    std::sort(cuts.begin(), cuts.end());
    return cuts;
}

}  // namespace

bool Delivery::writePieces(std::span<const uint8_t> bytes, size_t messageStart,
                           const Fault *split) {
    if (!split) return port_->write(bytes.data(), bytes.size());
    size_t from = 0;
    for (size_t cut : cutPoints(*split, bytes.size() - messageStart)) {
        const size_t to = messageStart + cut;
        if (!port_->write(bytes.data() + from, to - from)) return false;
        from = to;
        if (split->pause.count() > 0 && !sleep_(split->pause)) return false;
    }
    return port_->write(bytes.data() + from, bytes.size() - from);
}

bool Delivery::send(std::span<const uint8_t> message, const FaultSet &faults) {
    const std::string &protocol = port_->protocol();
    if (faults.has(FaultKind::EndSession)) {
        if (recorder_) recorder_->record(protocol, Direction::Withheld, message, "end-session");
        port_->close();
        return false;
    }
    if (faults.has(FaultKind::Drop)) {
        if (recorder_) recorder_->record(protocol, Direction::Withheld, message, "drop");
        return port_->isOpen();
    }

    std::string note;
    if (const Fault *r = faults.find(FaultKind::Replace)) {
        out_.assign(r->replacement.begin(), r->replacement.end());
        note += "replaced ";
    } else {
        out_.assign(message.begin(), message.end());
    }
    if (const Fault *c = faults.find(FaultKind::Corrupt); c && !out_.empty()) {
        const long size = static_cast<long>(out_.size());
        long at = c->offset < 0 ? size + c->offset : c->offset;
        if (at >= 0 && at < size) {
            out_[static_cast<size_t>(at)] ^= c->mask;
            note += "corrupt@" + std::to_string(at) + " ";
        }
    }
    if (const Fault *t = faults.find(FaultKind::Truncate); t && t->keep < out_.size()) {
        out_.resize(t->keep);
        note += "truncate " + std::to_string(t->keep) + " ";
    }

    if (const Fault *d = faults.find(FaultKind::Delay); d && !sleep_(d->delay)) return false;

    if (faults.has(FaultKind::Stale)) {
        Bytes stale = last_;
        if (stale.empty() && staleFallback_) stale = staleFallback_(message);
        if (!stale.empty()) {
            recordSent(stale, "stale");
            if (!port_->write(stale.data(), stale.size())) return false;
        }
    }

    if (faults.has(FaultKind::Merge)) {
        held_.push_back(out_);
        last_.assign(message.begin(), message.end());
        return port_->isOpen();
    }

    const Fault *split = faults.find(FaultKind::Split);
    wire_.clear();
    for (const auto &h : held_)
        wire_.insert(wire_.end(), h.begin(), h.end());
    const size_t start = wire_.size();
    wire_.insert(wire_.end(), out_.begin(), out_.end());
    for (const auto &h : held_)
        recordSent(h, "merged");
    if (!held_.empty()) note += "after merged ";
    held_.clear();
    if (split) note += "split ";
    if (!note.empty()) note.pop_back();
    recordSent(out_, note);
    if (!writePieces(wire_, start, split)) return false;

    if (faults.has(FaultKind::Duplicate)) {
        recordSent(out_, "duplicate");
        if (!port_->write(out_.data(), out_.size())) return false;
    }
    last_.assign(message.begin(), message.end());
    return true;
}

}  // namespace hv::sim
