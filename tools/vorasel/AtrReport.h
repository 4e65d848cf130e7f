// A person's view of one answer-to-reset: every byte named and explained, the parameters the
// card announces (with the defaults it implies), and the parser's verdict.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vorasel::tool {

struct AtrByteInfo {
    std::string name;  // "TS", "T0", "TA1", ..., "T1".."TK" are not listed, "TCK"
    uint8_t value;
    std::string meaning;
};

struct AtrSetting {
    std::string label;  // "protocols", "rate", ...
    std::string text;
};

struct AtrT1Params {
    unsigned ifsc, bwi, cwi;
    bool crc;
    bool ifscDefault, waitDefault, edcDefault;
};

struct AtrReport {
    std::vector<uint8_t> bytes;
    int result = -1;      // scatr_parse's result
    std::string verdict;  // one line
    std::string convention;
    std::vector<AtrByteInfo> items;  // in wire order, historical bytes excluded
    std::vector<uint8_t> historical;
    // Only for a complete record (results 0 and 2):
    bool complete = false;
    uint32_t protocols = 0;
    unsigned defaultProtocol = 0;
    std::optional<unsigned> specificProtocol;  // TA2's protocol
    unsigned fi = 0, di = 0;
    uint32_t fmaxHz = 0;
    bool ta1Present = false;
    unsigned guardTime = 0;
    std::optional<AtrT1Params> t1;
    std::optional<uint8_t> t15ClockClass;  // first T=15 TA (or default)
    bool tckRequired = false;
    std::optional<uint8_t> tck;
    uint8_t tckExpected = 0;
    std::vector<AtrSetting> settings;  // the summary lines, ready to print
};

AtrReport describeAtr(const std::vector<uint8_t> &bytes);

// The report as lines of text, each line led by `indent`.
std::string atrText(const AtrReport &report, const char *indent = "");
// The report as one JSON object.
std::string atrJson(const AtrReport &report);

// Printable form of the historical bytes, '.' for anything else.
std::string printable(const std::vector<uint8_t> &bytes);

}  // namespace vorasel::tool
