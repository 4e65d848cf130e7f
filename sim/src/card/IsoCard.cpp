#include "vorasel/sim/IsoCard.h"

#include <algorithm>
#include <random>

namespace hv::sim {
namespace {

constexpr uint16_t kMf = 0x3F00;
constexpr size_t kMaxChallenge = 256;

uint16_t moreData(size_t remaining) {
    return static_cast<uint16_t>(0x6100 | (remaining >= 256 ? 0 : remaining));
}

bool interindustry(uint8_t cla) {
    return (cla & 0x80) == 0;
}

}  // namespace

std::vector<IsoFile> IsoCardConfig::defaultFiles() {
    const Bytes name{0xF0, 0x56, 0x4F, 0x52, 0x41, 0x53, 0x45, 0x4C};
    auto file = [](uint16_t fid, uint16_t parent) {
        IsoFile f;
        f.fid = fid;
        f.parent = parent;
        return f;
    };
    IsoFile dir = file(0x2F00, kMf);
    dir.content = {0x61, 0x13, 0x4F, 0x08};
    dir.content.insert(dir.content.end(), name.begin(), name.end());
    const char label[] = "VORASEL";
    dir.content.push_back(0x50);
    dir.content.push_back(7);
    dir.content.insert(dir.content.end(), label, label + 7);
    dir.content.resize(32, 0xFF);

    IsoFile df = file(0x5000, kMf);
    df.dedicated = true;
    df.name = name;
    IsoFile small = file(0x5001, 0x5000);
    for (int i = 0; i < 256; ++i)
        small.content.push_back(static_cast<uint8_t>(i));
    IsoFile large = file(0x5002, 0x5000);
    for (int i = 0; i < 4096; ++i)
        large.content.push_back(static_cast<uint8_t>(i * 7));
    IsoFile fixed = file(0x5003, 0x5000);
    fixed.readOnly = true;
    for (int i = 0; i < 16; ++i)
        fixed.content.push_back(static_cast<uint8_t>(0xA0 + i));
    return {dir, df, small, large, fixed};
}

IsoCard::IsoCard(IsoCardConfig config) {
    IsoFile mf;
    mf.fid = kMf;
    mf.parent = 0;
    mf.dedicated = true;
    nodes_.push_back(Node{mf, -1});
    // Parents may be listed after their children: place files as their DF appears.
    std::vector<IsoFile> waiting = std::move(config.files);
    for (bool placed = true; placed && !waiting.empty();) {
        placed = false;
        for (auto it = waiting.begin(); it != waiting.end();) {
            auto parent = std::find_if(nodes_.begin(), nodes_.end(), [&](const Node &n) {
                return n.file.dedicated && n.file.fid == it->parent;
            });
            if (it->fid == kMf || parent == nodes_.end()) {
                ++it;
                continue;
            }
            nodes_.push_back(Node{std::move(*it), static_cast<int>(parent - nodes_.begin())});
            it = waiting.erase(it);
            placed = true;
        }
    }
    rng_ = config.challengeSeed ? config.challengeSeed
                                : (uint64_t{std::random_device{}()} << 32) ^ std::random_device{}();
    scratch_.reserve(65536);
}

ResetAnswer IsoCard::reset(ResetKind) {
    currentDf_ = 0;
    currentEf_ = -1;
    pending_.clear();
    pendingAt_ = 0;
    return {};
}

bool IsoCard::process(std::span<const uint8_t> command, Bytes &response) {
    const auto c = parseCommandApdu(command);
    if (!c) {
        appendSw(response, sw::kWrongLength);
        return true;
    }

    if (c->ins == 0xC0 && interindustry(c->cla)) {  // GET RESPONSE
        uint16_t s;
        if (c->p1 || c->p2) {
            s = sw::kBadP1P2;
        } else if (pendingAt_ >= pending_.size()) {
            s = sw::kNotAllowed;
        } else if (c->ne == 0) {
            s = sw::kWrongLength;
        } else {
            const size_t n = std::min<size_t>(c->ne, pending_.size() - pendingAt_);
            response.insert(response.end(), pending_.begin() + pendingAt_,
                            pending_.begin() + pendingAt_ + n);
            pendingAt_ += n;
            const size_t left = pending_.size() - pendingAt_;
            s = left ? moreData(left) : pendingSw_;
        }
        appendSw(response, s);
        return true;
    }

    pending_.clear();
    pendingAt_ = 0;
    scratch_.clear();
    uint16_t s;
    bool answersWithoutLe = false;
    if (c->cla == 0xFF) {
        s = sw::kBadCla;
    } else if (c->ins == kEchoIns) {
        s = echo(*c, scratch_);
        answersWithoutLe = true;
    } else if (!interindustry(c->cla)) {
        s = sw::kBadCla;
    } else if (c->cla & 0x40 || c->cla & 0x03) {
        s = sw::kNoLogicalChannel;
    } else if (c->cla & 0x0C) {
        s = sw::kNoSecureMessaging;
    } else if (c->cla & 0x10) {
        s = sw::kNoChaining;
    } else {
        switch (c->ins) {
            case 0xA4:
                s = select(*c, scratch_);
                break;
            case 0xB0:
                s = readBinary(*c, scratch_);
                break;
            case 0xD6:
                s = updateBinary(*c);
                break;
            case 0x84:
                s = getChallenge(*c, scratch_);
                break;
            default:
                s = sw::kBadIns;
        }
    }

    const bool success = s == sw::kOk || (s >> 8) == 0x62 || (s >> 8) == 0x63;
    const size_t limit = c->ne == 0 && answersWithoutLe ? scratch_.size() : c->ne;
    if (!success || limit == 0 || scratch_.empty()) {
        appendSw(response, s);
        return true;
    }
    const size_t n = std::min(limit, scratch_.size());
    response.insert(response.end(), scratch_.begin(), scratch_.begin() + n);
    if (n < scratch_.size()) {
        pending_.assign(scratch_.begin() + n, scratch_.end());
        pendingSw_ = s;
        s = moreData(pending_.size());
    }
    appendSw(response, s);
    return true;
}

int IsoCard::child(int df, uint16_t fid, int wantDf) const {
    for (size_t i = 0; i < nodes_.size(); ++i) {
        const Node &n = nodes_[i];
        if (n.parent == df && n.file.fid == fid &&
            (wantDf < 0 || n.file.dedicated == (wantDf == 1)))
            return static_cast<int>(i);
    }
    return -1;
}

uint16_t IsoCard::select(const CommandApdu &c, Bytes &data) {
    const uint8_t answer = c.p2 & 0x0C;
    const uint8_t occurrence = c.p2 & 0x03;
    if (c.p2 & 0xF0 || (occurrence && c.p1 != 0x04)) return sw::kBadP1P2;
    auto fidAt = [&](size_t i) { return static_cast<uint16_t>(c.data[i] << 8 | c.data[i + 1]); };

    int target = -1;
    switch (c.p1) {
        case 0x00:
            if (c.data.empty()) {
                target = 0;
                break;
            }
            if (c.data.size() != 2) return sw::kWrongLength;
            if (fidAt(0) == kMf) {
                target = 0;
                break;
            }
            // The current DF's children, the DF itself, then its parent and the parent's
            // children: the neighbourhood a FID is unique in.
            target = child(currentDf_, fidAt(0), -1);
            if (target < 0 && nodes_[currentDf_].file.fid == fidAt(0)) target = currentDf_;
            if (target < 0 && nodes_[currentDf_].parent >= 0) {
                const int parent = nodes_[currentDf_].parent;
                target = nodes_[parent].file.fid == fidAt(0) ? parent : child(parent, fidAt(0), -1);
            }
            break;
        case 0x01:
        case 0x02:
            if (c.data.size() != 2) return sw::kWrongLength;
            target = child(currentDf_, fidAt(0), c.p1 == 0x01 ? 1 : 0);
            break;
        case 0x03:
            if (!c.data.empty()) return sw::kWrongLength;
            target = nodes_[currentDf_].parent;
            break;
        case 0x04:
            if (c.data.empty() || c.data.size() > 16) return sw::kWrongLength;
            if (occurrence) return sw::kNotFound;  // only one DF carries a given name
            for (size_t i = 0; i < nodes_.size() && target < 0; ++i) {
                const Bytes &name = nodes_[i].file.name;
                if (nodes_[i].file.dedicated && name.size() >= c.data.size() &&
                    std::equal(c.data.begin(), c.data.end(), name.begin()))
                    target = static_cast<int>(i);
            }
            break;
        case 0x08:
        case 0x09: {
            if (c.data.empty() || c.data.size() % 2) return sw::kWrongLength;
            int at = c.p1 == 0x08 ? 0 : currentDf_;
            for (size_t i = 0; i < c.data.size() && at >= 0; i += 2) {
                const bool last = i + 2 == c.data.size();
                at = child(at, fidAt(i), last ? -1 : 1);
            }
            target = at;
            break;
        }
        default:
            return sw::kBadP1P2;
    }
    if (target < 0) return sw::kNotFound;

    if (nodes_[target].file.dedicated) {
        currentDf_ = target;
        currentEf_ = -1;
    } else {
        currentEf_ = target;
        currentDf_ = nodes_[target].parent;
    }
    if (answer != 0x0C)
        fileTemplate(target, answer == 0x00 ? 0x6F : answer == 0x04 ? 0x62 : 0x64, data);
    return sw::kOk;
}

void IsoCard::fileTemplate(int node, uint8_t tag, Bytes &out) const {
    const IsoFile &f = nodes_[node].file;
    Bytes body{0x82,
               0x01,
               static_cast<uint8_t>(f.dedicated ? 0x38 : 0x01),
               0x83,
               0x02,
               static_cast<uint8_t>(f.fid >> 8),
               static_cast<uint8_t>(f.fid)};
    if (f.dedicated && !f.name.empty()) {
        body.push_back(0x84);
        body.push_back(static_cast<uint8_t>(f.name.size()));
        body.insert(body.end(), f.name.begin(), f.name.end());
    }
    if (!f.dedicated) {
        const size_t size = std::min<size_t>(f.content.size(), 0xFFFF);
        for (uint8_t b : {uint8_t{0x80}, uint8_t{0x02}, static_cast<uint8_t>(size >> 8),
                          static_cast<uint8_t>(size)})
            body.push_back(b);
    }
    for (uint8_t b : {0x8A, 0x01, 0x05})
        body.push_back(b);  // life cycle: operational
    out.push_back(tag);
    out.push_back(static_cast<uint8_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
}

uint16_t IsoCard::binaryTarget(const CommandApdu &c, int &ef, size_t &offset) {
    if (c.p1 & 0x80) {
        if (c.p1 & 0x60) return sw::kBadP1P2;
        const uint8_t sfi = c.p1 & 0x1F;
        ef = -1;
        for (size_t i = 0; i < nodes_.size() && ef < 0; ++i)
            if (nodes_[i].parent == currentDf_ && !nodes_[i].file.dedicated &&
                (nodes_[i].file.fid & 0x1F) == sfi)
                ef = static_cast<int>(i);
        if (sfi == 0 || ef < 0) return sw::kNotFound;
        currentEf_ = ef;
        offset = c.p2;
        return sw::kOk;
    }
    if (currentEf_ < 0) return sw::kNoCurrentEf;
    ef = currentEf_;
    offset = static_cast<size_t>(c.p1) << 8 | c.p2;
    return sw::kOk;
}

uint16_t IsoCard::readBinary(const CommandApdu &c, Bytes &data) {
    if (c.ne == 0) return sw::kWrongLength;
    int ef;
    size_t offset;
    if (const uint16_t s = binaryTarget(c, ef, offset); s != sw::kOk) return s;
    const Bytes &content = nodes_[ef].file.content;
    if (offset >= content.size()) return sw::kWrongOffset;
    const size_t n = std::min<size_t>(c.ne, content.size() - offset);
    data.insert(data.end(), content.begin() + offset, content.begin() + offset + n);
    return n < c.ne && !c.leMax ? sw::kEndOfFile : sw::kOk;
}

uint16_t IsoCard::updateBinary(const CommandApdu &c) {
    if (c.data.empty()) return sw::kWrongLength;
    int ef;
    size_t offset;
    if (const uint16_t s = binaryTarget(c, ef, offset); s != sw::kOk) return s;
    IsoFile &f = nodes_[ef].file;
    if (f.readOnly) return sw::kSecurity;
    if (offset >= f.content.size()) return sw::kWrongOffset;
    if (offset + c.data.size() > f.content.size()) return sw::kNoSpace;
    std::copy(c.data.begin(), c.data.end(), f.content.begin() + offset);
    return sw::kOk;
}

uint16_t IsoCard::getChallenge(const CommandApdu &c, Bytes &data) {
    if (c.p1 || c.p2) return sw::kBadP1P2;
    if (c.ne == 0) return sw::kWrongLength;
    const size_t n = std::min<size_t>(c.ne, kMaxChallenge);
    for (size_t i = 0; i < n; i += 8) {
        uint64_t r = nextRandom();
        for (size_t j = i; j < std::min(n, i + 8); ++j, r >>= 8)
            data.push_back(static_cast<uint8_t>(r));
    }
    return sw::kOk;
}

uint16_t IsoCard::echo(const CommandApdu &c, Bytes &data) {
    const size_t count = static_cast<size_t>(c.p1) << 8 | c.p2;
    if (count == 0) {
        data.insert(data.end(), c.data.begin(), c.data.end());
    } else {
        for (size_t i = 0; i < count; ++i)
            data.push_back(static_cast<uint8_t>(i));
    }
    return sw::kOk;
}

uint64_t IsoCard::nextRandom() {  // splitmix64
    uint64_t z = (rng_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace hv::sim
