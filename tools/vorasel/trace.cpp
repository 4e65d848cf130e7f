// vorasel trace [--json] FILE | -
// Prints a USB capture (ours, from --capture, or any usbmon capture of a CCID reader) one
// line per CCID message: time, direction, message, slot and sequence number, the status of a
// response, the T=1 block, the APDU with its status word's meaning, and the round-trip time.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "CcidTrace.h"
#include "Command.h"
#include "Hex.h"
#include "Json.h"

namespace vorasel::tool {
namespace {

void usage(FILE *out) {
    std::fprintf(out,
                 "usage: vorasel trace [--json] FILE | -\n"
                 "  prints a capture (pcapng or pcap, usbmon link type) one line per CCID\n"
                 "  message: time since the first message, direction (> to the reader),\n"
                 "  message, slot, bSeq, response status, T=1 block, APDU and status word,\n"
                 "  round-trip time; DEZ frames of the case's captures too. --json: one JSON\n"
                 "  object per line\n"
                 "  exit status: 0 read to its end, 1 truncated or corrupt capture (with the\n"
                 "  offset) or no CCID message in it, 2 bad arguments or unreadable file\n");
}

std::string millis(double ms) {
    char b[32];
    std::snprintf(b, sizeof b, "%.3f ms", ms);
    return b;
}

void printText(const TraceLine &l, int64_t start, bool devices) {
    std::string text;
    char head[160];
    std::snprintf(head, sizeof head, "%11.6f %s %-28s",
                  static_cast<double>(l.timeNanos - start) / 1e9, l.out ? ">" : "<",
                  l.message.c_str());
    text = head;
    if (devices) text += " [" + l.device + "]";
    if (l.seq >= 0) {
        std::snprintf(head, sizeof head, " slot %d seq %3d", l.slot, l.seq);
        text += head;
    }
    auto part = [&](const std::string &s) {
        if (!s.empty()) text += "  " + s;
    };
    part(l.status);
    if (l.block) part(l.block->text);
    part(l.detail);
    if (l.hasApdu) {
        // Long APDUs are cut here; --json gives them whole.
        constexpr size_t kShown = 32;
        part("APDU " + hex(l.apdu.data(), std::min(l.apdu.size(), kShown)) +
             (l.apdu.size() > kShown ? " ... (" + std::to_string(l.apdu.size()) + " bytes)" : ""));
    }
    if (l.sw) {
        char sw[16];
        std::snprintf(sw, sizeof sw, "SW %04X", *l.sw);
        part(std::string(sw) + " " + l.swMeaning);
    }
    if (l.rttMs) part("rtt " + millis(*l.rttMs));
    if (l.apduMs) part("apdu " + millis(*l.apduMs));
    std::printf("%s\n", text.c_str());
}

void printJson(const TraceLine &l, int64_t start) {
    std::string j = "{";
    char b[96];
    std::snprintf(b, sizeof b, "\"time\":%.6f,\"timestamp\":%" PRId64 ".%06" PRId64,
                  static_cast<double>(l.timeNanos - start) / 1e9, l.timeNanos / 1000000000,
                  (l.timeNanos % 1000000000) / 1000);
    j += b;
    j += ",\"device\":" + jsonString(l.device);
    j += ",\"direction\":\"" + std::string(l.out ? "out" : "in") + "\"";
    j += ",\"message\":" + jsonString(l.message);
    if (l.type >= 0) j += ",\"type\":" + std::to_string(l.type);
    if (l.seq >= 0)
        j += ",\"slot\":" + std::to_string(l.slot) + ",\"seq\":" + std::to_string(l.seq);
    if (!l.status.empty()) j += ",\"status\":" + jsonString(l.status);
    if (l.block) {
        j += ",\"block\":{\"type\":\"" + std::string(1, l.block->kind) + "\"";
        if (l.block->sequence >= 0) j += ",\"n\":" + std::to_string(l.block->sequence);
        if (l.block->kind == 'I')
            j += std::string(",\"more\":") + (l.block->more ? "true" : "false");
        j += ",\"text\":" + jsonString(l.block->text) + "}";
    }
    if (!l.detail.empty()) j += ",\"detail\":" + jsonString(l.detail);
    if (l.hasApdu) j += ",\"apdu\":\"" + hex(l.apdu, "") + "\"";
    if (l.sw) {
        std::snprintf(b, sizeof b, ",\"sw\":\"%04X\"", *l.sw);
        j += b;
        j += ",\"meaning\":" + jsonString(l.swMeaning);
    }
    if (l.rttMs) {
        std::snprintf(b, sizeof b, ",\"rtt_ms\":%.3f", *l.rttMs);
        j += b;
    }
    if (l.apduMs) {
        std::snprintf(b, sizeof b, ",\"apdu_ms\":%.3f", *l.apduMs);
        j += b;
    }
    std::printf("%s}\n", j.c_str());
}

int run(const std::vector<std::string> &args) {
    bool json = false;
    std::string path;
    for (const auto &a : args) {
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        }
        if (a == "--json") {
            json = true;
        } else if (path.empty() && (a == "-" || a.rfind("-", 0) != 0)) {
            path = a;
        } else {
            std::fprintf(stderr, "vorasel trace: unknown or extra argument '%s'\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    if (path.empty()) {
        usage(stderr);
        return 2;
    }
    FILE *file = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (!file) {
        std::fprintf(stderr, "vorasel trace: cannot open %s\n", path.c_str());
        return 2;
    }
    hv::sim::capture::CaptureReader reader(file);
    hv::sim::capture::CapturedPacket packet;
    CcidTrace trace;
    std::vector<TraceLine> lines;
    bool started = false;
    int64_t start = 0;
    uint64_t printed = 0;
    while (reader.next(packet)) {
        lines.clear();
        trace.packet(packet, lines);
        for (const auto &l : lines) {
            if (!started) start = l.timeNanos;
            started = true;
            ++printed;
            if (json)
                printJson(l, start);
            else
                printText(l, start, trace.readers() > 1);
        }
    }
    if (file != stdin) std::fclose(file);
    std::fflush(stdout);
    if (!reader.error().empty()) {
        std::fprintf(stderr, "vorasel trace: %s: %s\n", path.c_str(), reader.error().c_str());
        return 1;
    }
    if (printed == 0) {
        std::fprintf(stderr, "vorasel trace: %s: no CCID or DEZ message in this capture\n",
                     path.c_str());
        return 1;
    }
    return 0;
}

const Command traceCommand{"trace", "[--json] FILE", "print a USB capture as CCID messages", run};

}  // namespace
}  // namespace vorasel::tool
