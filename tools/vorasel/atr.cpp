// vorasel atr [--json] HEX... | -
// Each argument is one ATR ("3B8001", "3B:80:01:81", "3B 80 01 81" quoted), except that
// consecutive two-digit arguments are the bytes of one ATR (vorasel atr 3B 80 01 81). "-" reads
// one ATR per line from standard input (blank lines and lines starting with # are skipped).
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "AtrReport.h"
#include "Command.h"
#include "Hex.h"
#include "vorasel/sc_atr.h"

namespace vorasel::tool {
namespace {

struct Input {
    std::string source;  // what the user gave, for messages
    std::vector<uint8_t> bytes;
    std::string error;  // not hex
};

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
            std::printf("%s", atrJson(r).c_str());
        } else {
            if (n) std::printf("\n");
            std::printf("%s", atrText(r).c_str());
        }
    }
    if (json) std::printf("]\n");
    return allGood ? 0 : 1;
}

const Command atrCommand{"atr", "[--json] HEX... | -", "decode answers-to-reset", run};

}  // namespace
}  // namespace vorasel::tool
