// Turns the packets of a USB capture into CCID messages for `vorasel trace`: finds the CCID
// readers (interfaces of class 0x0B in the configuration descriptors the capture holds, or,
// for a capture that starts after enumeration, bulk transfers shaped as CCID messages),
// decodes each message, follows T=1 blocks and chains into APDUs, pairs each response with
// its command for the round-trip time, and names the status words. DEZ frames of our own
// captures (LINKTYPE_USER0) are named too.
//
// Fed untrusted bytes: every field is checked against the bytes present, chains are bounded.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "vorasel/sim/CaptureFormat.h"
#include "vorasel/sim/CaptureReader.h"

namespace vorasel::tool {

struct TraceBlock {
    char kind = 0;      // 'I', 'R' or 'S'
    int sequence = -1;  // N(S) of an I-block, N(R) of an R-block
    bool more = false;  // M of an I-block
    std::string text;   // "I(0) M", "R(1) EDC error", "S(WTX request) 2"
};

struct TraceLine {
    int64_t timeNanos = 0;  // since the epoch
    bool out = true;        // host to reader
    std::string device;     // "1.2" (bus.address), or "dez"
    std::string message;    // "PC_to_RDR_XfrBlock"
    int type = -1;          // bMessageType
    int slot = -1, seq = -1;
    std::string status;  // of a response: "processed, card active", "failed: ICC_MUTE, ..."
    std::string detail;  // what the message carries: "PPS FF 11 13 FD", "ATR 3B ...", ...
    std::optional<TraceBlock> block;  // T=1
    std::vector<uint8_t> apdu;        // a command or response APDU completed by this message
    bool hasApdu = false;
    std::optional<uint16_t> sw;
    std::string swMeaning;
    std::optional<double> rttMs;   // since the command this answers
    std::optional<double> apduMs;  // a response APDU: since its command APDU began
};

class CcidTrace {
public:
    // Appends the lines this packet makes (none for packets of other devices).
    void packet(const hv::sim::capture::CapturedPacket &packet, std::vector<TraceLine> &out);
    size_t readers() const { return readers_.size(); }
    // Packets that were not usbmon events or CCID messages of a known reader.
    uint64_t skipped() const { return skipped_; }

private:
    using Device = std::pair<uint16_t, uint8_t>;  // bus, address
    struct Pending {
        int type;
        int64_t time;
        bool pps;
    };
    struct Reader {
        std::set<uint8_t> endpoints;     // bulk and interrupt endpoints of the CCID interface
        int protocol = -1;               // -1 unknown, 0 T=0, 1 T=1
        bool ppsAllowed = false;         // between power-on and the first other exchange
        std::map<int, Pending> pending;  // by bSeq
        std::vector<uint8_t> chain[2];   // T=1 I-block chains: [0] host to card, [1] back
        int64_t apduStart = 0;
    };

    void controlTransfer(const Device &device, const hv::sim::capture::UsbmonHeader &h,
                         const std::vector<uint8_t> &data);
    void configuration(const Device &device, const std::vector<uint8_t> &data, size_t at);
    bool looksLikeCcid(bool in, const std::vector<uint8_t> &data, size_t at) const;
    void message(Reader &reader, const Device &device, bool out, int64_t time, const uint8_t *bytes,
                 size_t length, uint32_t wireLength, std::vector<TraceLine> &lines);
    void payload(Reader &reader, bool out, bool pps, const uint8_t *data, size_t length,
                 int64_t time, TraceLine &line);
    void dez(const hv::sim::capture::CapturedPacket &packet, std::vector<TraceLine> &out);

    std::map<Device, Reader> readers_;
    std::set<Device> described_;  // devices whose configuration was seen
    std::map<std::tuple<uint64_t, uint16_t, uint8_t>, bool> configRequests_;  // urb, bus, dev
    uint64_t skipped_ = 0;
};

std::string ccidMessageName(int type, bool out);

}  // namespace vorasel::tool
