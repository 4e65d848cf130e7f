// vorasel script [--card KIND | --empty] [--protocol t0|t1|any] [--json] FILE | -
// Runs a file of APDUs in scriptor's format: one APDU per line in hex (with or without spaces;
// a line ending in '\' continues on the next), "reset" for a cold reset of the card, "exit" to
// stop, '#' comments. Prints each command as "> ..." and each answer as "< ... : meaning".
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "Command.h"
#include "Hex.h"
#include "PcscSession.h"
#include "StatusWords.h"
#include "ToolCase.h"

namespace vorasel::tool {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

struct Step {
    int line = 0;
    bool reset = false;
    Bytes apdu;
};

std::string trim(const std::string &s) {
    const size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos) return {};
    const size_t b = s.find_last_not_of(" \t\r");
    return s.substr(a, b - a + 1);
}

bool equalsIgnoringCase(const std::string &a, const char *b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
    return i == a.size() && !b[i];
}

// The whole script is read and checked before the card is touched.
bool parseScript(std::istream &in, std::vector<Step> &steps, std::string &error) {
    std::string line, pending;
    int number = 0, pendingLine = 0;
    while (std::getline(in, line)) {
        ++number;
        std::string text = trim(line);
        if (pending.empty() && (text.empty() || text[0] == '#')) continue;
        if (pending.empty() && equalsIgnoringCase(text, "exit")) break;
        if (pending.empty() && equalsIgnoringCase(text, "reset")) {
            steps.push_back({number, true, {}});
            continue;
        }
        if (pending.empty()) pendingLine = number;
        const bool continues = !text.empty() && text.back() == '\\';
        if (continues) text.pop_back();
        pending += text + " ";
        if (continues) continue;
        Step step{pendingLine, false, {}};
        std::string why;
        if (!parseHex(pending, step.apdu, why)) {
            error = "line " + std::to_string(pendingLine) + ": " + why;
            return false;
        }
        if (step.apdu.size() < 4) {
            error = "line " + std::to_string(pendingLine) + ": an APDU has at least 4 bytes";
            return false;
        }
        steps.push_back(step);
        pending.clear();
    }
    if (!pending.empty()) {
        error = "line " + std::to_string(pendingLine) + ": continued past the end of the script";
        return false;
    }
    return true;
}

void usage(FILE *out) {
    std::fprintf(out,
                 "usage: vorasel script [--card %s | --empty] [--protocol t0|t1|any]\n"
                 "                      [--json] FILE | -\n"
                 "  runs a scriptor file: hex APDU lines ('\\' continues a line), reset, exit,\n"
                 "  # comments\n"
                 "  exit status: 0 the script ran, 1 a PC/SC failure, 2 bad arguments or script\n",
                 ToolCase::cardKinds().c_str());
}

int run(const std::vector<std::string> &args) {
    std::string kind = "t1", protocolArg = "any", file;
    bool json = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a == "--card" && i + 1 < args.size()) {
            kind = args[++i];
        } else if (a == "--empty") {
            kind.clear();
        } else if (a == "--protocol" && i + 1 < args.size()) {
            protocolArg = args[++i];
        } else if (a == "--json") {
            json = true;
        } else if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else if ((a.size() > 1 && a[0] == '-') || !file.empty()) {
            std::fprintf(stderr, "vorasel script: unexpected argument '%s'\n", a.c_str());
            usage(stderr);
            return 2;
        } else {
            file = a;
        }
    }
    const DWORD preferred = protocolMask(protocolArg);
    if (file.empty() || !preferred) {
        std::fprintf(stderr, "vorasel script: %s\n",
                     file.empty() ? "no script given" : "unknown protocol");
        usage(stderr);
        return 2;
    }
    std::vector<Step> steps;
    std::string error;
    if (file == "-") {
        if (!parseScript(std::cin, steps, error)) {
            std::fprintf(stderr, "vorasel script: %s\n", error.c_str());
            return 2;
        }
    } else {
        std::ifstream in(file);
        if (!in) {
            std::fprintf(stderr, "vorasel script: cannot read '%s'\n", file.c_str());
            return 2;
        }
        if (!parseScript(in, steps, error)) {
            std::fprintf(stderr, "vorasel script: %s: %s\n", file.c_str(), error.c_str());
            return 2;
        }
    }

    auto theCase = ToolCase::open(kind, error);
    if (!theCase) {
        std::fprintf(stderr, "vorasel script: %s\n", error.c_str());
        return 2;
    }
    PcscSession pcsc;
    LONG rv = pcsc.establish();
    if (rv == SCARD_S_SUCCESS) {
        pcsc.waitForCard(1s);
        rv = pcsc.connect(preferred);
    }
    std::string j = "{\"case\":" + jsonString(theCase->description()) + ",\"steps\":[";
    if (rv == SCARD_S_SUCCESS && !json)
        std::printf("Using %s protocol\n", protocolName(pcsc.protocol()));
    size_t done = 0;
    for (const Step &step : steps) {
        if (rv != SCARD_S_SUCCESS) break;
        j += done++ ? ",{" : "{";
        j += "\"line\":" + std::to_string(step.line);
        if (step.reset) {
            rv = pcsc.reset();
            const Bytes atr = rv == SCARD_S_SUCCESS ? pcsc.atr() : Bytes{};
            if (!json) {
                std::printf("> RESET\n");
                if (rv == SCARD_S_SUCCESS)
                    std::printf("< OK: %s\n", hex(atr).c_str());
                else
                    std::printf("< KO: %s\n", pcscError(rv).c_str());
            }
            j += ",\"reset\":true,\"atr\":" + jsonString(hex(atr, "")) + "}";
            continue;
        }
        Bytes response;
        rv = pcsc.transmit(step.apdu, response);
        const std::string meaning =
            response.size() >= 2 ? statusWordMeaning(response[response.size() - 2], response.back())
                                 : std::string();
        if (!json) {
            std::printf("> %s\n", hex(step.apdu).c_str());
            if (rv == SCARD_S_SUCCESS)
                std::printf("< %s : %s\n", hex(response).c_str(), meaning.c_str());
        }
        j += ",\"command\":" + jsonString(hex(step.apdu, "")) +
             ",\"response\":" + jsonString(hex(response, "")) +
             ",\"meaning\":" + jsonString(meaning) + "}";
    }
    return finishRun("script", json, j, rv, pcsc);
}

const Command scriptCommand{"script", "FILE | -", "run a scriptor file of APDUs", run};

}  // namespace
}  // namespace vorasel::tool
