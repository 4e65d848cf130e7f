#include "Smartcard/winscard/CallTrace.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "Smartcard/winscard/DriverResults.h"

namespace hv::pcsc::trace {

std::atomic<int> state{kUndecided};

namespace {

struct Totals {
    uint64_t calls = 0;
    double seconds = 0;
};

// Everything the trace keeps, under one lock. Never destroyed: calls may come in while the
// process exits.
struct Sink {
    std::mutex mutex;
    int fd = -1;
    bool ownsFd = false;
    bool exitHookSet = false;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::map<std::string, Totals> totals;
};

Sink &sink() {
    static Sink *s = new Sink;
    return *s;
}

void writeAll(int fd, const std::string &s) {
    const char *p = s.data();
    size_t left = s.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the trace must never fail a call
        p += n;
        left -= static_cast<size_t>(n);
    }
}

std::string summaryLocked(Sink &s) {
    std::vector<std::pair<std::string, Totals>> rows(s.totals.begin(), s.totals.end());
    std::sort(rows.begin(), rows.end(),
              [](const auto &a, const auto &b) { return a.second.seconds > b.second.seconds; });
    uint64_t calls = 0;
    double seconds = 0;
    for (const auto &[name, t] : rows) {
        calls += t.calls;
        seconds += t.seconds;
    }
    char line[160];
    std::snprintf(
        line, sizeof line, "\nSummary: %llu calls, %.6f s in SCard* functions\n  %8s  %12s  %s\n",
        static_cast<unsigned long long>(calls), seconds, "calls", "total (s)", "function");
    std::string out = line;
    for (const auto &[name, t] : rows) {
        std::snprintf(line, sizeof line, "  %8llu  %12.6f  %s\n",
                      static_cast<unsigned long long>(t.calls), t.seconds, name.c_str());
        out += line;
    }
    return out;
}

// Ends the trace: the summary, then the file is let go.
void stopLocked(Sink &s) {
    if (s.fd < 0) return;
    writeAll(s.fd, summaryLocked(s));
    if (s.ownsFd) ::close(s.fd);
    s.fd = -1;
    s.totals.clear();
}

void atExit() {
    Sink &s = sink();
    std::lock_guard lock(s.mutex);
    state.store(kOff, std::memory_order_relaxed);
    stopLocked(s);
}

bool openLocked(Sink &s, const char *destination, std::string &error) {
    stopLocked(s);
    if (!destination || !*destination) return false;
    if (std::strcmp(destination, "stderr") == 0) {
        s.fd = STDERR_FILENO;
        s.ownsFd = false;
    } else {
        // Owner-only: the trace holds APDUs.
        s.fd = ::open(destination, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (s.fd < 0) {
            error = std::string("cannot open ") + destination + ": " + std::strerror(errno);
            return false;
        }
        s.ownsFd = true;
    }
    s.start = std::chrono::steady_clock::now();
    if (!s.exitHookSet) s.exitHookSet = std::atexit(atExit) == 0;
    return true;
}

// The first call decides from the environment.
void decide() {
    Sink &s = sink();
    std::lock_guard lock(s.mutex);
    if (state.load() != kUndecided) return;
    const char *destination = std::getenv("VORASEL_TRACE");
    std::string error;
    const bool on = openLocked(s, destination, error);
    if (!error.empty()) {
        const std::string message = "libvorasel: VORASEL_TRACE: " + error + "\n";
        writeAll(STDERR_FILENO, message);
    }
    state.store(on ? kOn : kOff);
}

long threadId() {
    return static_cast<long>(::syscall(SYS_gettid));
}

}  // namespace

bool setDestination(const char *destination) {
    Sink &s = sink();
    std::lock_guard lock(s.mutex);
    std::string error;
    const bool on = openLocked(s, destination, error);
    state.store(on ? kOn : kOff);
    return on || !destination;
}

Call::Call(const char *function) : function_(function), active_(false) {
    if (state.load(std::memory_order_acquire) == kUndecided) decide();
    if (state.load(std::memory_order_acquire) != kOn) return;
    active_ = true;
    start_ = std::chrono::steady_clock::now();
    text_.reserve(256);
    text_ = function;
}

void Call::arg(char direction, const char *name, const std::string &value) {
    if (!active_) return;
    text_ += "\n ";
    text_ += direction;
    text_ += ' ';
    text_ += name;
    text_ += ": ";
    text_ += value;
}

Call &Call::in(const char *name, const std::string &value) {
    arg('i', name, value);
    return *this;
}

Call &Call::out(const char *name, const std::string &value) {
    arg('o', name, value);
    return *this;
}

LONG Call::end(LONG result) {
    if (!active_) return result;
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const char *name = resultName(result);
    char line[160];
    std::snprintf(line, sizeof line, "\n => %s (0x%08X) [%.6f s]\n", name ? name : "unknown",
                  static_cast<uint32_t>(result), seconds);
    Sink &s = sink();
    std::lock_guard lock(s.mutex);
    if (s.fd < 0) return result;
    char head[96];
    std::snprintf(head, sizeof head, "[+%.6f s, thread %ld] ",
                  std::chrono::duration<double>(start_ - s.start).count(), threadId());
    writeAll(s.fd, head + text_ + line);
    Totals &t = s.totals[function_];
    ++t.calls;
    t.seconds += seconds;
    return result;
}

// --- Argument text ---

std::string number(uint32_t value) {
    return std::to_string(value);
}

std::string handle(uint32_t value) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08X", value);
    return b;
}

std::string pointer(const void *value) {
    if (!value) return "NULL";
    char b[32];
    std::snprintf(b, sizeof b, "%p", value);
    return b;
}

namespace {

std::string named(DWORD value, std::initializer_list<std::pair<DWORD, const char *>> names) {
    for (const auto &[v, n] : names)
        if (v == value) return std::string(n) + " (" + handle(value) + ")";
    return handle(value);
}

}  // namespace

std::string scope(DWORD v) {
    return named(v, {{SCARD_SCOPE_USER, "SCARD_SCOPE_USER"},
                     {SCARD_SCOPE_TERMINAL, "SCARD_SCOPE_TERMINAL"},
                     {SCARD_SCOPE_SYSTEM, "SCARD_SCOPE_SYSTEM"}});
}

std::string share(DWORD v) {
    return named(v, {{SCARD_SHARE_EXCLUSIVE, "SCARD_SHARE_EXCLUSIVE"},
                     {SCARD_SHARE_SHARED, "SCARD_SHARE_SHARED"},
                     {SCARD_SHARE_DIRECT, "SCARD_SHARE_DIRECT"}});
}

std::string disposition(DWORD v) {
    return named(v, {{SCARD_LEAVE_CARD, "SCARD_LEAVE_CARD"},
                     {SCARD_RESET_CARD, "SCARD_RESET_CARD"},
                     {SCARD_UNPOWER_CARD, "SCARD_UNPOWER_CARD"},
                     {SCARD_EJECT_CARD, "SCARD_EJECT_CARD"}});
}

namespace {

std::string flags(DWORD v, std::initializer_list<std::pair<DWORD, const char *>> names,
                  const char *none) {
    std::string s;
    DWORD rest = v;
    for (const auto &[bit, n] : names) {
        if (!(v & bit)) continue;
        s += (s.empty() ? "" : " | ") + std::string(n);
        rest &= ~bit;
    }
    if (rest) s += (s.empty() ? "" : " | ") + handle(rest);
    return (s.empty() ? std::string(none) : s) + " (" + handle(v) + ")";
}

}  // namespace

std::string protocols(DWORD v) {
    return flags(
        v, {{SCARD_PROTOCOL_T0, "T=0"}, {SCARD_PROTOCOL_T1, "T=1"}, {SCARD_PROTOCOL_RAW, "RAW"}},
        "undefined");
}

std::string readerStates(DWORD v) {
    return flags(v,
                 {{SCARD_STATE_IGNORE, "IGNORE"},
                  {SCARD_STATE_CHANGED, "CHANGED"},
                  {SCARD_STATE_UNKNOWN, "UNKNOWN"},
                  {SCARD_STATE_UNAVAILABLE, "UNAVAILABLE"},
                  {SCARD_STATE_EMPTY, "EMPTY"},
                  {SCARD_STATE_PRESENT, "PRESENT"},
                  {SCARD_STATE_ATRMATCH, "ATRMATCH"},
                  {SCARD_STATE_EXCLUSIVE, "EXCLUSIVE"},
                  {SCARD_STATE_INUSE, "INUSE"},
                  {SCARD_STATE_MUTE, "MUTE"},
                  {SCARD_STATE_UNPOWERED, "UNPOWERED"}},
                 "UNAWARE");
}

std::string bytes(const uint8_t *data, size_t length) {
    if (!data) return "NULL";
    std::string s;
    s.reserve(length * 3 + 16);
    char b[4];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", data[i]);
        s += b;
    }
    return s + " (" + std::to_string(length) + " bytes)";
}

std::string commandApdu(const uint8_t *data, size_t length) {
    if (!data || length <= 5) return bytes(data, length);
    const uint8_t ins = data[1];
    const bool carriesPin = ins == 0x20 || ins == 0x21 || ins == 0x24 || ins == 0x2C;
    if (!carriesPin) return bytes(data, length);
    // The header and the length byte stay; everything after them is the reference data.
    std::string s = bytes(data, 5);
    s.resize(s.rfind(" ("));
    return s + " [" + std::to_string(length - 5) + " bytes masked] (" + std::to_string(length) +
           " bytes)";
}

std::string text(const char *value, size_t limit) {
    if (!value) return "NULL";
    std::string s = "\"";
    for (size_t i = 0; i < limit && value[i]; ++i) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            s += static_cast<char>(c);
        } else {
            char b[8];
            std::snprintf(b, sizeof b, "\\x%02X", c);
            s += b;
        }
    }
    return s + "\"";
}

std::string multiString(const char *value, DWORD length) {
    if (!value) return "NULL";
    std::string s;
    for (DWORD at = 0; at < length && value[at];) {
        const size_t n = strnlen(value + at, length - at);
        s += (s.empty() ? "" : ", ") + text(value + at, n);
        at += static_cast<DWORD>(n) + 1;
    }
    return s.empty() ? "(empty)" : s;
}

}  // namespace hv::pcsc::trace
