// Test side of the reader: a tiny card, and a host end that builds CCID commands from the
// USB CCID layout and reads whole response messages back.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "vorasel/sim/Card.h"
#include "vorasel/sim/CcidReader.h"
#include "vorasel/sim/SessionPort.h"

namespace hv::sim::test {

using namespace std::chrono_literals;

// A card with a fixed ATR that echoes every block, optionally mute at some voltages and busy
// for a while before each answer.
class EchoCard final : public Card {
public:
    explicit EchoCard(Bytes atr = {0x3B, 0x02, 0x14, 0x50}) : atr_(std::move(atr)) {}

    std::optional<Bytes> powerOn(PowerSelect v) override {
        std::lock_guard lock(mutex_);
        voltages_.push_back(v);
        if (v == PowerSelect::V5 && muteAt5V) return std::nullopt;
        if (v == PowerSelect::V3 && muteAt3V) return std::nullopt;
        powered_ = true;
        return atr_;
    }
    void powerOff() override {
        std::lock_guard lock(mutex_);
        powered_ = false;
        ++powerOffs_;
    }
    CardReply exchange(std::span<const uint8_t> bytes) override {
        std::lock_guard lock(mutex_);
        ++exchanges_;
        CardReply r;
        r.bytes.assign(bytes.begin(), bytes.end());
        r.busy = busy;
        r.mute = mute;
        return r;
    }

    std::vector<PowerSelect> voltages() const {
        std::lock_guard lock(mutex_);
        return voltages_;
    }
    bool powered() const {
        std::lock_guard lock(mutex_);
        return powered_;
    }
    int powerOffs() const {
        std::lock_guard lock(mutex_);
        return powerOffs_;
    }
    int exchanges() const {
        std::lock_guard lock(mutex_);
        return exchanges_;
    }

    // Set before the card is used.
    bool muteAt5V = false;
    bool muteAt3V = false;
    bool mute = false;
    std::chrono::microseconds busy{0};

private:
    const Bytes atr_;
    mutable std::mutex mutex_;
    std::vector<PowerSelect> voltages_;
    bool powered_ = false;
    int powerOffs_ = 0;
    int exchanges_ = 0;
};

// A PC_to_RDR message: bMessageType, dwLength (little-endian), bSlot, bSeq, three
// message-specific bytes, data.
inline Bytes command(uint8_t type, uint8_t seq, uint8_t b7 = 0, uint8_t b8 = 0, uint8_t b9 = 0,
                     const Bytes &data = {}, uint8_t slot = 0) {
    const uint32_t n = static_cast<uint32_t>(data.size());
    Bytes m = {type,
               static_cast<uint8_t>(n),
               static_cast<uint8_t>(n >> 8),
               static_cast<uint8_t>(n >> 16),
               static_cast<uint8_t>(n >> 24),
               slot,
               seq,
               b7,
               b8,
               b9};
    m.insert(m.end(), data.begin(), data.end());
    return m;
}
inline Bytes powerOnCmd(uint8_t seq, uint8_t select) {
    return command(0x62, seq, select);
}
inline Bytes powerOffCmd(uint8_t seq) {
    return command(0x63, seq);
}
inline Bytes slotStatusCmd(uint8_t seq) {
    return command(0x65, seq);
}
inline Bytes xfrCmd(uint8_t seq, const Bytes &data, uint8_t bwi = 0) {
    return command(0x6F, seq, bwi, 0, 0, data);
}
inline Bytes setParamsCmd(uint8_t seq, uint8_t protocol, const Bytes &params) {
    return command(0x61, seq, protocol, 0, 0, params);
}

// A RDR_to_PC message, decoded.
struct Response {
    uint8_t type = 0;
    uint32_t length = 0;
    uint8_t slot = 0, seq = 0, status = 0, error = 0, b9 = 0;
    Bytes data;
    Bytes raw;
};

inline Response decode(const Bytes &m) {
    Response r;
    r.raw = m;
    if (m.size() < 10) return r;
    r.type = m[0];
    r.length = m[1] | m[2] << 8 | m[3] << 16 | static_cast<uint32_t>(m[4]) << 24;
    r.slot = m[5];
    r.seq = m[6];
    r.status = m[7];
    r.error = m[8];
    r.b9 = m[9];
    r.data.assign(m.begin() + 10, m.end());
    return r;
}

// The host's end of one session.
class HostEnd {
public:
    explicit HostEnd(std::shared_ptr<SessionPort> port) : port_(std::move(port)) {}

    void write(const Bytes &b) { ASSERT_TRUE(port_->write(b.data(), b.size())); }

    // One read call: whatever arrived (empty on time-out), nullopt at the end of the session.
    std::optional<Bytes> readChunk(std::chrono::milliseconds timeout = 2s) {
        if (!pending_.empty()) {
            Bytes b;
            b.swap(pending_);
            return b;
        }
        uint8_t buf[4096];
        const ptrdiff_t n = port_->read(buf, sizeof buf, Clock::now() + timeout);
        if (n < 0) return std::nullopt;
        return Bytes(buf, buf + n);
    }

    // Exactly `n` bytes, or fewer when the time-out or the end of the session comes first.
    Bytes readBytes(size_t n, std::chrono::milliseconds timeout = 2s) {
        const auto deadline = Clock::now() + timeout;
        Bytes out;
        while (out.size() < n) {
            if (pending_.empty()) {
                uint8_t buf[4096];
                const ptrdiff_t got = port_->read(buf, sizeof buf, deadline);
                if (got <= 0) break;
                pending_.assign(buf, buf + got);
            }
            const size_t take = std::min(n - out.size(), pending_.size());
            out.insert(out.end(), pending_.begin(), pending_.begin() + take);
            pending_.erase(pending_.begin(), pending_.begin() + take);
        }
        return out;
    }

    // One whole CCID message, framed by its dwLength; nullopt if it does not come in time.
    std::optional<Response> readMessage(std::chrono::milliseconds timeout = 2s) {
        Bytes head = readBytes(10, timeout);
        if (head.size() < 10) return std::nullopt;
        const uint32_t len = head[1] | head[2] << 8 | head[3] << 16;
        Bytes body = readBytes(len, timeout);
        if (body.size() < len) return std::nullopt;
        head.insert(head.end(), body.begin(), body.end());
        return decode(head);
    }

    // The final answer, counting the time extensions that came before it.
    std::optional<Response> readAnswer(int *extensions = nullptr,
                                       std::chrono::milliseconds timeout = 2s) {
        int n = 0;
        for (;;) {
            auto r = readMessage(timeout);
            if (!r || (r->status >> 6) != 2) {
                if (extensions) *extensions = n;
                return r;
            }
            ++n;
        }
    }

    // Whether the session ends within the time-out.
    bool endsWithin(std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        uint8_t buf[256];
        while (Clock::now() < deadline)
            if (port_->read(buf, sizeof buf, deadline) < 0) return true;
        return false;
    }

    SessionPort &port() { return *port_; }

private:
    std::shared_ptr<SessionPort> port_;
    Bytes pending_;
};

// A reader with its two sessions opened, the way the host driver opens them.
struct ReaderBench {
    explicit ReaderBench(CcidReaderConfig config = fastConfig()) : reader(config) {}

    static CcidReaderConfig fastConfig() {
        CcidReaderConfig c;
        c.timeExtensionInterval = 10ms;
        c.muteTimeout = 5ms;
        return c;
    }

    HostEnd openBulk() {
        auto pair = makePortPair("ccidbulk");
        reader.attachPort(pair.device);
        return HostEnd(pair.host);
    }
    HostEnd openInterrupt() {
        auto pair = makePortPair("ccidinterrupt");
        reader.attachPort(pair.device);
        return HostEnd(pair.host);
    }
    std::shared_ptr<EchoCard> insert(std::shared_ptr<EchoCard> card = nullptr) {
        if (!card) card = std::make_shared<EchoCard>();
        reader.insertCard(card);
        return card;
    }

    CcidReader reader;
};

}  // namespace hv::sim::test
