// Drives the T=1 engine against a card-side script: the blocks the card sends and the blocks
// the engine must answer with, checked step by step ("at step N: ...").
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CardBytes.h"
#include "vorasel/crc16.h"
#include "vorasel/t1.h"

namespace hv::test {

struct T1Step {
    enum Kind { Device, DeviceRaw, Card, CardRaw, Silence, Done, Ends } kind;
    Bytes bytes;
    int value = -1;  // Device: expected WTX multiplier; Ends: expected result
};

// Block the engine must send next (epilogue added by the script; raw: given in full).
inline T1Step dev(const std::string &hex, int wtx = -1) {
    return {T1Step::Device, hexBytes(hex), wtx};
}
inline T1Step devRaw(const std::string &hex) {
    return {T1Step::DeviceRaw, hexBytes(hex)};
}
// Block the card answers with (epilogue added; raw: sent as given).
inline T1Step card(const std::string &hex) {
    return {T1Step::Card, hexBytes(hex)};
}
inline T1Step cardRaw(const Bytes &b) {
    return {T1Step::CardRaw, b};
}
inline T1Step silence() {
    return {T1Step::Silence, {}};
}
// The exchange ends with this response, or with this result.
inline T1Step done(const std::string &hex) {
    return {T1Step::Done, hexBytes(hex)};
}
inline T1Step ends(int result) {
    return {T1Step::Ends, {}, result};
}

// n bytes counting up from `first`, as hex, for long commands and responses.
inline std::string counting(size_t n, uint8_t first = 0) {
    Bytes b;
    for (size_t i = 0; i < n; ++i)
        b.push_back(static_cast<uint8_t>(first + i));
    return toHex(b);
}

class T1Card {
public:
    explicit T1Card(bool crc) : crc_(crc) {}

    Bytes withEpilogue(Bytes b) const {
        if (crc_) {
            uint16_t c = CalcCRC16Bytes(static_cast<int32_t>(b.size()), b.data());
            b.push_back(static_cast<uint8_t>(c >> 8));
            b.push_back(static_cast<uint8_t>(c));
        } else {
            uint8_t x = 0;
            for (uint8_t v : b)
                x ^= v;
            b.push_back(x);
        }
        return b;
    }

    // Runs one command through the engine; the response buffer holds `capacity` bytes followed
    // by guard bytes that must stay intact.
    ::testing::AssertionResult run(const Bytes &command, const std::vector<T1Step> &script,
                                   size_t capacity = 65536) {
        Bytes response(capacity + kGuard, kGuardByte);
        Bytes block(270, 0);  // one buffer for both directions, as the reader driver does
        t1_setup_cmd_with_capacity(
            command.empty() ? nullptr : command.data(), response.data(), block.data(), block.data(),
            static_cast<uint32_t>(command.size()), static_cast<uint32_t>(capacity));
        uint32_t len = 0;
        int32_t wtx = -1;
        int r = t1_start_transaction(&len);
        for (size_t n = 0; n < script.size(); ++n) {
            const T1Step &s = script[n];
            auto fail = [&](const std::string &what) {
                return ::testing::AssertionFailure() << "at step " << n << ": " << what;
            };
            switch (s.kind) {
                case T1Step::Device:
                case T1Step::DeviceRaw: {
                    if (r != T1_SEND) return fail("expected a block, result " + std::to_string(r));
                    const Bytes want = s.kind == T1Step::Device ? withEpilogue(s.bytes) : s.bytes;
                    const std::string got = toHex(block.data(), len);
                    if (got != toHex(want)) return fail("sent " + got + ", want " + toHex(want));
                    if (wtx != s.value)
                        return fail("wtx " + std::to_string(wtx) + ", want " +
                                    std::to_string(s.value));
                    break;
                }
                case T1Step::Card:
                case T1Step::CardRaw:
                case T1Step::Silence: {
                    if (r != T1_SEND) return fail("card's turn but result " + std::to_string(r));
                    const Bytes b = s.kind == T1Step::Card ? withEpilogue(s.bytes) : s.bytes;
                    std::copy(b.begin(), b.end(), block.begin());
                    r = t1_on_reply(static_cast<uint32_t>(b.size()), &len, &wtx);
                    break;
                }
                case T1Step::Done: {
                    if (r != T1_DONE) return fail("result " + std::to_string(r) + ", want done");
                    const uint32_t got = t1_get_rAPDUlength();
                    if (toHex(response.data(), got) != toHex(s.bytes))
                        return fail("response " + toHex(response.data(), got) + ", want " +
                                    toHex(s.bytes));
                    break;
                }
                case T1Step::Ends:
                    if (r != s.value)
                        return fail("result " + std::to_string(r) + ", want " +
                                    std::to_string(s.value));
                    if (t1_get_rAPDUlength() != 0) return fail("response length not 0");
                    break;
            }
        }
        for (size_t i = capacity; i < response.size(); ++i)
            if (response[i] != kGuardByte)
                return ::testing::AssertionFailure() << "wrote past the response buffer";
        if (r == T1_SEND) return ::testing::AssertionFailure() << "script ended mid-exchange";
        return ::testing::AssertionSuccess();
    }

private:
    static constexpr size_t kGuard = 300;
    static constexpr uint8_t kGuardByte = 0xA5;
    bool crc_;
};

}  // namespace hv::test
