// The T=1 engine over whole exchanges with a card that answers arbitrary blocks.
//
// Input: flags, IFSC, then per command: command length (2 bytes), response capacity (2 bytes),
// then card replies [control][n][n bytes] until the exchange ends. Control bit 0 makes LEN
// match, bit 1 appends a correct epilogue, bit 2 is silence (nothing received), bit 3 resets
// the engine before the next command. When the input runs out the card goes silent, and the
// engine must then give up within a few blocks.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "vorasel/crc16.h"
#include "vorasel/t1.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#define POISON(p, n) __asan_poison_memory_region((p), (n))
#define UNPOISON(p, n) __asan_unpoison_memory_region((p), (n))
#endif
#endif
#ifndef POISON
#define POISON(p, n) ((void)(p), (void)(n))
#define UNPOISON(p, n) ((void)(p), (void)(n))
#endif

#define CHECK(cond)                    \
    do {                               \
        if (!(cond)) __builtin_trap(); \
    } while (0)

namespace {

struct Reader {
    const uint8_t *p;
    size_t left;
    bool take(uint8_t &v) {
        if (!left) return false;
        v = *p++;
        --left;
        return true;
    }
};

constexpr size_t kBlockBuffer = 270;

uint32_t appendEpilogue(uint8_t *b, uint32_t n, bool crc) {
    if (crc) {
        uint16_t c = CalcCRC16Bytes(static_cast<int32_t>(n), b);
        b[n] = static_cast<uint8_t>(c >> 8);
        b[n + 1] = static_cast<uint8_t>(c);
        return n + 2;
    }
    uint8_t x = 0;
    for (uint32_t i = 0; i < n; ++i)
        x ^= b[i];
    b[n] = x;
    return n + 1;
}

// Every block the engine sends is well formed.
void checkSent(const uint8_t *b, uint32_t len, bool crc) {
    const uint32_t edc = crc ? 2 : 1;
    CHECK(len >= 3 + edc && len <= T1_BLOCK_BUFFER_MIN);
    CHECK(b[0] == 0 && len == 3u + b[2] + edc && b[2] <= 254);
    if (crc) {
        CHECK(CalcCRC16Bytes(static_cast<int32_t>(len - 2), b) == ((b[len - 2] << 8) | b[len - 1]));
    } else {
        uint8_t x = 0;
        for (uint32_t i = 0; i < len; ++i)
            x ^= b[i];
        CHECK(x == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Reader in{data, size};
    uint8_t flags = 0, ifsc = 0;
    if (!in.take(flags) || !in.take(ifsc)) return 0;
    const bool crc = flags & 1, shared = flags & 2;
    const int commands = 1 + ((flags >> 2) & 3);
    t1_on_reset(ifsc, crc);

    std::unique_ptr<uint8_t[]> send(new uint8_t[shared ? kBlockBuffer : T1_BLOCK_BUFFER_MIN]);
    std::unique_ptr<uint8_t[]> receive(shared ? nullptr : new uint8_t[kBlockBuffer]);
    uint8_t *tib = send.get();
    uint8_t *tob = shared ? tib : receive.get();

    for (int c = 0; c < commands; ++c) {
        uint8_t l0 = 0, l1 = 0, c0 = 0, c1 = 0;
        in.take(l0), in.take(l1), in.take(c0), in.take(c1);
        const uint32_t cmdLen = 1 + ((l0 | l1 << 8) % 1024);
        const uint32_t capacity = (c0 | c1 << 8) % 2048;
        std::unique_ptr<uint8_t[]> cmd(new uint8_t[cmdLen]);
        for (uint32_t i = 0; i < cmdLen; ++i)
            cmd[i] = static_cast<uint8_t>(i);
        std::unique_ptr<uint8_t[]> rsp(new uint8_t[capacity]);

        t1_setup_cmd_with_capacity(cmd.get(), rsp.get(), tib, tob, cmdLen, capacity);
        uint32_t blockLen = 0;
        int r = t1_start_transaction(&blockLen);
        CHECK(r == T1_SEND);
        int silentSteps = 0;
        bool resetAfter = false;
        while (r == T1_SEND) {
            checkSent(tib, blockLen, crc);
            uint8_t ctl = 4, n = 0;
            uint32_t replyLen = 0;
            if (in.take(ctl) && in.take(n)) {
                n = static_cast<uint8_t>(std::min<size_t>(n, in.left));
                std::memcpy(tob, in.p, n);
                in.p += n;
                in.left -= n;
                replyLen = n;
                if ((ctl & 1) && n >= 3) tob[2] = static_cast<uint8_t>(n - 3);
                if (ctl & 2) replyLen = appendEpilogue(tob, n, crc);
                if (ctl & 4) replyLen = 0;
                resetAfter = ctl & 8;
            } else {
                CHECK(++silentSteps <= 7);  // a silent card ends the exchange
            }
            if (!shared) POISON(tob + replyLen, kBlockBuffer - replyLen);
            int32_t wtx = 0;
            r = t1_on_reply(replyLen, &blockLen, &wtx);
            if (!shared) UNPOISON(tob, kBlockBuffer);
            CHECK(wtx >= -1 && wtx <= 255);
            CHECK(wtx == -1 || r == T1_SEND);
        }
        CHECK(r == T1_DONE || r == T1_OVERFLOW || r == T1_ABORTED || r == T1_FAILED);
        if (r == T1_DONE)
            CHECK(t1_get_rAPDUlength() <= capacity);
        else
            CHECK(t1_get_rAPDUlength() == 0);
        if (resetAfter) t1_on_reset(ifsc, crc);
    }
    return 0;
}
