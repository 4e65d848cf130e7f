#include "AtrReport.h"

#include <cstdarg>
#include <cstdio>

#include "Hex.h"
#include "vorasel/sc_atr.h"

namespace vorasel::tool {

namespace {

std::string format(const char *fmt, unsigned a = 0, unsigned b = 0, unsigned c = 0) {
    char buf[160];
    std::snprintf(buf, sizeof buf, fmt, a, b, c);
    return buf;
}

std::string mhz(uint32_t hz) {
    char buf[32];
    if (hz == 0) return "fmax reserved";
    std::snprintf(buf, sizeof buf, "fmax %g MHz", hz / 1e6);
    return buf;
}

std::string rateText(uint8_t ta1) {
    unsigned fi = scatr_FDindex2F(ta1), di = scatr_FDindex2D(ta1);
    std::string s = fi ? format("Fi %u", fi) : std::string("Fi reserved");
    s += di ? format(", Di %u", di) : std::string(", Di reserved");
    return s + ", " + mhz(scatr_FDindex2Fmax(ta1));
}

std::string guardText(uint8_t n) {
    if (n == 255) return "extra guard time 255: minimum (12 etu for T=0, 11 etu for T=1)";
    return format("extra guard time N = %u etu", n);
}

std::string nextGroupText(uint8_t td, unsigned nextGroup) {
    uint8_t y = td >> 4;
    if (y == 0) return format("protocol T=%u; no further group", td & 0x0F);
    std::string s = format("protocol T=%u; group %u has", td & 0x0F, nextGroup);
    const char *names[] = {" TA", " TB", " TC", " TD"};
    for (int bit = 0; bit < 4; ++bit)
        if (y & (1 << bit)) s += names[bit] + std::to_string(nextGroup);
    return s;
}

std::string clockClassText(uint8_t ta) {
    static const char *clock[] = {"clock stop not supported", "clock stop in state L",
                                  "clock stop in state H", "clock stop, no preference"};
    std::string s = clock[ta >> 6];
    std::string classes;
    if (ta & 0x01) classes += " A";
    if (ta & 0x02) classes += " B";
    if (ta & 0x04) classes += " C";
    return s + (classes.empty() ? ", no class given" : ", class" + classes);
}

// Meaning of TA/TB/TC of group i (from 1), given the protocol that TD(i-1) announced and how
// many earlier groups that protocol had.
std::string interfaceMeaning(char kind, unsigned i, unsigned protocol, unsigned nth, uint8_t v) {
    if (i == 1) {
        if (kind == 'A') return rateText(v);
        if (kind == 'B') return format("programming voltage (deprecated), %u", v);
        return guardText(v);
    }
    if (i == 2) {
        if (kind == 'B') return format("programming voltage PI2 (deprecated), %u", v);
        return format("T=0 work waiting integer WI = %u", v);
    }
    if (protocol == 1 && nth == 1) {
        if (kind == 'A') return format("T=1 IFSC %u bytes", v);
        if (kind == 'B') return format("T=1 BWI %u, CWI %u", v >> 4, v & 0x0F);
        return std::string("T=1 error detection: ") + (v & 1 ? "CRC" : "LRC");
    }
    if (protocol == 15 && nth == 1) {
        if (kind == 'A') return "T=15 " + clockClassText(v);
        if (kind == 'B') return format("T=15 SPU %u", v) + (v ? "" : " (not used)");
    }
    return format("specific to T=%u", protocol);
}

std::string specificModeText(uint8_t ta2) {
    std::string s = format("specific mode: T=%u", ta2 & 0x0F);
    s += ta2 & 0x10 ? ", implicit parameters" : ", parameters from the interface bytes";
    s += ta2 & 0x80 ? ", cannot change mode" : ", can change mode";
    return s;
}

// Where the bytes sit, and what is wrong with the structure if anything.
struct Layout {
    std::string problem;
    bool tckRequired = false;
    size_t histStart = 0;
};

Layout walk(const std::vector<uint8_t> &b, std::vector<AtrByteInfo> &items) {
    Layout layout;
    const size_t n = b.size();
    uint8_t y = b[1] >> 4;
    unsigned k = b[1] & 0x0F, group = 1, protocol = 0, nth[16] = {};
    size_t pos = 2;
    while (y) {
        uint8_t next = 0;
        for (int bit = 0; bit < 4; ++bit) {
            if (!(y & (1 << bit))) continue;
            if (pos >= n) {
                layout.problem =
                    "the ATR ends inside the interface bytes of group " + std::to_string(group);
                return layout;
            }
            const char kind = "ABCD"[bit];
            const std::string name = std::string("T") + kind + std::to_string(group);
            const uint8_t v = b[pos++];
            std::string meaning;
            if (kind == 'D') {
                meaning = nextGroupText(v, group + 1);
                if (v & 0x0F) layout.tckRequired = true;
            } else if (group == 2 && kind == 'A') {
                meaning = specificModeText(v);
            } else {
                meaning = interfaceMeaning(kind, group, protocol, nth[protocol], v);
            }
            items.push_back({name, v, meaning});
            if (kind == 'D') {
                protocol = v & 0x0F;
                if (group >= 2) ++nth[protocol];
                next = v >> 4;
            }
        }
        y = next;
        ++group;
    }
    layout.histStart = pos;
    if (pos + k > n) {
        layout.problem =
            format("%u historical bytes announced, %u present", k, static_cast<unsigned>(n - pos));
        return layout;
    }
    pos += k;
    if (layout.tckRequired) {
        if (pos == n) {
            layout.problem = "TCK missing (a protocol other than T=0 is offered)";
            return layout;
        }
        ++pos;
    }
    if (pos != n) {
        layout.problem = format("%u byte(s) left over after the ", static_cast<unsigned>(n - pos)) +
                         (layout.tckRequired ? "TCK" : "historical bytes (T=0 only: no TCK)");
    }
    return layout;
}

std::string protocolsText(uint32_t mask) {
    std::string s;
    for (unsigned t = 0; t < 16; ++t)
        if (mask & (1u << t)) s += (s.empty() ? "T=" : ", T=") + std::to_string(t);
    return s.empty() ? "none" : s;
}

}  // namespace

std::string printable(const std::vector<uint8_t> &bytes) {
    std::string s;
    for (uint8_t c : bytes)
        s += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
    return s;
}

AtrReport describeAtr(const std::vector<uint8_t> &bytes) {
    AtrReport r;
    r.bytes = bytes;
    scatr_t atr;
    r.result = scatr_parse(&atr, bytes.data(), static_cast<uint32_t>(bytes.size()));

    if (bytes.size() < 2) {
        r.verdict = "malformed: fewer than 2 bytes";
        return r;
    }
    const uint8_t ts = bytes[0];
    r.convention = ts == 0x3B ? "direct" : ts == 0x3F ? "inverse" : "unknown";
    r.items.push_back({"TS", ts,
                       ts == 0x3B   ? "direct convention"
                       : ts == 0x3F ? "inverse convention"
                                    : "not an initial character (neither 3B nor 3F)"});
    const uint8_t t0 = bytes[1];
    std::string t0Text = format("Y1 %X", t0 >> 4);
    t0Text += (t0 >> 4) ? ":" : ": no interface bytes";
    for (int bit = 0; bit < 4; ++bit)
        if (t0 & (0x10 << bit)) t0Text += std::string(" T") + "ABCD"[bit] + "1";
    t0Text += format("; K = %u historical bytes", t0 & 0x0F);
    r.items.push_back({"T0", t0, t0Text});

    const Layout layout = walk(bytes, r.items);
    r.tckRequired = layout.tckRequired;
    const size_t k = t0 & 0x0F;
    if (layout.histStart && layout.histStart + k <= bytes.size())
        r.historical.assign(bytes.begin() + layout.histStart, bytes.begin() + layout.histStart + k);
    if (layout.tckRequired && layout.histStart && layout.histStart + k < bytes.size()) {
        const size_t at = layout.histStart + k;
        r.tck = bytes[at];
        uint8_t x = 0;
        for (size_t i = 1; i < at; ++i)
            x ^= bytes[i];
        r.tckExpected = x;
        r.items.push_back(
            {"TCK", bytes[at],
             x == bytes[at] ? "check correct" : format("check wrong: should be %02X", x)});
    }

    switch (r.result) {
        case SCATR_OK:
            r.verdict = "well formed";
            break;
        case SCATR_BAD_TS:
            r.verdict = "bad TS: neither 3B nor 3F";
            break;
        case SCATR_BAD_TCK:
            r.verdict = format("bad TCK: %02X, should be %02X", r.tck.value_or(0), r.tckExpected);
            break;
        default:
            r.verdict = "malformed: " + (bytes.size() > SCATR_MAX_LENGTH
                                             ? format("%u bytes, at most 33 allowed",
                                                      static_cast<unsigned>(bytes.size()))
                                         : layout.problem.empty() ? std::string("structure")
                                                                  : layout.problem);
            break;
    }
    if (r.result != SCATR_OK && r.result != SCATR_BAD_TCK) return r;

    r.complete = true;
    r.protocols = scatr_getAvailProtocols(&atr);
    r.defaultProtocol = scatr_getDefProtocol(&atr);
    uint8_t v = 0;
    if (scatr_TXi(&atr, SCATR_TA, 2, &v) == SCATR_BYTE_PRESENT) r.specificProtocol = v & 0x0F;
    uint8_t ta1 = 0x11;
    r.ta1Present = scatr_TXi(&atr, SCATR_TA, 1, &ta1) == SCATR_BYTE_PRESENT;
    r.fi = scatr_FDindex2F(ta1);
    r.di = scatr_FDindex2D(ta1);
    r.fmaxHz = scatr_FDindex2Fmax(ta1);
    uint8_t tc1 = 0;
    const bool tc1Present = scatr_TXi(&atr, SCATR_TC, 1, &tc1) == SCATR_BYTE_PRESENT;
    r.guardTime = tc1;

    auto &s = r.settings;
    s.push_back(
        {"protocols", protocolsText(r.protocols) + format(" (default T=%u)", r.defaultProtocol)});
    s.push_back({"mode", r.specificProtocol ? format("specific: T=%u only", *r.specificProtocol)
                                            : std::string("negotiable")});
    s.push_back({"rate", rateText(ta1) + (r.ta1Present ? "" : " (default)")});
    s.push_back({"guard time", guardText(tc1) + (tc1Present ? "" : " (default)")});
    if (r.protocols & (1u << 1)) {
        uint8_t ifsc, wait, edc;
        AtrT1Params p{};
        p.ifscDefault = scatr_TXi4T(&atr, SCATR_TA, 1, 1, &ifsc) != SCATR_BYTE_PRESENT;
        p.waitDefault = scatr_TXi4T(&atr, SCATR_TB, 1, 1, &wait) != SCATR_BYTE_PRESENT;
        p.edcDefault = scatr_TXi4T(&atr, SCATR_TC, 1, 1, &edc) != SCATR_BYTE_PRESENT;
        p.ifsc = ifsc;
        p.bwi = wait >> 4;
        p.cwi = wait & 0x0F;
        p.crc = edc & 1;
        r.t1 = p;
        s.push_back({"T=1", format("IFSC %u", p.ifsc) + (p.ifscDefault ? " (default)" : "") +
                                format(", BWI %u, CWI %u", p.bwi, p.cwi) +
                                (p.waitDefault ? " (default)" : "") + ", EDC " +
                                (p.crc ? "CRC" : "LRC") + (p.edcDefault ? " (default)" : "")});
    }
    if (r.protocols & (1u << 15)) {
        uint8_t ta = 0;
        const bool given = scatr_TXi4T(&atr, SCATR_TA, 1, 15, &ta) == SCATR_BYTE_PRESENT;
        r.t15ClockClass = ta;
        s.push_back({"T=15", clockClassText(ta) + (given ? "" : " (default)")});
    }
    return r;
}

namespace {

void appendf(std::string &out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string &out, const char *fmt, ...) {
    char buf[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    out += buf;
}

std::string byteJson(uint8_t v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\"%02X\"", v);
    return buf;
}

}  // namespace

std::string atrText(const AtrReport &r, const char *indent) {
    std::string s;
    appendf(s, "%sATR %s\n", indent, hex(r.bytes).c_str());
    for (const auto &item : r.items)
        appendf(s, "%s  %-4s %02X  %s\n", indent, item.name.c_str(), item.value,
                item.meaning.c_str());
    for (const auto &setting : r.settings)
        appendf(s, "%s  %-12s %s\n", indent, setting.label.c_str(), setting.text.c_str());
    if (!r.historical.empty())
        appendf(s, "%s  %-12s %s  \"%s\"\n", indent, "historical", hex(r.historical).c_str(),
                printable(r.historical).c_str());
    else if (r.complete)
        appendf(s, "%s  %-12s none\n", indent, "historical");
    if (r.complete) {
        if (!r.tckRequired)
            appendf(s, "%s  %-12s absent, not required (T=0 only)\n", indent, "TCK");
        else
            appendf(s, "%s  %-12s %02X, %s\n", indent, "TCK", *r.tck,
                    *r.tck == r.tckExpected ? "correct" : "wrong");
    }
    appendf(s, "%s  %-12s %s\n", indent, "verdict", r.verdict.c_str());
    return s;
}

std::string atrJson(const AtrReport &r) {
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

}  // namespace vorasel::tool
