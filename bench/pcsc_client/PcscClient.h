// One PC/SC client, written once against the standard PC/SC names and compiled twice: against
// libvorasel's winscard.h and against pcsc-lite's. Both builds make exactly the same calls, so
// their figures compare the two stacks and nothing else.
//
// Include after the PC/SC header of the build. The card is put in and taken out by a
// CardTrigger of the build (the simulated case's reader, or an echo card at vpcd's port); it
// must answer INS EE with its command data and 90 00, and offer T=0 and T=1.
//
// Output: one JSON object per line, {"name":..., "samples":..., "median_us":..., "p99_us":...}.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace pcsc_client {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

class CardTrigger {
public:
    virtual ~CardTrigger() = default;
    virtual void insert() = 0;
    virtual void remove() = 0;
};

// The 64 KiB extended APDU: 65,535 bytes in all (header, 3-byte Lc, data, 2-byte Le), the
// most vpcd's 2-byte length field can carry; the answer is the data and 90 00.
inline constexpr size_t kExtendedData = 65535 - 4 - 3 - 2;

struct Options {
    int shortApdus = 5000;
    int mediumApdus = 2000;
    int extendedApdus = 50;
    int cardEvents = 50;  // of each kind
};

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

inline void report(const std::string &name, std::vector<double> us) {
    if (us.empty()) {
        std::printf("{\"name\":\"%s\",\"samples\":0}\n", name.c_str());
        return;
    }
    std::sort(us.begin(), us.end());
    const double median = us[us.size() / 2];
    const double p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    std::printf(
        "{\"name\":\"%s\",\"samples\":%zu,\"median_us\":%.2f,\"p99_us\":%.2f,\"max_us\":%.2f}\n",
        name.c_str(), us.size(), median, p99, us.back());
    std::fflush(stdout);
}

inline double microsSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

class Client {
public:
    Client(CardTrigger &trigger, Options options) : trigger_(trigger), options_(options) {}

    // Everything in order; false (after a line on stderr) when a call failed.
    bool run() {
        if (!check(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context_),
                   "SCardEstablishContext"))
            return false;
        if (!findReader()) return false;
        trigger_.insert();
        if (!waitFor(SCARD_STATE_PRESENT, 10000)) return false;

        if (!connect(SCARD_PROTOCOL_T1)) return false;
        if (!transmitSeries("transmit_t1_short_echo", echoCommand(4, true), options_.shortApdus) ||
            !transmitSeries("transmit_t1_260_byte_command", echoCommand(255, false),
                            options_.mediumApdus) ||
            !transmitSeries("transmit_t1_extended_64k", echoCommand(kExtendedData, true),
                            options_.extendedApdus))
            return false;
        SCardDisconnect(card_, SCARD_RESET_CARD);
        if (!connect(SCARD_PROTOCOL_T0)) return false;
        if (!transmitSeries("transmit_t0_short_echo", echoCommand(4, false), options_.shortApdus))
            return false;
        SCardDisconnect(card_, SCARD_LEAVE_CARD);
        cardEvents();
        SCardReleaseContext(context_);
        return true;
    }

private:
    bool check(LONG rv, const char *what) {
        if (rv == SCARD_S_SUCCESS) return true;
        std::fprintf(stderr, "pcsc client: %s failed: 0x%08lX\n", what,
                     static_cast<unsigned long>(static_cast<uint32_t>(rv)));
        return false;
    }

    bool findReader() {
        DWORD length = sizeof readers_;
        if (!check(SCardListReaders(context_, nullptr, readers_, &length), "SCardListReaders"))
            return false;
        return true;  // the first reader of the list
    }

    // Waits until the reader state has `bits`; the state is kept for the next wait.
    bool waitFor(DWORD bits, DWORD timeoutMs) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < deadline) {
            SCARD_READERSTATE state = {};
            state.szReader = readers_;
            state.dwCurrentState = known_;
            const LONG rv = SCardGetStatusChange(context_, 1000, &state, 1);
            if (rv == SCARD_S_SUCCESS)
                known_ = state.dwEventState & ~SCARD_STATE_CHANGED;
            else if (rv != SCARD_E_TIMEOUT)
                return check(rv, "SCardGetStatusChange");
            if ((known_ & bits) == bits) return true;
        }
        std::fprintf(stderr, "pcsc client: reader state 0x%lX never had 0x%lX\n",
                     static_cast<unsigned long>(known_), static_cast<unsigned long>(bits));
        return false;
    }

    bool connect(DWORD protocol) {
        DWORD active = 0;
        if (!check(SCardConnect(context_, readers_, SCARD_SHARE_SHARED, protocol, &card_, &active),
                   "SCardConnect"))
            return false;
        pci_ = active == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
        if (active != protocol) {
            std::fprintf(stderr, "pcsc client: asked for protocol %lu, got %lu\n",
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
        for (int i = -warmUp; i < count; ++i) {
            DWORD length = static_cast<DWORD>(response.size());
            const auto t0 = Clock::now();
            const LONG rv =
                SCardTransmit(card_, pci_, command.data(), static_cast<DWORD>(command.size()),
                              nullptr, response.data(), &length);
            const double took = microsSince(t0);
            if (!check(rv, name)) return false;
            if (length < 2 || (response[length - 2] != 0x90 && response[length - 2] != 0x61)) {
                std::fprintf(stderr, "pcsc client: %s: unexpected answer\n", name);
                return false;
            }
            if (i >= 0) us.push_back(took);
        }
        report(name, us);
        return true;
    }

    // Insertion and removal seen by a waiting SCardGetStatusChange, from the moment the card
    // was put in or taken out. The waiter is given a moment to block before each change.
    void cardEvents() {
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
                    trigger_.insert();
            });
            const DWORD want = present ? SCARD_STATE_EMPTY : SCARD_STATE_PRESENT;
            bool seen = false;
            for (int round = 0; round < 20 && !seen; ++round) {
                SCARD_READERSTATE state = {};
                state.szReader = readers_;
                state.dwCurrentState = known_;
                const LONG rv = SCardGetStatusChange(context_, 5000, &state, 1);
                const auto at = Clock::now();
                if (rv != SCARD_S_SUCCESS) continue;
                known_ = state.dwEventState & ~SCARD_STATE_CHANGED;
                if (known_ & want) {
                    seen = true;
                    change.join();
                    const double us =
                        std::chrono::duration<double, std::micro>(
                            at.time_since_epoch() - Clock::duration(triggeredAt.load()))
                            .count();
                    (present ? removed : inserted).push_back(us);
                }
            }
            if (change.joinable()) change.join();
            if (!seen) {
                std::fprintf(stderr, "pcsc client: a card %s was never seen\n",
                             present ? "removal" : "insertion");
                break;
            }
        }
        report("status_change_insertion", inserted);
        report("status_change_removal", removed);
    }

    CardTrigger &trigger_;
    Options options_;
    SCARDCONTEXT context_ = 0;
    SCARDHANDLE card_ = 0;
    const SCARD_IO_REQUEST *pci_ = nullptr;
    char readers_[256] = {};
    DWORD known_ = SCARD_STATE_UNAWARE;
};

}  // namespace pcsc_client
