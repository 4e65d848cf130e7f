// Every literal ATR of pcsc-tools' list of known cards: no fault, and every complete record
// gives back exactly the bytes it was parsed from.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>

#include "CardBytes.h"
#include "vorasel/sc_atr.h"

namespace {

const char *const kListPath = "/usr/share/pcsc/smartcard_list.txt";

// ATR lines start in column 0 with a hex byte; lines with regular-expression parts are
// patterns, not ATRs.
bool literalAtrLine(const std::string &line) {
    if (line.size() < 5 || !std::isxdigit(static_cast<unsigned char>(line[0]))) return false;
    for (char c : line)
        if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ' ') return false;
    return true;
}

TEST(AtrKnownCards, ParseAndRoundTrip) {
    std::ifstream in(kListPath);
    if (!in) GTEST_SKIP() << kListPath << " not installed (package pcsc-tools)";
    std::map<int, int> results;
    int roundTrips = 0;
    std::string line;
    while (std::getline(in, line)) {
        if (!literalAtrLine(line)) continue;
        const hv::test::Bytes b = hv::test::hexBytes(line);
        scatr_t atr;
        const int r = scatr_parse(&atr, b.data(), static_cast<uint32_t>(b.size()));
        ASSERT_GE(r, SCATR_OK) << line;
        ASSERT_LE(r, SCATR_BAD_LENGTH) << line;
        ++results[r];
        if (r == SCATR_OK || r == SCATR_BAD_TCK) {
            ASSERT_EQ(atr.length, b.size()) << line;
            ASSERT_LE(atr.group_count, SCATR_MAX_GROUPS) << line;
            if (!hv::test::atrHasSkippedGroups(atr)) {
                ASSERT_EQ(hv::test::toHex(hv::test::atrEncode(atr)), hv::test::toHex(b)) << line;
                ++roundTrips;
            }
            // The protocols offered always include the one used after reset.
            ASSERT_TRUE(scatr_getAvailProtocols(&atr) & (1u << scatr_getDefProtocol(&atr))) << line;
        }
    }
    const int total = results[0] + results[1] + results[2] + results[3];
    RecordProperty("well_formed", results[0]);
    RecordProperty("total", total);
    ASSERT_GT(total, 3000) << "the list looks truncated";
    // Real cards are overwhelmingly well formed; a parser rejecting many of them is wrong.
    EXPECT_GT(results[0], total * 95 / 100)
        << "ok " << results[0] << " bad TS " << results[1] << " bad TCK " << results[2]
        << " bad structure " << results[3];
    EXPECT_EQ(roundTrips, results[0] + results[2]);
}

}  // namespace
