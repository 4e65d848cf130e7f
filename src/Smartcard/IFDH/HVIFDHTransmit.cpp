// APDU transmission at TPDU level: T=0 commands go out unchanged in one block transfer, T=1
// runs the block protocol with the T=1 engine, one block transfer per block.
#include <cstring>
#include <mutex>

#include "Smartcard/IFDH/HVIFDH.h"
#include "Smartcard/IFDH/IFDHModule.h"
#include "vorasel/HVLog.h"
#include "vorasel/t1.h"

using namespace hv::ifdh;

namespace {

// The response APDU of a T=1 transmission: the largest one there is.
uint8_t APDU_receive_buffer[T1_RESPONSE_BUFFER_MIN];

// A transmission survives this many failed block transfers; the next one ends it.
constexpr int kMaxBlockFailures = 3;

bool endsTransmission(HVIFDHStatus res) {
    return res == HVIFDHStatusNoCard || res == HVIFDHStatusReaderUnavailable ||
           res == HVIFDHStatusCardUnpowered || res == HVIFDHStatusCommunicationError;
}

}  // namespace

HVIFDHStatus HVIFDH::transmitToICC(const uint8_t *command, uint32_t length, uint32_t protocol,
                                   const uint8_t **response, uint32_t *responseLength) {
    if (protocol != 1 && protocol != 2) return HVIFDHStatusProtocolNotSupported;
    if (!command || length == 0 || !response || !responseLength) return HVIFDHStatusInvalidValue;
    if (protocol == 1) return transmitToICC_TPDU_T0(command, length, response, responseLength);
    return transmitToICC_TPDU_T1(command, length, response, responseLength);
}

HVIFDHStatus HVIFDH::transmitToICC_TPDU_T0(const uint8_t *command, uint32_t length,
                                           const uint8_t **response, uint32_t *responseLength) {
    if (!command || length == 0 || !response || !responseLength) return HVIFDHStatusInvalidValue;
    // No case handling: the card's answer (61xx and 6Cxx included) goes back as it came.
    *response = APDU_receive_buffer;
    return ccid_xfr(command, length, response, responseLength, 0);
}

HVIFDHStatus HVIFDH::transmitToICC_TPDU_T1(const uint8_t *command, uint32_t length,
                                           const uint8_t **response, uint32_t *responseLength) {
    if (!command || length == 0 || !response || !responseLength) return HVIFDHStatusInvalidValue;
    // The whole transmission holds the driver lock: the engine's context is process-wide.
    std::lock_guard lock(lock_);
    *response = APDU_receive_buffer;
    *responseLength = 0;
    uint8_t block[kT1BlockBuffer];
    t1_setup_cmd(command, APDU_receive_buffer, block, block, length);

    uint32_t blockLength = 0;
    int32_t wtx = 0;
    uint8_t bwi = 0;
    int failures = 0;
    int r = t1_start_transaction(&blockLength);
    while (r == T1_SEND) {
        const uint8_t *reply = nullptr;
        uint32_t replyLength = 0;
        const HVIFDHStatus res = ccid_xfr(block, blockLength, &reply, &replyLength, bwi);
        if (endsTransmission(res)) return res;
        if (res == HVIFDHStatusSuccess && replyLength > sizeof block)
            HVLogError("Block of %u bytes does not fit the block buffer",
                       static_cast<unsigned>(replyLength));
        if (res != HVIFDHStatusSuccess || replyLength > sizeof block) {
            // An empty reply makes the engine run its error recovery.
            replyLength = 0;
            if (failures == kMaxBlockFailures) return HVIFDHStatusFailed;
            ++failures;
        }
        if (replyLength) std::memcpy(block, reply, replyLength);
        r = t1_on_reply(replyLength, &blockLength, &wtx);
        // The card's waiting-time multiplier applies to the next block transfer only.
        bwi = wtx >= 0 ? static_cast<uint8_t>(wtx) : 0;
    }
    if (r != T1_DONE) return HVIFDHStatusFailed;
    *responseLength = t1_get_rAPDUlength();
    return HVIFDHStatusSuccess;
}
