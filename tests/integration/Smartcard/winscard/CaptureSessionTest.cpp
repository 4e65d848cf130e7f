// A scripted session captured at the case's side of the wire and read back by Wireshark's
// tshark and by `vorasel trace`: power-on, PPS, T=1 APDUs, a chained extended APDU, a WTX
// and a time extension, a removal, then a T=0 card. The capture must name the same CCID
// messages in the same order as the reader handled them, and carry the same APDUs.
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "PcscFixture.h"
#include "vorasel/sim/CardFaults.h"
#include "vorasel/sim/Ccid.h"

namespace hv::test::pcsc {
namespace {

std::string hexOf(const Bytes &b, const char *sep = "") {
    std::string s;
    char x[4];
    for (size_t i = 0; i < b.size(); ++i) {
        std::snprintf(x, sizeof x, "%02X", b[i]);
        s += (i ? sep : "") + std::string(x);
    }
    return s;
}

// Standard output of a shell command, and whether it exited with 0.
bool run(const std::string &command, std::string &out) {
    out.clear();
    FILE *p = ::popen(command.c_str(), "r");
    if (!p) return false;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    return ::pclose(p) == 0;
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

struct Exchange {
    Bytes command, response;
};

class CaptureSessionTest : public PcscTest {
protected:
    sim::VoraselCaseConfig caseConfig() override {
        auto config = PcscTest::caseConfig();
        config.reader.timeExtensionInterval = std::chrono::milliseconds(2);
        return config;
    }

    void SetUp() override {
        PcscTest::SetUp();
        path = "/tmp/hv-capture-session-" + std::to_string(::getpid()) + ".pcapng";
        std::string error;
        ASSERT_TRUE(kase->startCapture(path, sim::WireCapture::kDefaultLimit, error)) << error;
        session();
        kase->stopCapture();
    }
    void TearDown() override {
        PcscTest::TearDown();
        ::unlink(path.c_str());
    }

    void exchange(SCARDHANDLE h, const Bytes &command, std::vector<Exchange> &into) {
        const Response r = transmit(h, command);
        ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
        into.push_back({command, r.data});
    }

    void session() {
        const SCARDHANDLE t1 = connectTo("fast");  // power-on, PPS, parameters, IFS
        ASSERT_EQ(protocol, DWORD(SCARD_PROTOCOL_T1));
        exchange(t1, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}, t1Exchanges);
        exchange(t1, echoApdu(600), t1Exchanges);  // extended, chained both ways
        card->arm(sim::FaultPlan(sim::CardFault::WtxStorm).wtx(1, 2));
        exchange(t1, echoApdu(4, 9), t1Exchanges);
        card->arm(sim::FaultPlan(sim::CardFault::Slow).slow(std::chrono::milliseconds(7)));
        exchange(t1, echoApdu(3, 5), t1Exchanges);  // the reader asks for more time
        ASSERT_EQ(SCardDisconnect(t1, SCARD_UNPOWER_CARD), SCARD_S_SUCCESS);
        kase->removeCard();
        ASSERT_TRUE(waitForState(context, SCARD_STATE_EMPTY));

        const SCARDHANDLE t0 = connectTo("t0");
        ASSERT_EQ(protocol, DWORD(SCARD_PROTOCOL_T0));
        exchange(t0, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}, t0Exchanges);
        exchange(t0, {0x00, 0xEE, 0x00, 0x04, 0x04}, t0Exchanges);
        ASSERT_EQ(SCardDisconnect(t0, SCARD_UNPOWER_CARD), SCARD_S_SUCCESS);
        kase->removeCard();
        ASSERT_TRUE(waitForState(context, SCARD_STATE_EMPTY));
        // The notification of the removal is on the wire once the library has seen it.
    }

    // "0x62 0", "0x80 0", ... for every CCID message the reader took or sent, in order.
    std::vector<std::string> bulkMessages() {
        std::vector<std::string> out;
        for (const auto &e : kase->recorder().entries()) {
            if (!sim::protocolIs(e.protocol, "ccidbulk") || e.bytes.size() < 10 ||
                e.direction == sim::Direction::Withheld)
                continue;
            char b[16];
            std::snprintf(b, sizeof b, "0x%02x\t%u", e.bytes[0], e.bytes[6]);
            out.push_back(b);
        }
        return out;
    }

    std::string path;
    std::vector<Exchange> t1Exchanges, t0Exchanges;
};
INSTANTIATE_TEST_SUITE_P(InProcess, CaptureSessionTest, ::testing::Values(Backend::InProcess),
                         backendName);

TEST_P(CaptureSessionTest, TsharkDecodesTheMessagesAndTheT0Apdus) {
    std::string out;
    ASSERT_TRUE(run("tshark -v 2>&1", out))
        << "tshark is missing: scripts/install-deps.sh installs it";
    // The CCID dissector finds the endpoints from the capture's own enumeration.
    ASSERT_TRUE(run("tshark -r '" + path +
                        "' -Y usbccid -T fields -e usbccid.bMessageType -e usbccid.bSeq "
                        "2>/dev/null",
                    out));
    const auto expected = bulkMessages();
    ASSERT_GT(expected.size(), 20u);
    EXPECT_EQ(lines(out), expected);

    // T=0 APDUs through the ISO 7816 dissector (chosen as the CCID payload's dissector; it
    // reads T=0 only, so from the T=0 parameters on).
    ASSERT_TRUE(run("tshark -r '" + path +
                        "' -Y 'usbccid.bMessageType == 0x61 && usbccid.bProtocolNum == 0' -T "
                        "fields -e frame.number 2>/dev/null",
                    out));
    ASSERT_EQ(lines(out).size(), 1u) << out;
    const std::string t0From = lines(out)[0];
    ASSERT_TRUE(run("tshark -r '" + path + "' -d usbccid.subdissector,iso7816 -Y 'frame.number > " +
                        t0From +
                        " && (iso7816.apdu.ins || iso7816.apdu.sw1)' -T fields -e iso7816.apdu.cla "
                        "-e iso7816.apdu.ins "
                        "-e iso7816.apdu.p1 -e iso7816.apdu.p2 -e iso7816.apdu.body "
                        "-e iso7816.apdu.sw1 -e iso7816.apdu.sw2 2>/dev/null",
                    out));
    const auto decoded = lines(out);
    ASSERT_EQ(decoded.size(), 2 * t0Exchanges.size()) << out;
    for (size_t i = 0; i < t0Exchanges.size(); ++i) {
        const Bytes &c = t0Exchanges[i].command, &r = t0Exchanges[i].response;
        char head[64];
        std::snprintf(head, sizeof head, "0x%02x\t0x%02x\t0x%02x\t0x%02x\t", c[0], c[1], c[2],
                      c[3]);
        std::string body = c.size() > 5 ? hexOf(Bytes(c.begin() + 5, c.end())) : "";
        for (auto &ch : body)
            ch = static_cast<char>(std::tolower(ch));
        EXPECT_EQ(decoded[2 * i], head + body + "\t\t") << "command " << i;
        std::string data = hexOf(Bytes(r.begin(), r.end() - 2));
        for (auto &ch : data)
            ch = static_cast<char>(std::tolower(ch));
        char sw[32];
        std::snprintf(sw, sizeof sw, "\t0x%02x\t0x%02x", r[r.size() - 2], r.back());
        EXPECT_EQ(decoded[2 * i + 1], "\t\t\t\t" + data + sw) << "response " << i;
    }
}

TEST_P(CaptureSessionTest, VoraselTraceShowsTheKnownExchange) {
    std::string out;
    ASSERT_TRUE(run(std::string(VORASEL_TOOL_PATH) + " trace --json '" + path + "'", out));
    const auto json = lines(out);

    // The same CCID messages in the same order.
    std::vector<std::string> seen;
    for (const auto &l : json) {
        const size_t type = l.find("\"type\":"), seq = l.find("\"seq\":");
        if (l.find("\"device\":\"1.2\"") == std::string::npos || seq == std::string::npos) continue;
        char b[16];
        std::snprintf(b, sizeof b, "0x%02x\t%lu", std::stoi(l.substr(type + 7)),
                      std::stoul(l.substr(seq + 6)));
        seen.push_back(b);
    }
    EXPECT_EQ(seen, bulkMessages());

    // Each APDU completed by a command line, then its response with the status word.
    size_t at = 0;
    for (const auto *list : {&t1Exchanges, &t0Exchanges}) {
        for (const auto &e : *list) {
            const std::string command = "\"direction\":\"out\"";
            const std::string apdu = "\"apdu\":\"" + hexOf(e.command) + "\"";
            while (at < json.size() && (json[at].find(apdu) == std::string::npos ||
                                        json[at].find(command) == std::string::npos))
                ++at;
            ASSERT_LT(at, json.size()) << "command " << hexOf(e.command);
            const std::string response = "\"apdu\":\"" + hexOf(e.response) + "\",\"sw\":\"" +
                                         hexOf(Bytes(e.response.end() - 2, e.response.end())) +
                                         "\",\"meaning\":\"success\",\"rtt_ms\":";
            while (at < json.size() && json[at].find(response) == std::string::npos)
                ++at;
            ASSERT_LT(at, json.size()) << "response " << hexOf(e.response);
        }
    }
    auto count = [&](const std::string &needle) {
        size_t n = 0;
        for (const auto &l : json)
            n += l.find(needle) != std::string::npos;
        return n;
    };
    EXPECT_EQ(count("\"detail\":\"PPS request FF 11 13 FD\""), 1u);
    EXPECT_EQ(count("\"text\":\"S(WTX request) 2\""), 1u);
    EXPECT_EQ(count("\"text\":\"S(WTX response) 2\""), 1u);
    EXPECT_GE(count("\"status\":\"time extension x1, card active\""), 1u);
    EXPECT_GE(count("\"more\":true"), 4u) << "609 and 602 bytes chained, IFS 254 and 250";
    EXPECT_EQ(count("\"detail\":\"slot 0: card absent\""), 2u) << "the two removals";
    EXPECT_EQ(count("\"detail\":\"slot 0: card present\""), 2u)
        << "the first card, found when the reader opens, and the second one";
}

}  // namespace
}  // namespace hv::test::pcsc
