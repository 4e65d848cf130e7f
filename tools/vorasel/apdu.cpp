// vorasel apdu [--card KIND | --empty] [--protocol t0|t1|any] [--follow] [--json] HEX... | -
// Connects to the card and sends each APDU, printing the response and what its status word
// means. With --follow, 61xx is answered with GET RESPONSE and 6Cxx by sending the command
// again with the corrected Le, as a T=0 application must.
#include <cstdio>
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

struct Exchange {
    Bytes command;
    Bytes response;
};

// Short APDU with its Le replaced (or added) by `le`: what 6Cxx asks for.
Bytes withLe(const Bytes &apdu, uint8_t le) {
    Bytes out = apdu;
    if (apdu.size() == 4) {
        out.push_back(le);
    } else if (apdu.size() == 5) {
        out[4] = le;  // case 2
    } else if (apdu.size() == 5u + apdu[4]) {
        out.push_back(le);  // case 3 becomes case 4
    } else if (apdu.size() == 6u + apdu[4]) {
        out.back() = le;  // case 4
    }
    return out;
}

std::string swText(const Bytes &response) {
    if (response.size() < 2) return "no status word";
    return statusWordMeaning(response[response.size() - 2], response.back());
}

void usage(FILE *out) {
    std::fprintf(out,
                 "usage: vorasel apdu [--card %s | --empty] [--protocol t0|t1|any]\n"
                 "                    [--follow] [--json] HEX... | -\n"
                 "  sends each APDU to the card (embedded simulated case, or the daemon named by\n"
                 "  VORASEL_ACCESSORYD_SOCKET); consecutive two-digit arguments form one APDU;\n"
                 "  - reads one APDU per line; --follow answers 61xx with GET RESPONSE and 6Cxx\n"
                 "  with the corrected Le\n"
                 "  exit status: 0 every APDU answered, 1 a PC/SC failure, 2 bad arguments\n",
                 ToolCase::cardKinds().c_str());
}

int run(const std::vector<std::string> &args) {
    std::string kind = "t1";
    std::string protocolArg = "any";
    bool follow = false, json = false;
    std::vector<Bytes> apdus;
    Bytes pending;
    auto flush = [&] {
        if (!pending.empty()) apdus.push_back(pending);
        pending.clear();
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        std::string error;
        Bytes bytes;
        if (a == "--card" && i + 1 < args.size()) {
            kind = args[++i];
        } else if (a == "--empty") {
            kind.clear();
        } else if (a == "--protocol" && i + 1 < args.size()) {
            protocolArg = args[++i];
        } else if (a == "--follow") {
            follow = true;
        } else if (a == "--json") {
            json = true;
        } else if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else if (a == "-") {
            flush();
            std::string line;
            for (int n = 1; std::getline(std::cin, line); ++n) {
                const size_t start = line.find_first_not_of(" \t\r");
                if (start == std::string::npos || line[start] == '#') continue;
                if (!parseHex(line, bytes, error)) {
                    std::fprintf(stderr, "vorasel apdu: line %d: %s\n", n, error.c_str());
                    return 2;
                }
                apdus.push_back(bytes);
            }
        } else if (a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "vorasel apdu: unknown option '%s'\n", a.c_str());
            usage(stderr);
            return 2;
        } else if (isByteArg(a)) {
            parseHex(a, bytes, error);
            pending.push_back(bytes[0]);
        } else {
            flush();
            if (!parseHex(a, bytes, error)) {
                std::fprintf(stderr, "vorasel apdu: '%s': %s\n", a.c_str(), error.c_str());
                return 2;
            }
            apdus.push_back(bytes);
        }
    }
    flush();
    const DWORD preferred = protocolMask(protocolArg);
    if (!preferred) {
        std::fprintf(stderr, "vorasel apdu: unknown protocol '%s'\n", protocolArg.c_str());
        return 2;
    }
    for (const auto &apdu : apdus) {
        if (apdu.size() < 4) {
            std::fprintf(stderr, "vorasel apdu: '%s': an APDU has at least 4 bytes\n",
                         hex(apdu).c_str());
            return 2;
        }
    }
    if (apdus.empty()) {
        std::fprintf(stderr, "vorasel apdu: no APDU given\n");
        usage(stderr);
        return 2;
    }

    std::string error;
    auto theCase = ToolCase::open(kind, error);
    if (!theCase) {
        std::fprintf(stderr, "vorasel apdu: %s\n", error.c_str());
        return 2;
    }
    PcscSession pcsc;
    std::vector<Exchange> exchanges;
    LONG rv = pcsc.establish();
    if (rv == SCARD_S_SUCCESS) {
        // An empty reader is reported by the connection itself.
        pcsc.waitForCard(1s);
        rv = pcsc.connect(preferred);
    }
    const Bytes atr = rv == SCARD_S_SUCCESS ? pcsc.atr() : Bytes{};
    if (!json) {
        std::printf("%s\n", theCase->description().c_str());
        if (rv == SCARD_S_SUCCESS)
            std::printf("reader %s, protocol %s, ATR %s\n", sc_reader_name,
                        protocolName(pcsc.protocol()), hex(atr).c_str());
    }
    auto send = [&](const Bytes &command, Bytes &response) {
        rv = pcsc.transmit(command, response);
        if (rv != SCARD_S_SUCCESS) return false;
        exchanges.push_back({command, response});
        if (!json)
            std::printf("> %s\n< %s  (%s)\n", hex(command).c_str(), hex(response).c_str(),
                        swText(response).c_str());
        return true;
    };
    for (size_t n = 0; rv == SCARD_S_SUCCESS && n < apdus.size(); ++n) {
        Bytes command = apdus[n], response, data;
        bool gathered = false;
        if (!send(command, response)) break;
        // Bounded: a card that keeps asking is not followed for ever.
        for (int round = 0; follow && round < 64 && response.size() >= 2; ++round) {
            const uint8_t sw1 = response[response.size() - 2], sw2 = response.back();
            if (sw1 == 0x6C) {
                command = withLe(command, sw2);
            } else if (sw1 == 0x61) {
                data.insert(data.end(), response.begin(), response.end() - 2);
                gathered = true;
                command = {static_cast<uint8_t>(apdus[n][0] & ~0x10), 0xC0, 0x00, 0x00, sw2};
            } else {
                break;
            }
            if (!send(command, response)) break;
        }
        if (gathered && rv == SCARD_S_SUCCESS && !json) {
            data.insert(data.end(), response.begin(), response.end());
            std::printf("= %s  (%s)\n", hex(data).c_str(), swText(data).c_str());
        }
    }

    std::string j;
    if (json) {
        j = "{\"case\":" + jsonString(theCase->description()) +
            ",\"reader\":" + jsonString(sc_reader_name) +
            ",\"protocol\":" + jsonString(protocolName(pcsc.protocol())) +
            ",\"atr\":" + jsonString(hex(atr, "")) + ",\"exchanges\":[";
        for (size_t i = 0; i < exchanges.size(); ++i) {
            const auto &e = exchanges[i];
            const Bytes sw =
                e.response.size() >= 2 ? Bytes(e.response.end() - 2, e.response.end()) : Bytes{};
            j += (i ? ",{" : "{") + std::string("\"command\":") + jsonString(hex(e.command, "")) +
                 ",\"response\":" + jsonString(hex(e.response, "")) +
                 ",\"sw\":" + jsonString(hex(sw, "")) +
                 ",\"meaning\":" + jsonString(swText(e.response)) + "}";
        }
    }
    return finishRun("apdu", json, j, rv, pcsc);
}

const Command apduCommand{"apdu", "[--follow] HEX... | -", "send APDUs to the card", run};

}  // namespace
}  // namespace vorasel::tool
