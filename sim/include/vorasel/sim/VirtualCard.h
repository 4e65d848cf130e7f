// A smart card for the simulated reader's slot: its ATR, the voltages it answers at, PPS,
// T=0 and T=1 as ISO/IEC 7816-3 has them, and an application behind (the built-in ISO 7816-4
// card by default, or an external card emulator through VpcdBridge).
//
// The card behaves as its ATR announces: the protocol in force after a reset is the first one
// offered (or the one of specific mode, TA2); a PPS request as the first exchange after a
// reset may select another offered protocol and Fi/Di from TA1. This holds for built,
// custom-raw and application-supplied ATRs alike.
//
// Not simulated: character timing (etu, guard times, BWT, CWT) and parity, so the Fi/Di and
// convention the reader is set to do not affect what the card understands; node addresses
// (NAD other than 0 is an invalid block); extended lengths over T=0; logical channels, secure
// messaging and command chaining by CLA.
//
// Threads: the reader calls the Card interface from its own thread. arm(), clearFaults() and
// status() may be called from any thread; one lock guards the whole card.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "vorasel/sim/Atr.h"
#include "vorasel/sim/Card.h"
#include "vorasel/sim/CardApplication.h"
#include "vorasel/sim/CardFaults.h"

namespace hv::sim {

namespace card {
class T0Transport;
class T1Card;
class FaultTable;
}  // namespace card

enum class PpsBehaviour : uint8_t {
    Accept,         // echoes the request; PPS1 only when the card can run at that rate
    DeclinePps1,    // answers without PPS1: default Fi/Di
    OtherProtocol,  // answers another protocol in PPS0
    OtherFD,        // answers another PPS1 (ppsOtherFiDi, or the request's PPS1 xor 0x01)
    NoAnswer,       // stays silent
};

struct CardConfig {
    AtrParams atr;
    Bytes rawAtr;  // sent instead of the built ATR when not empty
    uint8_t voltages = kClassA | kClassB | kClassC;
    PpsBehaviour pps = PpsBehaviour::Accept;
    std::optional<uint8_t> ppsOtherFiDi;
    bool t1AcceptIfsRequest = true;  // false: S(IFS request) is refused with an R-block
    uint8_t t1MaxSendInf = 0;        // at most this many bytes per block sent; 0: the IFSD
};

struct CardStatus {
    bool powered = false;
    uint8_t protocol = 0;  // in force: 0 or 1
    uint8_t fidi = 0x11;   // in force after PPS or specific mode
    bool ppsDone = false;
    uint8_t ifsc = 32, ifsd = 32;  // T=1 sizes in force
    uint32_t powerOns = 0;         // ATRs sent
    uint32_t commands = 0;         // APDUs handed to the application
    uint32_t invalidBlocks = 0, resynchs = 0, aborts = 0, wtxRequests = 0;
    uint32_t faultHits = 0;  // fault plans that hit, all kinds
};

class VirtualCard : public Card {
public:
    // Without an application, the built-in IsoCard.
    explicit VirtualCard(CardConfig config = {}, std::shared_ptr<CardApplication> app = nullptr);
    ~VirtualCard() override;

    std::optional<Bytes> powerOn(PowerSelect voltage) override;
    void powerOff() override;
    CardReply exchange(std::span<const uint8_t> bytes) override;
    void exchangeInto(std::span<const uint8_t> bytes, CardReply &reply) override;

    void arm(const FaultPlan &plan);
    void clearFaults();
    uint32_t faultHits(CardFault fault) const;
    CardStatus status() const;
    // The ATR sent at the last power-on, and what the card read from it.
    Bytes atr() const;
    AtrFacts facts() const;

private:
    bool answer(std::span<const uint8_t> bytes, Bytes &out);
    void applyReplyFaults(CardReply &reply);

    mutable std::mutex mutex_;
    const CardConfig config_;
    std::shared_ptr<CardApplication> app_;
    std::unique_ptr<card::FaultTable> faults_;
    std::unique_ptr<card::T0Transport> t0_;
    std::unique_ptr<card::T1Card> t1_;

    bool powered_ = false;
    bool firstExchange_ = false;  // a PPS request is only understood right after the ATR
    Bytes atr_;
    AtrFacts facts_;
    uint8_t protocol_ = 0;
    uint8_t fidi_ = 0x11;
    bool ppsDone_ = false;
    uint32_t powerOns_ = 0;
    Bytes out_;
    Bytes previous_;  // the previous answer, as it should have been
    bool hasPrevious_ = false;
};

}  // namespace hv::sim
