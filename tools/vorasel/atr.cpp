// vorasel atr [--json] HEX... | -
// Each argument is one ATR ("3B8001", "3B:80:01:81", "3B 80 01 81" quoted), except that
// consecutive two-digit arguments are the bytes of one ATR (vorasel atr 3B 80 01 81). "-" reads
// one ATR per line from standard input (blank lines and lines starting with # are skipped).
#include <cctype>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "AtrReport.h"
#include "Command.h"
#include "vorasel/sc_atr.h"

namespace vorasel::tool {
namespace {

struct Input {
    std::string source;  // what the user gave, for messages
    std::vector<uint8_t> bytes;
    std::string error;  // not hex
};

bool parseHex(const std::string &text, std::vector<uint8_t> &out, std::string &error) {
    out.clear();
    int high = -1;
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == ' ' || c == ':' || c == '\t' || c == '\r') continue;
        if (!std::isxdigit(u)) {
            error = std::string("not a hex digit: '") + c + "'";
            return false;
        }
        const int v = std::isdigit(u) ? c - '0' : std::tolower(u) - 'a' + 10;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) {
        error = "odd number of hex digits";
        return false;
    }
    if (out.empty()) {
        error = "no bytes";
        return false;
    }
    return true;
}

bool isByteArg(const std::string &a) {
    return a.size() == 2 && std::isxdigit(static_cast<unsigned char>(a[0])) &&
           std::isxdigit(static_cast<unsigned char>(a[1]));
}

std::string hex(const std::vector<uint8_t> &b, const char *sep = " ") {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < b.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02X", b[i]);
        if (i) s += sep;
        s += buf;
    }
    return s;
}

std::string jsonString(const std::string &s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string byteJson(uint8_t v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\"%02X\"", v);
    return buf;
}

void printText(const AtrReport &r) {
    std::printf("ATR %s\n", hex(r.bytes).c_str());
    for (const auto &item : r.items)
        std::printf("  %-4s %02X  %s\n", item.name.c_str(), item.value, item.meaning.c_str());
    for (const auto &s : r.settings)
        std::printf("  %-12s %s\n", s.label.c_str(), s.text.c_str());
    if (!r.historical.empty())
        std::printf("  %-12s %s  \"%s\"\n", "historical", hex(r.historical).c_str(),
                    printable(r.historical).c_str());
    else if (r.complete)
        std::printf("  %-12s none\n", "historical");
    if (r.complete) {
        if (!r.tckRequired)
            std::printf("  %-12s absent, not required (T=0 only)\n", "TCK");
        else
            std::printf("  %-12s %02X, %s\n", "TCK", *r.tck,
                        *r.tck == r.tckExpected ? "correct" : "wrong");
    }
    std::printf("  %-12s %s\n", "verdict", r.verdict.c_str());
}

std::string reportJson(const AtrReport &r) {
    std::string j = "{\"atr\":" + jsonString(hex(r.bytes, "")) +
                    ",\"result\":" + std::to_string(r.result) +
                    ",\"ok\":" + (r.result == SCATR_OK ? "true" : "false") +
                    ",\"verdict\":" + jsonString(r.verdict) +
                    ",\"convention\":" + jsonString(r.convention) + ",\"bytes\":[";
    for (size_t i = 0; i < r.items.size(); ++i) {
        const auto &item = r.items[i];
        j += (i ? ",{" : "{") + std::string("\"name\":") + jsonString(item.name) +
             ",\"value\":" + byteJson(item.value) + ",\"meaning\":" + jsonString(item.meaning) +
             "}";
    }
    j += "],\"historical\":{\"hex\":" + jsonString(hex(r.historical, "")) +
         ",\"text\":" + jsonString(printable(r.historical)) + "}";
    if (!r.complete) return j + "}";

    j += ",\"protocols\":[";
    bool first = true;
    for (unsigned t = 0; t < 16; ++t) {
        if (!(r.protocols & (1u << t))) continue;
        j += (first ? "" : ",") + std::to_string(t);
        first = false;
    }
    j += "],\"default_protocol\":" + std::to_string(r.defaultProtocol);
    j += ",\"specific_mode\":" + (r.specificProtocol
                                      ? "{\"protocol\":" + std::to_string(*r.specificProtocol) + "}"
                                      : std::string("null"));
    j += ",\"rate\":{\"fi\":" + std::to_string(r.fi) + ",\"di\":" + std::to_string(r.di) +
         ",\"fmax_hz\":" + std::to_string(r.fmaxHz) +
         ",\"from_ta1\":" + (r.ta1Present ? "true" : "false") + "}";
    j += ",\"extra_guard_time\":" + std::to_string(r.guardTime);
    if (r.t1) {
        const auto &p = *r.t1;
        j += ",\"t1\":{\"ifsc\":" + std::to_string(p.ifsc) + ",\"bwi\":" + std::to_string(p.bwi) +
             ",\"cwi\":" + std::to_string(p.cwi) + ",\"edc\":" + (p.crc ? "\"CRC\"" : "\"LRC\"") +
             "}";
    } else {
        j += ",\"t1\":null";
    }
    j += ",\"t15_clock_class\":" + (r.t15ClockClass ? byteJson(*r.t15ClockClass) : "null");
    j += ",\"tck\":{\"required\":" + std::string(r.tckRequired ? "true" : "false");
    if (r.tck)
        j += ",\"value\":" + byteJson(*r.tck) + ",\"expected\":" + byteJson(r.tckExpected) +
             ",\"correct\":" + (*r.tck == r.tckExpected ? "true" : "false");
    return j + "}}";
}

std::string errorJson(const Input &in) {
    return "{\"input\":" + jsonString(in.source) +
           ",\"result\":null,\"ok\":false,\"verdict\":" + jsonString(in.error) + "}";
}

void usage(FILE *out) {
    std::fprintf(out,
                 "usage: vorasel atr [--json] HEX... | -\n"
                 "  each argument is one ATR (3B8001, 3B:80:01, \"3B 80 01\"); consecutive\n"
                 "  two-digit arguments form one ATR (3B 80 01 81); - reads one ATR per line\n"
                 "  exit status: 0 every ATR well formed, 1 some ATR not, 2 bad arguments\n");
}

int run(const std::vector<std::string> &args) {
    bool json = false;
    std::vector<Input> inputs;
    Input pending;
    auto flush = [&] {
        if (!pending.bytes.empty()) inputs.push_back(pending);
        pending = Input{};
    };
    for (const auto &a : args) {
        if (a == "--json") {
            json = true;
        } else if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else if (a == "-") {
            flush();
            std::string line;
            while (std::getline(std::cin, line)) {
                const size_t start = line.find_first_not_of(" \t\r");
                if (start == std::string::npos || line[start] == '#') continue;
                Input in{line.substr(start), {}, {}};
                if (!parseHex(in.source, in.bytes, in.error)) in.bytes.clear();
                inputs.push_back(in);
            }
        } else if (a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "vorasel atr: unknown option '%s'\n", a.c_str());
            usage(stderr);
            return 2;
        } else if (isByteArg(a)) {
            pending.source += (pending.source.empty() ? "" : " ") + a;
            std::vector<uint8_t> one;
            std::string error;
            parseHex(a, one, error);
            pending.bytes.push_back(one[0]);
        } else {
            flush();
            Input in{a, {}, {}};
            if (!parseHex(a, in.bytes, in.error)) {
                std::fprintf(stderr, "vorasel atr: '%s': %s\n", a.c_str(), in.error.c_str());
                return 2;
            }
            inputs.push_back(in);
        }
    }
    flush();
    if (inputs.empty()) {
        std::fprintf(stderr, "vorasel atr: no ATR given\n");
        usage(stderr);
        return 2;
    }

    bool allGood = true;
    if (json) std::printf("[");
    for (size_t n = 0; n < inputs.size(); ++n) {
        const Input &in = inputs[n];
        if (json && n) std::printf(",\n");
        if (!in.error.empty()) {
            allGood = false;
            if (json)
                std::printf("%s", errorJson(in).c_str());
            else
                std::printf("%s%s\n  verdict      not an ATR: %s\n", n ? "\n" : "",
                            in.source.c_str(), in.error.c_str());
            continue;
        }
        const AtrReport r = describeAtr(in.bytes);
        if (r.result != SCATR_OK) allGood = false;
        if (json) {
            std::printf("%s", reportJson(r).c_str());
        } else {
            if (n) std::printf("\n");
            printText(r);
        }
    }
    if (json) std::printf("]\n");
    return allGood ? 0 : 1;
}

const Command atrCommand{"atr", "[--json] HEX... | -", "decode answers-to-reset", run};

}  // namespace
}  // namespace vorasel::tool
