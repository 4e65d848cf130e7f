// One PC/SC client, written once against the standard PC/SC names, for every comparison: it is
// compiled against libvorasel's winscard.h and against pcsc-lite's, and measures a reader
// through pcscd (the Vorasel reader module, or vsmartcard's vpcd with an echo card) as well as
// libvorasel itself. Every build makes exactly the same calls, so two builds' figures compare
// the two stacks, or the two readers, and nothing else.
//
// Include after the PC/SC header of the build. The card is put in and taken out by a
// CardTrigger of the build; it must answer INS EE with its command data and 90 00.
//
// Output: one JSON object per line, {"name":..., "samples":..., "median_us":..., "p99_us":...}.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace pcsc_client {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

class CardTrigger {
public:
    virtual ~CardTrigger() = default;
    // A card offering `protocol` (SCARD_PROTOCOL_T0 or SCARD_PROTOCOL_T1) into the reader; a
    // trigger whose card offers both may ignore it. False when the card could not go in.
    virtual bool insert(DWORD protocol) = 0;
    // False when there is no way to take the card out.
    virtual bool remove() = 0;
};

// The 64 KiB extended APDU: 65,535 bytes in all (header, 3-byte Lc, data, 2-byte Le), the
// most vpcd's 2-byte length field can carry; the answer is the data and 90 00.
inline constexpr size_t kExtendedData = 65535 - 4 - 3 - 2;

struct Options {
    int shortApdus = 5000;
    int mediumApdus = 2000;
    int extendedApdus = 50;
    int cardEvents = 50;  // of each kind; 0 measures none
    std::string reader;   // empty: the first reader listed
    std::string label = "pcsc client";
    // Heap allocations so far in this process, where the build can count them: each series
    // then reports its allocations per APDU.
    uint64_t (*allocations)() = nullptr;
};

// ECHO of n bytes: short (Lc, Le) up to 255, extended above.
inline Bytes echoCommand(size_t n, bool withLe) {
    Bytes apdu = {0x00, 0xEE, 0x00, 0x00};
    if (n > 255)
        apdu.insert(apdu.end(), {0x00, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
    else
        apdu.push_back(static_cast<uint8_t>(n));
    for (size_t i = 0; i < n; ++i)
        apdu.push_back(static_cast<uint8_t>(i * 7 + 1));
    if (withLe) {
        if (n > 255)
            apdu.insert(apdu.end(), {0x00, 0x00});
        else
            apdu.push_back(0x00);
    }
    return apdu;
}

inline void report(const std::string &name, std::vector<double> us, double allocsPerApdu = -1) {
    if (us.empty()) {
        std::printf("{\"name\":\"%s\",\"samples\":0}\n", name.c_str());
        return;
    }
    std::sort(us.begin(), us.end());
    const double median = us[us.size() / 2];
    const double p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    char allocs[48] = "";
    if (allocsPerApdu >= 0)
        std::snprintf(allocs, sizeof allocs, ",\"allocs_per_apdu\":%.3f", allocsPerApdu);
    std::printf(
        "{\"name\":\"%s\",\"samples\":%zu,\"median_us\":%.2f,\"p99_us\":%.2f,\"max_us\":%.2f%s}\n",
        name.c_str(), us.size(), median, p99, us.back(), allocs);
    std::fflush(stdout);
}

inline double microsSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

// Parses the options every client takes, from argv[first] on: --short N, --events N.
inline void readCounts(int argc, char **argv, int first, Options &options) {
    for (int i = first; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--short") options.shortApdus = std::atoi(argv[i + 1]);
        if (a == "--events") options.cardEvents = std::atoi(argv[i + 1]);
    }
}

class Client {
public:
    Client(CardTrigger &trigger, Options options)
        : trigger_(trigger), options_(std::move(options)) {}

    // Everything in order; false (after a line on stderr) when a call failed.
    bool run() {
        if (!check(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context_),
                   "SCardEstablishContext"))
            return false;
        const bool ok = runSeries();
        SCardReleaseContext(context_);
        return ok;
    }

private:
    bool runSeries() {
        if (!findReader()) return false;
        if (!freshCard(SCARD_PROTOCOL_T1) || !connect(SCARD_PROTOCOL_T1)) return false;
        if (!transmitSeries("transmit_t1_short_echo", echoCommand(4, true), options_.shortApdus) ||
            !transmitSeries("transmit_t1_260_byte_command", echoCommand(255, false),
                            options_.mediumApdus) ||
            !transmitSeries("transmit_t1_extended_64k", echoCommand(kExtendedData, true),
                            options_.extendedApdus))
            return false;
        SCardDisconnect(card_, SCARD_RESET_CARD);
        if (!freshCard(SCARD_PROTOCOL_T0) || !connect(SCARD_PROTOCOL_T0)) return false;
        if (!transmitSeries("transmit_t0_short_echo", echoCommand(4, false), options_.shortApdus))
            return false;
        SCardDisconnect(card_, SCARD_LEAVE_CARD);
        return options_.cardEvents == 0 || cardEvents();
    }

    bool check(LONG rv, const char *what) {
        if (rv == SCARD_S_SUCCESS) return true;
        std::fprintf(stderr, "%s: %s failed: 0x%08lX\n", options_.label.c_str(), what,
                     static_cast<unsigned long>(static_cast<uint32_t>(rv)));
        return false;
    }

    // The reader asked for, or the first one listed. A pcscd lists a reader.conf.d reader from
    // its start, but the case behind it may come a little later: wait up to 10 s.
    bool findReader() {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < deadline) {
            char names[1024];
            DWORD length = sizeof names;
            if (SCardListReaders(context_, nullptr, names, &length) == SCARD_S_SUCCESS &&
                names[0]) {
                for (const char *p = names; *p; p += std::strlen(p) + 1) {
                    if (options_.reader.empty() || options_.reader == p) {
                        reader_ = p;
                        return true;
                    }
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::fprintf(stderr, "%s: no reader '%s'\n", options_.label.c_str(),
                     options_.reader.c_str());
        return false;
    }

    // A card offering `protocol` in the reader, and the stack done with it. A card already in is
    // taken out first and its removal awaited: a card swapped at once could meet the connect
    // halfway through the swap (a race any client of any reader would have).
    bool freshCard(DWORD protocol) {
        if (!waitFor(0)) return false;
        if ((known_ & SCARD_STATE_PRESENT) && trigger_.remove() && !waitFor(SCARD_STATE_EMPTY))
            return false;
        if (known_ & SCARD_STATE_PRESENT) return true;  // a card that stays in
        return trigger_.insert(protocol) && waitFor(SCARD_STATE_PRESENT);
    }

    // Waits (10 s at most) until the reader's state has `bits`; the state is kept for the next
    // wait.
    bool waitFor(DWORD bits) {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < deadline) {
            SCARD_READERSTATE state = {};
            state.szReader = reader_.c_str();
            state.dwCurrentState = known_;
            const LONG rv = SCardGetStatusChange(context_, 1000, &state, 1);
            if (rv == SCARD_S_SUCCESS)
                known_ = state.dwEventState & ~SCARD_STATE_CHANGED;
            else if (rv != SCARD_E_TIMEOUT)
                return check(rv, "SCardGetStatusChange");
            if ((known_ & bits) == bits && !(known_ & SCARD_STATE_MUTE)) return true;
        }
        std::fprintf(stderr, "%s: reader state 0x%lX never had 0x%lX\n", options_.label.c_str(),
                     static_cast<unsigned long>(known_), static_cast<unsigned long>(bits));
        return false;
    }

    bool connect(DWORD protocol) {
        DWORD active = 0;
        if (!check(SCardConnect(context_, reader_.c_str(), SCARD_SHARE_SHARED, protocol, &card_,
                                &active),
                   "SCardConnect"))
            return false;
        pci_ = active == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
        if (active != protocol) {
            std::fprintf(stderr, "%s: asked for protocol %lu, got %lu\n", options_.label.c_str(),
                         static_cast<unsigned long>(protocol), static_cast<unsigned long>(active));
            return false;
        }
        return true;
    }

    bool transmitSeries(const char *name, const Bytes &command, int count) {
        std::vector<uint8_t> response(65536 + 16);
        std::vector<double> us;
        us.reserve(static_cast<size_t>(count));
        const int warmUp = std::max(3, count / 20);
        uint64_t allocationsAtStart = 0;
        for (int i = -warmUp; i < count; ++i) {
            if (i == 0 && options_.allocations) allocationsAtStart = options_.allocations();
            DWORD length = static_cast<DWORD>(response.size());
            const auto t0 = Clock::now();
            const LONG rv =
                SCardTransmit(card_, pci_, command.data(), static_cast<DWORD>(command.size()),
                              nullptr, response.data(), &length);
            const double took = microsSince(t0);
            if (!check(rv, name)) return false;
            if (length < 2 || (response[length - 2] != 0x90 && response[length - 2] != 0x61)) {
                std::fprintf(stderr, "%s: %s: unexpected answer\n", options_.label.c_str(), name);
                return false;
            }
            if (i >= 0) us.push_back(took);
        }
        // Counted over the whole series; the timing vector was reserved before it.
        const double allocs =
            options_.allocations && count > 0
                ? static_cast<double>(options_.allocations() - allocationsAtStart) / count
                : -1;
        report(name, us, allocs);
        return true;
    }

    // Insertion and removal seen by a waiting SCardGetStatusChange, from the moment the card
    // was put in or taken out. The waiter is given a moment to block before each change.
    bool cardEvents() {
        std::vector<double> inserted, removed;
        for (int i = 0; i < options_.cardEvents * 2; ++i) {
            const bool present = (known_ & SCARD_STATE_PRESENT) != 0;
            std::atomic<int64_t> triggeredAt{0};
            std::thread change([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(20 + i % 7));
                triggeredAt.store(Clock::now().time_since_epoch().count());
                if (present)
                    trigger_.remove();
                else
                    trigger_.insert(SCARD_PROTOCOL_T1);
            });
            const DWORD want = present ? SCARD_STATE_EMPTY : SCARD_STATE_PRESENT;
            bool seen = false;
            for (int round = 0; round < 20 && !seen; ++round) {
                SCARD_READERSTATE state = {};
                state.szReader = reader_.c_str();
                state.dwCurrentState = known_;
                const LONG rv = SCardGetStatusChange(context_, 5000, &state, 1);
                const auto at = Clock::now();
                if (rv != SCARD_S_SUCCESS) continue;
                known_ = state.dwEventState & ~SCARD_STATE_CHANGED;
                if (known_ & want) {
                    seen = true;
                    change.join();
                    (present ? removed : inserted)
                        .push_back(std::chrono::duration<double, std::micro>(
                                       at.time_since_epoch() - Clock::duration(triggeredAt.load()))
                                       .count());
                }
            }
            if (change.joinable()) change.join();
            if (!seen) {
                std::fprintf(stderr, "%s: a card %s was never seen\n", options_.label.c_str(),
                             present ? "removal" : "insertion");
                return false;
            }
        }
        report("status_change_insertion", inserted);
        report("status_change_removal", removed);
        return true;
    }

    CardTrigger &trigger_;
    const Options options_;
    std::string reader_;
    SCARDCONTEXT context_ = 0;
    SCARDHANDLE card_ = 0;
    const SCARD_IO_REQUEST *pci_ = nullptr;
    DWORD known_ = SCARD_STATE_UNAWARE;
};

}  // namespace pcsc_client
