// vorasel scan [--card KIND | --empty] [--events N] [--timeout MS] [--cycle MS] [--json]
// Watches the reader as pcsc_scan does: waits with SCardGetStatusChange and prints each reader
// and card event with a timestamp, and the decoded ATR of each card that arrives. Cards are
// powered as they come in (the automatic power-on attribute) so that their ATR can be shown.
#include <sys/time.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AtrReport.h"
#include "Command.h"
#include "Hex.h"
#include "PcscSession.h"
#include "ToolCase.h"
#include "vorasel/HVAccessory.h"
#include "vorasel/HVHost.h"

namespace vorasel::tool {
namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

std::string timestamp() {
    timeval tv;
    gettimeofday(&tv, nullptr);
    tm local;
    localtime_r(&tv.tv_sec, &local);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<long>(tv.tv_usec / 1000));
    return buf;
}

std::vector<std::string> flagNames(DWORD state) {
    static const std::pair<DWORD, const char *> names[] = {
        {SCARD_STATE_UNKNOWN, "UNKNOWN"},     {SCARD_STATE_UNAVAILABLE, "UNAVAILABLE"},
        {SCARD_STATE_EMPTY, "EMPTY"},         {SCARD_STATE_PRESENT, "PRESENT"},
        {SCARD_STATE_EXCLUSIVE, "EXCLUSIVE"}, {SCARD_STATE_INUSE, "INUSE"},
        {SCARD_STATE_MUTE, "MUTE"},           {SCARD_STATE_UNPOWERED, "UNPOWERED"}};
    std::vector<std::string> out;
    for (const auto &[bit, name] : names)
        if (state & bit) out.push_back(name);
    return out;
}

std::string eventName(bool first, DWORD before, DWORD now) {
    if (first) return "reader state";
    if ((now & SCARD_STATE_PRESENT) && !(before & SCARD_STATE_PRESENT)) return "card inserted";
    if ((now & SCARD_STATE_EMPTY) && !(before & SCARD_STATE_EMPTY)) return "card removed";
    if (now == SCARD_STATE_UNKNOWN) return "card state unknown";
    if ((now & SCARD_STATE_INUSE) != (before & SCARD_STATE_INUSE))
        return now & SCARD_STATE_INUSE ? "card in use" : "card released";
    return "reader state changed";
}

// Waits for the accessory to be announced (a reader without its accessory cannot be watched).
class AccessoryArrival {
public:
    AccessoryArrival() {
        token_ = HVHost::addObserver(HVAccessoryDidConnectNotification,
                                     [this](const char *, const void *) {
                                         std::lock_guard lock(mutex_);
                                         arrived_ = true;
                                         changed_.notify_all();
                                     });
    }
    ~AccessoryArrival() { HVHost::removeObserver(token_); }
    bool waitUntil(Clock::time_point deadline) {
        std::unique_lock lock(mutex_);
        const bool arrived = changed_.wait_until(
            lock, deadline, [&] { return arrived_ || HVAccessory::sharedClass().isConnected(); });
        arrived_ = false;
        return arrived;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool arrived_ = false;
    HVHost::ObserverToken token_ = 0;
};

void usage(FILE *out) {
    std::fprintf(out,
                 "usage: vorasel scan [--card %s | --empty] [--events N]\n"
                 "                    [--timeout MS] [--cycle MS] [--json]\n"
                 "  prints each reader and card event until N events (default: no end) or\n"
                 "  MS milliseconds have passed; --cycle pulls and reinserts the embedded\n"
                 "  case's card every MS milliseconds\n"
                 "  exit status: 0 done, 1 a PC/SC failure, 2 bad arguments\n",
                 ToolCase::cardKinds().c_str());
}

bool number(const std::string &text, long &out) {
    char *end = nullptr;
    out = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && end && !*end && out >= 0;
}

int run(const std::vector<std::string> &args) {
    std::string kind = "t1";
    long events = -1, timeoutMs = -1, cycleMs = 0;
    bool json = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--card" && hasValue) {
            kind = args[++i];
        } else if (a == "--empty") {
            kind.clear();
        } else if (a == "--events" && hasValue && number(args[i + 1], events)) {
            ++i;
        } else if (a == "--timeout" && hasValue && number(args[i + 1], timeoutMs)) {
            ++i;
        } else if (a == "--cycle" && hasValue && number(args[i + 1], cycleMs) && cycleMs > 0) {
            ++i;
        } else if (a == "--json") {
            json = true;
        } else if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else {
            std::fprintf(stderr, "vorasel scan: unknown or incomplete argument '%s'\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    std::string error;
    auto theCase = ToolCase::open(kind, error);
    if (!theCase) {
        std::fprintf(stderr, "vorasel scan: %s\n", error.c_str());
        return 2;
    }
    if (cycleMs > 0 && !theCase->cycleCard(std::chrono::milliseconds(cycleMs))) {
        std::fprintf(stderr, "vorasel scan: --cycle needs the embedded case with a card\n");
        return 2;
    }
    const auto deadline = timeoutMs >= 0 ? Clock::now() + std::chrono::milliseconds(timeoutMs)
                                         : Clock::time_point::max();
    auto remainingMs = [&]() -> DWORD {
        if (timeoutMs < 0) return INFINITE;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return left > 0 ? static_cast<DWORD>(left) : 0;
    };

    AccessoryArrival arrival;
    PcscSession pcsc;
    LONG rv = pcsc.establish();
    if (rv != SCARD_S_SUCCESS) {
        std::fprintf(stderr, "vorasel scan: %s: %s\n", pcsc.failedCall(), pcscError(rv).c_str());
        return 1;
    }
    const BYTE on = 1;
    SCardSetAttrib(0, SCARD_ATTR_VENDOR_AUTO_POWER_ON, &on, 1);
    if (!json) std::printf("%s\nwatching %s\n", theCase->description().c_str(), sc_reader_name);
    std::fflush(stdout);

    DWORD known = SCARD_STATE_UNAWARE;
    long seen = 0;
    bool readerGone = false;
    while (events < 0 || seen < events) {
        SCARD_READERSTATE state = {};
        state.szReader = sc_reader_name;
        state.dwCurrentState = known;
        rv = SCardGetStatusChange(pcsc.context(), remainingMs(), &state, 1);
        if (rv == SCARD_E_TIMEOUT) {
            if (Clock::now() >= deadline) break;
            continue;
        }
        if (rv == SCARD_E_UNKNOWN_READER || rv == SCARD_E_READER_UNAVAILABLE) {
            // The accessory left, or its reader closed: say so once, then wait for it.
            if (!readerGone) {
                ++seen;
                if (json)
                    std::printf(
                        "{\"time\":%s,\"reader\":%s,\"event\":\"reader "
                        "unavailable\",\"result\":%s}\n",
                        jsonString(timestamp()).c_str(), jsonString(sc_reader_name).c_str(),
                        jsonString(pcscError(rv)).c_str());
                else
                    std::printf("%s  %s: reader unavailable (%s)\n", timestamp().c_str(),
                                sc_reader_name, pcscError(rv).c_str());
                std::fflush(stdout);
            }
            readerGone = true;
            if (rv == SCARD_E_UNKNOWN_READER) {
                // Gone with its accessory: report the state afresh when it is back.
                known = SCARD_STATE_UNAWARE;
                if (!arrival.waitUntil(deadline)) break;
            } else {
                // Closed with the accessory still there: nothing to wait on but time.
                std::this_thread::sleep_until(
                    std::min(deadline, Clock::now() + std::chrono::milliseconds(100)));
                if (Clock::now() >= deadline) break;
            }
            continue;
        }
        if (rv != SCARD_S_SUCCESS) break;
        readerGone = false;
        const DWORD now = state.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
        const std::string what = eventName(known == SCARD_STATE_UNAWARE, known, now);
        known = now;
        ++seen;
        const Bytes atr(state.rgbAtr, state.rgbAtr + state.cbAtr);
        const bool showAtr = (now & SCARD_STATE_PRESENT) && !atr.empty();
        char value[16];
        std::snprintf(value, sizeof value, "0x%04X", now);
        if (json) {
            std::string flags;
            for (const auto &f : flagNames(now))
                flags += (flags.empty() ? "" : ",") + jsonString(f);
            std::printf(
                "{\"time\":%s,\"reader\":%s,\"event\":%s,\"state\":%s,\"flags\":[%s],\"atr\":%s}\n",
                jsonString(timestamp()).c_str(), jsonString(sc_reader_name).c_str(),
                jsonString(what).c_str(), jsonString(value).c_str(), flags.c_str(),
                showAtr ? atrJson(describeAtr(atr)).c_str() : "null");
        } else {
            std::string flags;
            for (const auto &f : flagNames(now))
                flags += " " + f;
            std::printf("%s  %s: %s, state%s (%s)\n", timestamp().c_str(), sc_reader_name,
                        what.c_str(), flags.c_str(), value);
            if (showAtr) std::printf("%s", atrText(describeAtr(atr), "    ").c_str());
        }
        std::fflush(stdout);
    }
    if (rv != SCARD_S_SUCCESS && rv != SCARD_E_TIMEOUT && rv != SCARD_E_UNKNOWN_READER &&
        rv != SCARD_E_READER_UNAVAILABLE) {
        std::fprintf(stderr, "vorasel scan: SCardGetStatusChange: %s\n", pcscError(rv).c_str());
        return 1;
    }
    return 0;
}

const Command scanCommand{"scan", "[--events N] [--json]", "watch the reader's card events", run};

}  // namespace
}  // namespace vorasel::tool
