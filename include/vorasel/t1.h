/* T=1 block protocol engine (ISO/IEC 7816-3): carries one command APDU to the card and its
 * response back. A pure state machine: it formats the blocks to send and judges the blocks
 * received, and never touches the reader.
 *
 * Per command:  t1_setup_cmd, t1_start_transaction, then send the block and call t1_on_reply
 * with the card's answer while the result is T1_SEND, then t1_get_rAPDUlength.
 * After every card reset: t1_on_reset, between commands.
 *
 * Threads: the engine state is one process-wide context and takes no lock. Whole exchanges,
 * from t1_setup_cmd to the last t1_on_reply, and t1_on_reset must not overlap; the caller
 * serialises them. Nothing allocates, nothing logs. */
#ifndef VORASEL_T1_H
#define VORASEL_T1_H

#include <stdint.h>
#include "vorasel/hv_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Smallest size of the block buffers: prologue, 254 INF bytes and a CRC epilogue. The send and
 * receive buffers may be the same memory. */
#define T1_BLOCK_BUFFER_MIN 259u

/* Results of t1_start_transaction and t1_on_reply. */
enum {
    T1_DONE = 0,     /* response complete in the response buffer; t1_get_rAPDUlength has it */
    T1_SEND = 1,     /* send the block in the send buffer, then call t1_on_reply */
    T1_BAD_CALL = 2, /* null pointer, empty or over-long command, or no exchange running */
    T1_OVERFLOW = 3, /* the card's response does not fit the response buffer */
    T1_ABORTED = 5,  /* the card aborted the exchange */
    T1_FAILED = 14   /* error recovery exhausted */
};
/* After any result other than T1_SEND the exchange is over and the response length is 0
 * unless the result is T1_DONE. Sequence numbers carry over from command to command, except
 * after an exchange that ended part-way (given up by the caller before its end, T1_FAILED or
 * T1_OVERFLOW): the card's state is then unknown, and the next command begins with a
 * resynchronisation, the card's initial IFSC and a new IFSD announcement. */

/* After a card reset: the card's IFSC (the T=1 TA of its ATR, default 32; the reserved values
 * 0 and 255 are taken as 32) and the EDC type (0 LRC, non-zero CRC). Sequence numbers restart
 * at 0 and the next exchange begins by announcing the device's IFSD. */
HV_EXPORT void t1_on_reset(uint8_t ifsc, uint8_t edc_type);

/* Size of the response buffer t1_setup_cmd expects: the largest response APDU, 65,536 data
 * bytes and the two status bytes. */
#define T1_RESPONSE_BUFFER_MIN 65538u

/* Once per command: the command APDU (cmd_len bytes), the response buffer (at least
 * T1_RESPONSE_BUFFER_MIN bytes), and the send-block and receive-block buffers (each at least
 * T1_BLOCK_BUFFER_MIN bytes; they may be the same). A response longer than
 * T1_RESPONSE_BUFFER_MIN bytes ends the exchange with T1_OVERFLOW. All memory stays the
 * caller's and must live until the exchange ends. */
HV_EXPORT void t1_setup_cmd(const uint8_t *cmd, uint8_t *rsp, uint8_t *tib, uint8_t *tob,
                            uint32_t cmd_len);

/* t1_setup_cmd with a response buffer of rsp_capacity bytes: a response that does not fit
 * ends the exchange with T1_OVERFLOW. */
HV_EXPORT void t1_setup_cmd_with_capacity(const uint8_t *cmd, uint8_t *rsp, uint8_t *tib,
                                          uint8_t *tob, uint32_t cmd_len, uint32_t rsp_capacity);

/* Builds the first block in the send buffer and stores its length in *block_len. Returns
 * T1_SEND, or T1_BAD_CALL when a buffer or block_len is null, or the command is empty or
 * longer than INT32_MAX bytes. */
HV_EXPORT int t1_start_transaction(uint32_t *block_len);

/* The card's block is in the receive buffer, reply_len bytes long (0 when nothing valid
 * arrived). On T1_SEND the next block is in the send buffer and *block_len holds its length.
 * wtx may be null; otherwise it is set to -1, or to the card's waiting-time multiplier when the
 * block just built answers a waiting-time extension request (apply it to the next wait only).
 * Returns T1_DONE, T1_SEND, T1_BAD_CALL, T1_OVERFLOW, T1_ABORTED or T1_FAILED. */
HV_EXPORT int t1_on_reply(uint32_t reply_len, uint32_t *block_len, int32_t *wtx);

/* Response length after T1_DONE; 0 after a failed or aborted exchange. */
HV_EXPORT uint32_t t1_get_rAPDUlength(void);

#ifdef __cplusplus
}
#endif

#endif /* VORASEL_T1_H */
