// Card power, PPS and the reader's protocol parameters, with the response time-outs they give.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "Smartcard/IFDH/HVIFDH.h"
#include "Smartcard/IFDH/IFDHModule.h"
#include "vorasel/HVLog.h"
#include "vorasel/sc_atr.h"
#include "vorasel/t1.h"

using namespace hv::ifdh;

namespace {

constexpr uint64_t kPowerOnTimeout = 5000;
constexpr uint32_t kMinimumTimeout = 3000;
constexpr uint8_t kPowerSelect5V = 1;
constexpr uint8_t kPowerSelect3V = 2;
constexpr uint8_t kIccMute = 0xFE;
constexpr uint8_t kDefaultFiDi = 0x11;
constexpr uint32_t kParametersMax = 7;

}  // namespace

uint32_t HVIFDH::capWaitingTime(uint64_t ms) {
    if (ms <= kMaxWaitingTime) return static_cast<uint32_t>(ms);
    HVLogInfo("Waiting time of %llu ms capped at %u ms", static_cast<unsigned long long>(ms),
              kMaxWaitingTime);
    return kMaxWaitingTime;
}

HVIFDHStatus HVIFDH::powerOnICC() {
    std::lock_guard lock(lock_);
    uint8_t powerSelect = kPowerSelect5V;
    for (int attempt = 1;; ++attempt) {
        uint8_t message[kHeaderLength] = {kIccPowerOn,    0,           0, 0, 0, slot_,
                                          nextSequence(), powerSelect, 0, 0};
        const uint8_t *reply = nullptr;
        uint32_t replyLength = 0;
        const HVIFDHStatus res =
            tranceive(message, kHeaderLength, &reply, &replyLength, kPowerOnTimeout);
        if (res != HVIFDHStatusSuccess) return res;
        if (replyLength < kHeaderLength || littleEndian32(reply + 1) != replyLength - kHeaderLength)
            return HVIFDHStatusFailed;
        int32_t icc = 0, error = 0;
        const int32_t commandStatus = interpret_result_and_update_status(reply, &icc, &error);
        if (attempt == 1 && commandStatus == 1 && error == kIccMute) {
            powerSelect = kPowerSelect3V;
            continue;
        }
        if (commandStatus == 0) {
            const uint32_t atrLength = replyLength - kHeaderLength;
            if (atrLength > sizeof(HVIFDHATR::data)) {
                // ISO/IEC 7816-3 allows 33 bytes at most.
                HVLogError("ATR too long (%u bytes)", atrLength);
                return HVIFDHStatusFailed;
            }
            storeATR(reply + kHeaderLength, static_cast<uint8_t>(atrLength));
            slot_state_.store(HVIFDHSlotStatePowered);
            return HVIFDHStatusSuccess;
        }
        if (icc == 2) return HVIFDHStatusNoCard;
        HVLogError("bmCommandStatus = %d bmICCStatus = %d bError = %d", commandStatus, icc, error);
        return HVIFDHStatusFailed;
    }
}

HVIFDHStatus HVIFDH::warmResetICC() {
    return powerOnICC();
}

HVIFDHStatus HVIFDH::coldresetICC() {
    std::lock_guard lock(lock_);
    powerOffICC();
    return powerOnICC();
}

HVIFDHStatus HVIFDH::powerOffICC() {
    std::lock_guard lock(lock_);
    const uint8_t message[kHeaderLength] = {kIccPowerOff,   0, 0, 0, 0, slot_,
                                            nextSequence(), 0, 0, 0};
    const uint8_t *reply = nullptr;
    uint32_t replyLength = 0;
    const HVIFDHStatus res =
        tranceive(message, kHeaderLength, &reply, &replyLength, rsp_timeout_.load());
    if (res == HVIFDHStatusSuccess) interpret_result_and_update_status(reply, nullptr, nullptr);
    return res;
}

HVIFDHStatus HVIFDH::setParameters(const uint8_t *parameters, uint32_t length,
                                   uint8_t protocolNum) {
    if (length > kParametersMax || (!parameters && length)) return HVIFDHStatusInvalidValue;
    std::lock_guard lock(lock_);
    uint8_t message[kHeaderLength + kParametersMax] = {kSetParameters};
    putLittleEndian32(message + 1, length);
    message[5] = 0;
    message[6] = nextSequence();
    message[7] = protocolNum;
    if (length) std::memcpy(message + kHeaderLength, parameters, length);
    const uint8_t *reply = nullptr;
    uint32_t replyLength = 0;
    const HVIFDHStatus res =
        tranceive(message, length + kHeaderLength, &reply, &replyLength, rsp_timeout_.load());
    if (res != HVIFDHStatusSuccess) return res;
    if (interpret_result_and_update_status(reply, nullptr, nullptr) == 0)
        return HVIFDHStatusSuccess;
    HVLogVerbose("invaild parameter at offset %d\n", reply[8]);
    return HVIFDHStatusFailed;
}

HVIFDHStatus HVIFDH::setProtocolParameters(uint8_t protocol, uint8_t, uint8_t, uint8_t, uint8_t) {
    // One step on the process-wide T=1 engine: no transmission runs between the PPS and the
    // engine's reset.
    std::lock_guard lock(lock_);
    const HVIFDHATR stored = ATR();
    scatr_t atr;
    if (scatr_parse(&atr, stored.data, stored.length) != SCATR_OK) {
        HVLogVerbose("Bad ATR");
        return HVIFDHStatusNegotiationFailed;
    }
    uint8_t t;
    if (protocol == 1)
        t = 0;
    else if (protocol == 2)
        t = 1;
    else
        return HVIFDHStatusProtocolNotSupported;

    uint8_t ta1 = kDefaultFiDi;
    const bool hasTa1 = scatr_TXi(&atr, SCATR_TA, 1, &ta1) == SCATR_BYTE_PRESENT;
    if (!hasTa1) ta1 = kDefaultFiDi;
    uint8_t fidi = ta1;
    const uint8_t pps[4] = {0xFF, static_cast<uint8_t>(0x10 | t), ta1,
                            static_cast<uint8_t>(0xFF ^ (0x10 | t) ^ ta1)};

    uint8_t ta2 = 0;
    bool negotiate = true;
    if (scatr_TXi(&atr, SCATR_TA, 2, &ta2) == SCATR_BYTE_PRESENT) {
        if ((ta2 & 0x0F) != t) {
            HVLogVerbose("Card in specific mode but request unsupported protocol");
            return HVIFDHStatusProtocolNotSupported;
        }
        slot_state_.store(HVIFDHSlotStateSpecific);
        negotiate = false;
    } else if (!hasTa1 && scatr_getDefProtocol(&atr) == t) {
        slot_state_.store(HVIFDHSlotStateSpecific);
        HVLogVerbose("ATR has no TA1 and requested protocol same as first offered");
        negotiate = false;
    }

    if (negotiate) {
        const uint8_t *answer = nullptr;
        uint32_t answerLength = 0;
        const HVIFDHStatus res = ccid_xfr(pps, sizeof pps, &answer, &answerLength, 0);
        if (res == HVIFDHStatusCommunicationError) {
            HVLogVerbose("Session lost!\n");
            return res;
        }
        if (res != HVIFDHStatusSuccess) {
            HVLogVerbose("Exchange of PPS failed\n");
            return HVIFDHStatusNegotiationFailed;
        }
        if (answerLength != 3 && answerLength != 4) {
            HVLogVerbose("Exchange of PPS odd length %d\n", static_cast<int>(answerLength));
            return HVIFDHStatusNegotiationFailed;
        }
        if ((answer[1] & 0x0F) != t) {
            HVLogVerbose("Exchange of PPS echoed different protocol\n");
            return HVIFDHStatusNegotiationFailed;
        }
        if (!(answer[1] & 0x10)) {
            fidi = kDefaultFiDi;  // PPS1 declined: the default rate
        } else if (answer[2] != pps[2]) {
            HVLogVerbose("Exchange PPS echoed different F/D\n");
            return HVIFDHStatusNegotiationFailed;
        }
        HVLogVerbose("PPS handshake complete\n");
        slot_state_.store(HVIFDHSlotStateSpecific);
    }

    const uint32_t clock = dsc_.dwDefaultClock;
    const uint8_t inverse = atr.ts != 0x3B ? 0x02 : 0x00;
    uint8_t tc1 = 0;
    scatr_TXi(&atr, SCATR_TC, 1, &tc1);
    HVIFDHStatus res;
    if (t == 0) {
        uint8_t tc2 = 10;
        scatr_TXi(&atr, SCATR_TC, 2, &tc2);
        rsp_timeout_.store(t0_max_timeout(fidi, tc1, tc2, clock));
        const uint8_t parameters[5] = {fidi, inverse, tc1, tc2, 0};
        res = setParameters(parameters, sizeof parameters, 0);
    } else {
        uint8_t ifsc = 32, tb = 0x4D, tc = 0;
        scatr_TXi4T(&atr, SCATR_TA, 1, 1, &ifsc);
        scatr_TXi4T(&atr, SCATR_TB, 1, 1, &tb);
        scatr_TXi4T(&atr, SCATR_TC, 1, 1, &tc);
        t1_on_reset(ifsc, tc & 1);
        rsp_timeout_.store(t1_max_timeout(fidi, tc1, tb >> 4, tb & 0x0F, clock));
        const uint8_t parameters[7] = {
            fidi, static_cast<uint8_t>((tc & 1) | inverse), 0xFF, tb, 0, ifsc, 0};
        res = setParameters(parameters, sizeof parameters, 1);
    }
    if (res == HVIFDHStatusCommunicationError) {
        HVLogVerbose("Session lost!\n");
        return res;
    }
    if (res != HVIFDHStatusSuccess) {
        HVLogVerbose("Failed setting parameters\n");
        return res;
    }
    if (t == 0)
        HVLogVerbose("Parameters has been set for T=0\n");
    else
        HVLogVerbose("Parameters has been set for T=1\n");
    HVLogVerbose("Communication timeout is %d ms\n", static_cast<int>(rsp_timeout_.load()));
    return HVIFDHStatusSuccess;
}

// Clock cycles divided by the clock in kHz give milliseconds; every division drops the
// remainder, and a reserved Di (0) drops the terms divided by it.
uint32_t HVIFDH::t0_max_timeout(uint8_t fidi, uint8_t egt, uint8_t wi, uint32_t freq) {
    const uint64_t f = freq ? freq : 1;
    const uint64_t F = scatr_FDindex2F(fidi);
    const uint64_t D = scatr_FDindex2D(fidi);
    const uint64_t n = egt == 255 ? 0 : egt;
    const uint64_t character = F * (n + 12);
    // Work waiting time 960 × WI × F: 6 of them, or 260 characters.
    const uint64_t a = (f + wi * F * 5760 + (D ? character * 261 / D : 0)) / f;
    const uint64_t b = (f + wi * F * 249600 + (D ? character * 5 / D : 0)) / f;
    return capWaitingTime(std::max(b, std::max<uint64_t>(a, kMinimumTimeout)));
}

uint32_t HVIFDH::t1_max_timeout(uint8_t fidi, uint8_t egt, uint8_t bwi, uint8_t cwi,
                                uint32_t freq) {
    const uint64_t f = freq ? freq : 1;
    const uint64_t F = scatr_FDindex2F(fidi);
    const uint64_t D = scatr_FDindex2D(fidi);
    const uint64_t n = egt == 255 ? 0 : egt;
    // BWI and CWI are 4-bit fields.
    const uint64_t bw = uint64_t{1} << (bwi & 0x0F);
    const uint64_t cw = uint64_t{1} << (cwi & 0x0F);
    const uint64_t characters = D ? F * (260 * n + 3120) / D : 0;       // 260 of 12 + N etu
    const uint64_t guard = D ? F * 11 / D : 0;                          // 11 etu
    const uint64_t characterWaits = D ? F * (260 * cw + 2860) / D : 0;  // 260 CWT
    const uint64_t blockWait = 960 * bw * 372 + f;                      // BWT, plus 1 ms
    const uint64_t t = (blockWait + characters + guard + characterWaits) / f;
    return capWaitingTime(std::max<uint64_t>(t, kMinimumTimeout));
}
