#include "vorasel/t1.h"

#include <stddef.h>
#include <string.h>

#include "vorasel/crc16.h"

enum {
    kSending = 0,       // sending the command, possibly chained
    kReceiving = 1,     // receiving the response, possibly chained
    kIfsPending = 2,    // S(IFS request) outstanding
    kResynching = 3,    // S(RESYNCH request) outstanding
    kAbortAnswered = 4  // S(ABORT response) sent
};

enum { kDefaultIfs = 32, kDeviceIfsd = 250, kMaxIfs = 254, kMaxErrors = 3, kMaxResynch = 3 };

// One card, one exchange at a time.
typedef struct {
    uint32_t m_Le;  // command length on entry, response length when done, else 0
    const uint8_t *m_AIB;
    uint8_t *m_AOB;
    uint8_t *m_TIB;
    const uint8_t *m_TOB;
    uint8_t m_nResynch;
    uint8_t m_EDCType;  // 0 LRC, else CRC
    uint8_t m_IFSD;
    uint8_t m_IFSC;
    uint8_t m_PBeg;        // announce IFSD before the first I-block after a reset
    uint8_t m_RcvErrD;     // consecutive invalid or refused blocks
    const uint8_t *m_ChP;  // next command byte; next free response byte once receiving
    int32_t m_ReLe;        // command bytes not yet acknowledged
    uint8_t m_PState;
    uint8_t m_More;
    uint8_t m_SSND;
    uint8_t m_SSNC;
    uint32_t m_LTInf;
    uint32_t m_RspCap;  // response buffer capacity
    uint8_t m_Active;   // an exchange is running
    // An exchange is running, or the last one ended part-way (given up by the caller, failed
    // or overflowed): the card may still hold its answer and expect another sequence number.
    uint8_t m_Unsettled;
    uint8_t m_IFSCInit;  // the card's IFSC from its ATR
} t1_context_t;

// Until the first reset the card is assumed to use the defaults.
static t1_context_t ctx = {
    .m_IFSD = kDefaultIfs, .m_IFSC = kDefaultIfs, .m_PBeg = 1, .m_IFSCInit = kDefaultIfs};

static uint32_t epilogue_length(void) {
    return ctx.m_EDCType ? 2u : 1u;
}

static uint32_t AddEDC(uint32_t n) {
    uint8_t *b = ctx.m_TIB;
    if (ctx.m_EDCType) {
        uint16_t crc = CalcCRC16Bytes((int32_t)n, b);
        b[n] = (uint8_t)(crc >> 8);
        b[n + 1] = (uint8_t)crc;
        return n + 2;
    }
    uint8_t lrc = 0;
    for (uint32_t k = 0; k < n; ++k)
        lrc ^= b[k];
    b[n] = lrc;
    return n + 1;
}

// R- and S-blocks: at most one INF byte. The caller has read the received block already, as
// the send buffer may be the receive buffer.
static uint32_t build_control(uint8_t pcb, int has_inf, uint8_t inf) {
    uint8_t *b = ctx.m_TIB;
    b[0] = 0;
    b[1] = pcb;
    if (has_inf) {
        b[2] = 1;
        b[3] = inf;
        return AddEDC(4);
    }
    b[2] = 0;
    return AddEDC(3);
}

static uint32_t build_r_block(void) {
    return build_control(0x80 | (ctx.m_SSNC << 4), 0, 0);
}

static uint32_t FormatIBlock(void) {
    uint32_t rest = (uint32_t)ctx.m_ReLe;
    uint32_t inf = rest < ctx.m_IFSC ? rest : ctx.m_IFSC;
    ctx.m_LTInf = inf;
    ctx.m_More = rest > ctx.m_IFSC;
    uint8_t *b = ctx.m_TIB;
    b[0] = 0;
    b[1] = (uint8_t)((ctx.m_More ? 0x20 : 0) | (ctx.m_SSND ? 0x40 : 0));
    b[2] = (uint8_t)inf;
    memmove(b + 3, ctx.m_ChP, inf);
    return AddEDC(inf + 3);
}

// The device's last I-block was acknowledged.
static void command_block_acknowledged(void) {
    ctx.m_SSND ^= 1;
    ctx.m_ChP += ctx.m_LTInf;
    ctx.m_ReLe -= (int32_t)ctx.m_LTInf;
    ctx.m_LTInf = 0;
}

static void block_accepted(void) {
    ctx.m_PBeg = 0;
    ctx.m_RcvErrD = 0;
}

static int finish(int result) {
    ctx.m_Active = 0;
    if (result == T1_DONE || result == T1_ABORTED) ctx.m_Unsettled = 0;
    if (result != T1_DONE) ctx.m_Le = 0;
    return result;
}

static int IncErrCnt(uint32_t *block_len) {
    if (++ctx.m_RcvErrD < kMaxErrors) return 0;
    if (ctx.m_PState != kResynching && ctx.m_nResynch < kMaxResynch) {
        *block_len = build_control(0xC0, 0, 0);
        ctx.m_RcvErrD = 0;
        ctx.m_PState = kResynching;
        return T1_SEND;
    }
    return finish(T1_FAILED);
}

static int OnInvalidBlock(uint32_t *block_len) {
    int escalated = IncErrCnt(block_len);
    if (escalated) return escalated;
    switch (ctx.m_PState) {
        case kIfsPending:
            *block_len = build_control(0xC1, 1, ctx.m_IFSD);
            break;
        case kResynching:
            *block_len = build_control(0xC0, 0, 0);
            break;
        default:  // ask for the block the device expects
            *block_len = build_r_block();
            break;
    }
    return T1_SEND;
}

// Epilogue and shape: LEN must account for every byte received (RFU length 255 refused).
static int block_is_valid(uint32_t len) {
    const uint8_t *r = ctx.m_TOB;
    uint32_t edc = epilogue_length();
    if (len < 3 + edc || r[2] == 0xFF || len != 3u + r[2] + edc) return 0;
    if (ctx.m_EDCType) {
        uint16_t crc = CalcCRC16Bytes((int32_t)(len - 2), r);
        return crc == (uint16_t)((r[len - 2] << 8) | r[len - 1]);
    }
    uint8_t lrc = 0;
    for (uint32_t k = 0; k < len; ++k)
        lrc ^= r[k];
    return lrc == 0;
}

static int on_i_block(uint32_t *block_len) {
    const uint8_t *r = ctx.m_TOB;
    uint8_t state = ctx.m_PState;
    if ((state != kSending && state != kReceiving && state != kAbortAnswered) || r[0] != 0)
        return OnInvalidBlock(block_len);
    if (((r[1] >> 6) & 1) != ctx.m_SSNC) return OnInvalidBlock(block_len);

    uint32_t inf = r[2];
    uint32_t used = state == kReceiving ? (uint32_t)(ctx.m_ChP - ctx.m_AOB) : 0;
    if (inf > ctx.m_RspCap - used) return finish(T1_OVERFLOW);

    ctx.m_More = (r[1] >> 5) & 1;
    if (state == kSending) command_block_acknowledged();
    if (state != kReceiving) {
        ctx.m_ChP = ctx.m_AOB;
        ctx.m_PState = kReceiving;
    }
    uint8_t *dst = ctx.m_AOB + used;
    memmove(dst, r + 3, inf);
    ctx.m_ChP = dst + inf;
    ctx.m_SSNC ^= 1;
    block_accepted();
    if (!ctx.m_More) {
        ctx.m_Le = used + inf;
        return finish(T1_DONE);
    }
    *block_len = build_r_block();
    return T1_SEND;
}

static int on_r_block(uint32_t *block_len) {
    uint8_t nr = (ctx.m_TOB[1] >> 4) & 1;
    switch (ctx.m_PState) {
        case kSending:
            if (nr != ctx.m_SSND) {
                // Acknowledges a chained block and asks for the next one.
                if (!ctx.m_More) return OnInvalidBlock(block_len);
                block_accepted();
                command_block_acknowledged();
                *block_len = FormatIBlock();
                return T1_SEND;
            } else {
                int escalated = IncErrCnt(block_len);
                if (escalated) return escalated;
                *block_len = FormatIBlock();
                return T1_SEND;
            }
        case kIfsPending:
            // The card refused the IFS request: carry on with its defaults.
            if (nr != ctx.m_SSND) return OnInvalidBlock(block_len);
            *block_len = FormatIBlock();
            ctx.m_PState = kSending;
            block_accepted();
            return T1_SEND;
        case kAbortAnswered:
            if (nr != ctx.m_SSND) return OnInvalidBlock(block_len);
            return finish(T1_ABORTED);
        default:
            return OnInvalidBlock(block_len);
    }
}

// The card has answered S(RESYNCH): both sides are back at their initial parameters, whatever
// either side announced since the reset.
static void resynchronised(void) {
    ++ctx.m_nResynch;
    ctx.m_SSND = 0;
    ctx.m_SSNC = 0;
    ctx.m_IFSC = ctx.m_IFSCInit;
    ctx.m_IFSD = kDefaultIfs;
    ctx.m_Unsettled = 0;
}

static int on_s_block(uint32_t *block_len, int32_t *wtx) {
    const uint8_t *r = ctx.m_TOB;
    uint8_t pcb = r[1];
    uint8_t len = r[2];
    uint8_t value = len ? r[3] : 0;
    switch (ctx.m_PState) {
        case kSending:
        case kReceiving:
            if (pcb == 0xC1) {
                if (len != 1 || value == 0 || value > kMaxIfs) break;
                ctx.m_IFSC = value;
                *block_len = build_control(0xE1, 1, value);
                block_accepted();
                return T1_SEND;
            }
            if (pcb == 0xC2) {
                if (len != 0) break;
                *block_len = build_control(0xE2, 0, 0);
                ctx.m_PState = kAbortAnswered;
                block_accepted();
                return T1_SEND;
            }
            if (pcb == 0xC3) {
                if (len != 1) break;
                *block_len = build_control(0xE3, 1, value);
                block_accepted();
                if (wtx) *wtx = value;
                return T1_SEND;
            }
            break;
        case kIfsPending:
            if (pcb != 0xE1 || len != 1 || value != ctx.m_IFSD) break;
            *block_len = FormatIBlock();
            ctx.m_PState = kSending;
            block_accepted();
            return T1_SEND;
        case kResynching:
            if (pcb != 0xE0 || len != 0) break;
            resynchronised();
            return t1_start_transaction(block_len);
        default:
            break;
    }
    return OnInvalidBlock(block_len);
}

void t1_on_reset(uint8_t ifsc, uint8_t edc_type) {
    ctx.m_EDCType = edc_type;
    ctx.m_IFSD = kDefaultIfs;
    // 0 and 255 are reserved; a card announcing them gets the default rather than blocks
    // that carry nothing or exceed the largest INF.
    ctx.m_IFSC = (ifsc == 0 || ifsc > kMaxIfs) ? kDefaultIfs : ifsc;
    ctx.m_IFSCInit = ctx.m_IFSC;
    ctx.m_PBeg = 1;
    ctx.m_SSND = 0;
    ctx.m_SSNC = 0;
    ctx.m_Active = 0;
    ctx.m_Unsettled = 0;
}

void t1_setup_cmd(const uint8_t *cmd, uint8_t *rsp, uint8_t *tib, uint8_t *tob, uint32_t cmd_len) {
    t1_setup_cmd_with_capacity(cmd, rsp, tib, tob, cmd_len, T1_RESPONSE_BUFFER_MIN);
}

void t1_setup_cmd_with_capacity(const uint8_t *cmd, uint8_t *rsp, uint8_t *tib, uint8_t *tob,
                                uint32_t cmd_len, uint32_t rsp_capacity) {
    ctx.m_AIB = cmd;
    ctx.m_AOB = rsp;
    ctx.m_TIB = tib;
    ctx.m_TOB = tob;
    ctx.m_Le = cmd_len;
    ctx.m_RspCap = rsp_capacity;
    ctx.m_nResynch = 0;
    ctx.m_Active = 0;
}

int t1_start_transaction(uint32_t *block_len) {
    if (block_len == NULL || ctx.m_AIB == NULL || ctx.m_AOB == NULL || ctx.m_TIB == NULL ||
        ctx.m_TOB == NULL || ctx.m_Le == 0 || ctx.m_Le > INT32_MAX) {
        if (block_len) *block_len = 0;
        return finish(T1_BAD_CALL);
    }
    ctx.m_RcvErrD = 0;
    ctx.m_ChP = ctx.m_AIB;
    ctx.m_ReLe = (int32_t)ctx.m_Le;
    ctx.m_Active = 1;
    if (ctx.m_Unsettled) {
        // Carrying on with the old sequence numbers could fetch the answer to the command that
        // was given up: resynchronise first, then announce IFSD again.
        ctx.m_PBeg = 1;
        *block_len = build_control(0xC0, 0, 0);
        ctx.m_PState = kResynching;
        return T1_SEND;
    }
    ctx.m_Unsettled = 1;
    if (ctx.m_PBeg) {
        ctx.m_IFSD = kDeviceIfsd;
        *block_len = build_control(0xC1, 1, ctx.m_IFSD);
        ctx.m_PState = kIfsPending;
    } else {
        *block_len = FormatIBlock();
        ctx.m_PState = kSending;
    }
    return T1_SEND;
}

int t1_on_reply(uint32_t reply_len, uint32_t *block_len, int32_t *wtx) {
    if (wtx) *wtx = -1;
    if (block_len == NULL) return ctx.m_Active ? finish(T1_BAD_CALL) : T1_BAD_CALL;
    *block_len = 0;
    if (!ctx.m_Active) return T1_BAD_CALL;

    if (!block_is_valid(reply_len)) return OnInvalidBlock(block_len);
    uint8_t pcb = ctx.m_TOB[1];
    if ((pcb & 0x80) == 0) return on_i_block(block_len);
    if ((pcb & 0xC0) == 0x80) return on_r_block(block_len);
    return on_s_block(block_len, wtx);
}

uint32_t t1_get_rAPDUlength(void) {
    return ctx.m_Le;
}
