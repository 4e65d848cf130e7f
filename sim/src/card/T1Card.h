// The card's side of T=1 (ISO/IEC 7816-3 block transmission), one host block in, one card
// block out. Chaining both ways, R-blocks and retransmission, S(IFS) both ways, S(WTX)
// requests, S(ABORT) both ways, S(RESYNCH), LRC or CRC.
//
// The card's N(S) advances when the host acknowledges its I-block: by an R-block during a
// chained answer, by the next command's I-block after the last one. A block the card never
// sent (replaced by an S(ABORT) request) therefore costs no sequence number.
#pragma once

#include <cstdint>
#include <span>

#include "Edc.h"
#include "FaultTable.h"
#include "vorasel/sim/CardApplication.h"

namespace hv::sim::card {

struct T1Settings {
    Edc edc = Edc::Lrc;
    uint8_t ifsc = 32;             // what the card accepts per block, from its ATR
    bool acceptIfsRequest = true;  // false: S(IFS request) is refused with an R-block
    uint8_t maxSendInf = 0;        // the card sends at most this many bytes per block; 0: IFSD
};

struct T1Counters {
    uint32_t commands = 0;       // APDUs handed to the application
    uint32_t invalidBlocks = 0;  // blocks the card rejected
    uint32_t resynchs = 0;
    uint32_t aborts = 0;  // either side's
    uint32_t wtxRequests = 0;
};

class T1Card {
public:
    // Largest APDU the card takes: header, extended Lc, 65,535 bytes, extended Le.
    static constexpr size_t kMaxCommand = 4 + 3 + 65535 + 2;

    T1Card();
    void reset(const T1Settings &settings);
    // One block from the host; false when the card sends nothing.
    bool exchange(std::span<const uint8_t> block, CardApplication &app, FaultTable &faults,
                  Bytes &out);

    uint8_t ifsc() const { return ifsc_; }
    uint8_t ifsd() const { return ifsd_; }
    const T1Counters &counters() const { return counters_; }

private:
    enum class Phase : uint8_t { Idle, Receiving, Sending };
    enum class Await : uint8_t { None, Wtx, Ifs, Abort };
    enum class Error : uint8_t { None = 0, Edc = 1, Other = 2 };  // R-block error bits
    struct Block {
        uint8_t pcb = 0;
        std::span<const uint8_t> inf;
    };

    Error parse(std::span<const uint8_t> raw, Block &b) const;
    bool onIBlock(const Block &b, CardApplication &app, FaultTable &faults, Bytes &out);
    void onRBlock(const Block &b, FaultTable &faults, Bytes &out);
    void onSBlock(const Block &b, Bytes &out);
    void onAwaited(Error err, const Block &b, Bytes &out);
    void startAnswer(FaultTable &faults, Bytes &out);
    // Chain steps and plain acknowledgements pass here, where faults may replace them.
    void sendNormal(Bytes &out, bool chainStep, bool ackOfHostBlock, FaultTable &faults);
    void invalid(Error err, Bytes &out);
    void resynch();
    void dropExchange();

    void put(Bytes &out, uint8_t pcb, std::span<const uint8_t> inf) const;
    void putR(Bytes &out, Error err = Error::None) const;
    void putI(Bytes &out) const;
    void putAwaitedRequest(Bytes &out) const;
    size_t sendLimit() const;

    T1Settings settings_;
    uint8_t ifsc_ = 32, ifsd_ = 32;
    uint8_t ns_ = 0;        // N(S) of the card's next (or outstanding) I-block
    uint8_t expected_ = 0;  // N(S) the card expects in the host's next I-block
    Phase phase_ = Phase::Idle;
    bool silent_ = false;  // the application gave no answer: the card hangs until reset

    Bytes command_;
    Bytes answer_;
    size_t answerAt_ = 0;  // INF of the outstanding I-block: answer_[answerAt_, +answerLen_)
    size_t answerLen_ = 0;

    Await await_ = Await::None;
    Bytes held_;  // the block that goes out once the awaited S response is in
    uint32_t wtxLeft_ = 0;
    uint8_t wtxMultiplier_ = 1;
    uint8_t ifsRequested_ = 0;
    bool abortRollback_ = false;  // the aborted block would have acknowledged the host's

    T1Counters counters_;
};

}  // namespace hv::sim::card
