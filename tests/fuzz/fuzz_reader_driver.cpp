// The reader driver against a fake reader that answers each command with bytes from the input:
// power-on, protocol setting, then T=0 or T=1 APDUs, all on this thread (the fake reader
// answers from within the driver's write, so an exchange it leaves unanswered times out at
// once).
//
// Input: [plan] [apdu sizes...] then one reply record per write of the driver:
//   [control] [length, 2 bytes little-endian, 10 bits used] [bytes]
//   control bit 0: every whole message of the reply gets the command's bSeq
//           bit 1: delivered in two pieces, cut at [cut] (one more byte, after the bytes)
//           bit 2: then the bulk pipe is lost
//           bit 3: then slot-change bytes: [n] (0..4) [n bytes]
// plan bit 0: T=1 (else T=0); bit 1: skip the power-on; bit 2: skip the protocol setting;
//      bits 4-7: the number of APDUs, each sized by one byte of [apdu sizes] (T=1: data bytes
//      of an ECHO command, 255 meaning 600; T=0: a TPDU of that many data bytes).
// When the input runs out the reader stays silent.
#include <cstdint>
#include <cstring>
#include <vector>

#include "Smartcard/IFDH/HVIFDH.h"
#include "vorasel/t1.h"

#define CHECK(cond)                    \
    do {                               \
        if (!(cond)) __builtin_trap(); \
    } while (0)

namespace {

struct Input {
    const uint8_t *p = nullptr;
    size_t left = 0;
    bool take(uint8_t &v) {
        if (!left) return false;
        v = *p++;
        --left;
        return true;
    }
    size_t takeBytes(uint8_t *out, size_t n) {
        n = n < left ? n : left;
        std::memcpy(out, p, n);
        p += n;
        left -= n;
        return n;
    }
};

Input input;
HVSessionReceiveCallback bulk = nullptr;
HVSessionReceiveCallback interrupt = nullptr;

HVSessionStatus start(int32_t protocol, HVSessionReceiveCallback callback) {
    if (protocol == HVAccessoryProtocolCCIDBulk) bulk = callback;
    if (protocol == HVAccessoryProtocolCCIDInterrupt) interrupt = callback;
    return HVSessionStatusSuccess;
}

HVSessionStatus end(int32_t) {
    return HVSessionStatusSuccess;
}

// Gives whole messages of the reply the awaited bSeq, so replies get past the bSeq check.
void stampSequence(uint8_t *reply, size_t length, uint8_t seq) {
    size_t at = 0;
    while (length - at >= 10) {
        reply[at + 6] = seq;
        const uint64_t total = 10 + (uint64_t{reply[at + 1]} | uint64_t{reply[at + 2]} << 8 |
                                     uint64_t{reply[at + 3]} << 16 | uint64_t{reply[at + 4]} << 24);
        if (total > length - at) break;
        at += static_cast<size_t>(total);
    }
}

uint8_t lastSeq = 0;

HVSessionStatus write(const uint8_t *data, uint16_t length, int32_t) {
    CHECK(length == 0 || length >= 10);
    CHECK(length <= 10 + 271);
    if (length) lastSeq = data[6];
    uint8_t control, lo, hi;
    if (!input.take(control) || !input.take(lo) || !input.take(hi)) return HVSessionStatusSuccess;
    static uint8_t reply[1024];
    const size_t n = input.takeBytes(reply, (size_t{hi} << 8 | lo) & 0x3FF);
    if (control & 1) stampSequence(reply, n, lastSeq);
    uint8_t cut = 0;
    if ((control & 2) && input.take(cut) && n > 1) {
        const size_t first = 1 + cut % (n - 1);
        bulk(reply, static_cast<uint16_t>(first));
        bulk(reply + first, static_cast<uint16_t>(n - first));
    } else if (n) {
        bulk(reply, static_cast<uint16_t>(n));
    }
    if (control & 4) bulk(nullptr, 0);
    uint8_t count;
    if ((control & 8) && input.take(count)) {
        uint8_t slot[4];
        const size_t k = input.takeBytes(slot, count % 5);
        interrupt(slot, static_cast<uint16_t>(k));
    }
    return HVSessionStatusSuccess;
}

const HVIFDHSessionOps kFakeReader = {start, end, write, true};

void checkResponse(HVIFDHStatus status, const uint8_t *response, uint32_t length, uint32_t limit) {
    if (status != HVIFDHStatusSuccess) return;
    CHECK(response != nullptr);
    CHECK(length <= limit);
    // Every byte handed out is readable.
    volatile uint8_t sink = 0;
    for (uint32_t i = 0; i < length; ++i)
        sink = sink ^ response[i];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static HVIFDH &driver = *[] {
        HVIFDH::setSessionOps(&kFakeReader);
        return &HVIFDH::sharedInstance();
    }();
    input = {data, size};
    uint8_t plan = 0;
    input.take(plan);
    const bool t1 = plan & 1;
    const unsigned apdus = plan >> 4;
    uint8_t sizes[15] = {};
    for (unsigned i = 0; i < apdus; ++i)
        input.take(sizes[i]);

    // Each run starts from a freshly opened reader and a reset engine.
    CHECK(driver.open() == HVIFDHStatusSuccess);
    driver.setSlot_state(HVIFDHSlotStateUnknown);
    t1_on_reset(32, 0);

    if (!(plan & 2)) {
        driver.powerOnICC();
        const HVIFDHATR atr = driver.ATR();
        CHECK(atr.length <= sizeof atr.data);
    }
    if (!(plan & 4)) driver.setProtocolParameters(t1 ? 2 : 1, 0, 0, 0, 0);

    static uint8_t apdu[4 + 3 + 600 + 2];
    for (unsigned i = 0; i < apdus; ++i) {
        uint32_t length;
        if (t1) {
            const uint32_t n = sizes[i] == 255 ? 600 : sizes[i];
            apdu[0] = 0x00;
            apdu[1] = 0xEE;
            apdu[2] = apdu[3] = 0x00;
            apdu[4] = 0x00;
            apdu[5] = static_cast<uint8_t>(n >> 8);
            apdu[6] = static_cast<uint8_t>(n);
            for (uint32_t k = 0; k < n; ++k)
                apdu[7 + k] = static_cast<uint8_t>(k);
            apdu[7 + n] = apdu[8 + n] = 0x00;
            length = 9 + n;
        } else {
            apdu[0] = 0x00;
            apdu[1] = 0xEE;
            apdu[2] = apdu[3] = 0x00;
            apdu[4] = sizes[i];
            for (uint32_t k = 0; k < sizes[i]; ++k)
                apdu[5 + k] = static_cast<uint8_t>(k);
            length = 5u + sizes[i];
        }
        const uint8_t *response = nullptr;
        uint32_t responseLength = 0;
        const HVIFDHStatus status =
            driver.transmitToICC(apdu, length, t1 ? 2 : 1, &response, &responseLength);
        checkResponse(status, response, responseLength, t1 ? T1_RESPONSE_BUFFER_MIN : 813 - 10);
    }
    driver.powerOffICC();
    return 0;
}
