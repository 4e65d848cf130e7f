// The PC/SC call trace: with VORASEL_TRACE=FILE (or "stderr") in the environment, every
// SCard* call is written with its arguments (i: in, o: out), its result by name and its
// duration, and the trace ends, at process exit, with the calls, counts and total time per
// function. The variable is read once, at the first SCard* call.
//
// What it never writes: PINs. The data of VERIFY, CHANGE REFERENCE DATA and RESET RETRY
// COUNTER commands (INS 20, 21, 24, 2C) are masked, whoever sends them (an application, the
// object interface, a plug-in host's verify call); the buffers of SCardControl are shown by
// length only. Other APDU bytes are written as they are.
//
// With tracing off a call pays one load and one branch (off()); the rest is out of line.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "vorasel/winscard.h"

namespace hv::pcsc::trace {

enum State : int { kUndecided = 0, kOff = 1, kOn = 2 };
extern std::atomic<int> state;

inline bool off() {
    return state.load(std::memory_order_relaxed) == kOff;
}

// One traced call: built at entry, written by end().
class Call {
public:
    explicit Call(const char *function);
    // False when tracing turned out to be off: nothing is recorded.
    explicit operator bool() const { return active_; }

    Call &in(const char *name, const std::string &value);
    Call &out(const char *name, const std::string &value);
    // Writes the record and the result; returns `result`.
    LONG end(LONG result);

private:
    void arg(char direction, const char *name, const std::string &value);

    const char *function_;
    bool active_;
    std::chrono::steady_clock::time_point start_;
    std::string text_;
};

// Sends the trace to `destination` ("stderr" or a file, appended to), or ends it (null):
// a trace that ends writes its summary. For tests and benchmarks; applications use the
// environment. False when the file cannot be opened (tracing is then off).
bool setDestination(const char *destination);

// Argument text.
std::string handle(uint32_t value);
std::string number(uint32_t value);
std::string scope(DWORD value);
std::string share(DWORD value);
std::string protocols(DWORD value);
std::string disposition(DWORD value);
std::string readerStates(DWORD value);
std::string bytes(const uint8_t *data, size_t length);
// A command APDU, its data masked when it carries a PIN.
std::string commandApdu(const uint8_t *data, size_t length);
std::string text(const char *value, size_t limit = 256);
std::string multiString(const char *value, DWORD length);
std::string pointer(const void *value);

}  // namespace hv::pcsc::trace
