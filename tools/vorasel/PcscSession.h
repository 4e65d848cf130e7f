// One context and at most one card connection through the PC/SC functions, as the tool's
// commands use them; failures carry the PC/SC code, printed by name and value.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "vorasel/winscard.h"

namespace vorasel::tool {

// "SCARD_E_NO_SMARTCARD (0x8010000C)"; an unknown value prints as "0x........".
std::string pcscError(LONG code);

// "t0", "t1" or "any" as a protocol mask; 0 for anything else.
DWORD protocolMask(const std::string &name);
const char *protocolName(DWORD protocol);

class PcscSession;

// The end of a command's run: with `json`, closes the report `j` with "ok" (and the failing
// call and result) and prints it; a failure is also reported on stderr as "vorasel COMMAND:
// CALL: RESULT". Returns the exit status, 0 or 1.
int finishRun(const char *command, bool json, std::string &j, LONG rv, const PcscSession &pcsc);

class PcscSession {
public:
    PcscSession() = default;
    ~PcscSession();  // leaves the card as it is and releases the context
    PcscSession(const PcscSession &) = delete;
    PcscSession &operator=(const PcscSession &) = delete;

    LONG establish();
    // Waits until a card is in the reader; SCARD_E_TIMEOUT when none came in time.
    LONG waitForCard(std::chrono::milliseconds timeout);
    LONG connect(DWORD preferredProtocols);
    LONG transmit(const std::vector<uint8_t> &command, std::vector<uint8_t> &response);
    // Cold reset of the card, the protocol negotiated again.
    LONG reset();
    std::vector<uint8_t> atr();

    SCARDCONTEXT context() const { return context_; }
    DWORD protocol() const { return protocol_; }

    // The last failing call, for messages: "SCardConnect".
    const char *failedCall() const { return failedCall_; }

private:
    LONG check(LONG rv, const char *call);

    SCARDCONTEXT context_ = 0;
    SCARDHANDLE card_ = 0;
    bool connected_ = false;
    DWORD preferred_ = 0;
    DWORD protocol_ = 0;
    const char *failedCall_ = "";
};

}  // namespace vorasel::tool
