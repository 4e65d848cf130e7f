// Scriptable fault injection for the simulated devices: which fault, on which message, when it
// starts and how often it fires.
//
//   reader.faults().add(Fault::split({4, 10}).on(0x6F));             // next XfrBlock answer
//   reader.faults().add(Fault::drop().on(0x62).after(1));             // the second power-on
//   manager.faults().add(Fault::delayBy(50ms).always());              // every answer
//   manager.faults().add(Fault::replace({0xD0, 0x01, 0x05}).on(0xCF)); // a failing status
//
// A fault counts the messages it matches: the first `after` of them pass untouched, the next
// `times` are hit (kAlways: every one from then on), then the fault is spent. The message a
// fault matches is device-specific: the CCID reader keys on the command's bMessageType (0x50
// for slot-change notifications, which only faults naming 0x50 touch), the management
// service on the request's tag. A fault without `on` matches every message of the device's
// main channel.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "vorasel/sim/BytePipe.h"

namespace hv::sim {

enum class FaultKind : uint8_t {
    // How an answer reaches the host (every device):
    Split,       // written in pieces, at `cuts` or at random points, `pause` between them
    Merge,       // held back and written together with the next message on that session
    Delay,       // written after `delay`
    Drop,        // never written
    Stale,       // the previous answer on that session is written again first
    Duplicate,   // written twice
    Corrupt,     // byte at `offset` (negative: from the end) XORed with `mask`
    Truncate,    // only the first `keep` bytes are written
    Replace,     // `replacement` is written instead (an answer the host did not ask for)
    EndSession,  // the device closes the session instead of answering
    // What the reader does around the card:
    TimeExtensionStorm,  // `count` time extensions before the answer, `pause` between them;
                         // with Merge as well, all of them and the answer in one write
    RemoveCard,          // the card is pulled `delay` after the command arrived, before it answers
    MuteCard,            // the card does not answer this command
};

const char *faultName(FaultKind kind);

struct Fault {
    static constexpr uint32_t kAlways = UINT32_MAX;

    FaultKind kind = FaultKind::Drop;
    std::optional<uint32_t> match;  // message it applies to; none: any on the main channel
    uint32_t skip = 0;              // matching messages let through first
    uint32_t limit = 1;             // matching messages hit, or kAlways

    std::vector<size_t> cuts;          // Split: offsets where a new piece starts; empty: random
    uint32_t pieces = 2;               // Split at random: number of pieces
    uint32_t seed = 1;                 // Split at random: reproducible cut points
    Clock::duration pause{};           // Split, TimeExtensionStorm: wait between writes
    Clock::duration delay{};           // Delay; RemoveCard: time from the command to the removal
    int offset = 0;                    // Corrupt
    uint8_t mask = 0xFF;               // Corrupt
    size_t keep = 0;                   // Truncate
    uint32_t count = 0;                // TimeExtensionStorm
    std::vector<uint8_t> replacement;  // Replace

    static Fault split(std::vector<size_t> cuts, Clock::duration pause = {});
    static Fault splitRandom(uint32_t pieces, uint32_t seed = 1, Clock::duration pause = {});
    static Fault merge();
    static Fault delayBy(Clock::duration delay);
    static Fault drop();
    static Fault stale();
    static Fault duplicate();
    static Fault corrupt(int offset, uint8_t mask = 0xFF);
    static Fault truncate(size_t keep);
    static Fault replace(std::vector<uint8_t> replacement);
    static Fault endSession();
    static Fault timeExtensionStorm(uint32_t count, Clock::duration pause = {});
    static Fault removeCard(Clock::duration delay = {});
    static Fault muteCard();

    Fault &on(uint32_t message) {
        match = message;
        return *this;
    }
    Fault &after(uint32_t n) {
        skip = n;
        return *this;
    }
    Fault &times(uint32_t n) {
        limit = n;
        return *this;
    }
    Fault &always() {
        limit = kAlways;
        return *this;
    }
};

// The faults that hit one message.
class FaultSet {
public:
    const Fault *find(FaultKind kind) const;
    bool has(FaultKind kind) const { return find(kind) != nullptr; }
    bool empty() const { return faults_.empty(); }
    void add(const Fault &fault) { faults_.push_back(fault); }
    // The same set without the faults of this kind.
    FaultSet without(FaultKind kind) const;

private:
    std::vector<Fault> faults_;
};

// The armed faults of one device; safe to script from a test thread while the device runs.
class FaultScript {
public:
    void add(Fault fault);
    void clear();

    // The faults that hit this message, each counted as fired. `mainChannel` says whether
    // faults without `on` apply. A random split's seed advances with every firing, so
    // successive hits cut differently but reproducibly.
    FaultSet take(uint32_t message, bool mainChannel = true);

    // How many messages faults of this kind have hit so far.
    uint32_t fired(FaultKind kind) const;
    // Faults not yet spent.
    size_t armed() const;

private:
    struct Armed {
        Fault fault;
        uint32_t seen = 0;
        uint32_t hit = 0;
    };
    mutable std::mutex mutex_;
    std::vector<Armed> armed_;
    uint32_t fired_[16] = {};
};

}  // namespace hv::sim
