// The PC/SC call trace of a session: each call with its arguments and its result by name, the
// summary per function when the trace ends, and PINs masked whichever interface sent them.
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "PcscFixture.h"
#include "Smartcard/winscard/CallTrace.h"
#include "vorasel/HVSmartcard.h"
#include "vorasel/plugin.h"

namespace hv::test::pcsc {
namespace {

class CallTraceTest : public PcscTest {
protected:
    void SetUp() override {
        PcscTest::SetUp();
        path = "/tmp/hv-call-trace-" + std::to_string(::getpid()) + ".txt";
        ::unlink(path.c_str());
        ASSERT_TRUE(hv::pcsc::trace::setDestination(path.c_str()));
    }
    void TearDown() override {
        HVSmartcard().close();
        PcscTest::TearDown();
        hv::pcsc::trace::setDestination(nullptr);
        ::unlink(path.c_str());
    }
    // Ends the trace and gives what it wrote.
    std::string finish() {
        hv::pcsc::trace::setDestination(nullptr);
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string path;
};
HV_PCSC_BACKENDS(CallTraceTest);

TEST_P(CallTraceTest, ListsEachCallWithItsResultAndEndsWithTheSummary) {
    const SCARDHANDLE h = connectTo("t1");
    ASSERT_EQ(transmit(h, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}).rv, SCARD_S_SUCCESS);
    SCARDHANDLE none = 0;
    DWORD active = 0;
    EXPECT_EQ(
        SCardConnect(0x7777, sc_reader_name, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &none, &active),
        SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(SCardDisconnect(h, SCARD_UNPOWER_CARD), SCARD_S_SUCCESS);
    const std::string trace = finish();

    EXPECT_NE(trace.find("SCardEstablishContext\n i dwScope: SCARD_SCOPE_SYSTEM (0x00000002)\n"
                         " i pvReserved1: NULL\n o hContext: 0x"),
              std::string::npos)
        << trace;
    EXPECT_NE(trace.find(" i dwPreferredProtocols: T=0 | T=1 (0x00000003)\n o hCard: 0x"),
              std::string::npos);
    EXPECT_NE(trace.find(" i pbSendBuffer: 00 A4 00 0C 02 3F 00 (7 bytes)\n i pcbRecvLength: "
                         "70000\n o pbRecvBuffer: 90 00 (2 bytes)\n => SCARD_S_SUCCESS "
                         "(0x00000000) ["),
              std::string::npos);
    EXPECT_NE(trace.find(" i hContext: 0x00007777\n i szReader: \"Halvane Smart Card Reader\"\n"
                         " i dwShareMode: SCARD_SHARE_SHARED (0x00000002)\n"
                         " i dwPreferredProtocols: T=1 (0x00000002)\n"
                         " => SCARD_E_INVALID_HANDLE (0x80100003)"),
              std::string::npos);
    EXPECT_NE(trace.find(" i dwDisposition: SCARD_UNPOWER_CARD (0x00000002)\n => SCARD_S_SUCCESS"),
              std::string::npos);
    // The summary: calls and total time per function.
    const size_t summary = trace.find("\nSummary: ");
    ASSERT_NE(summary, std::string::npos);
    const std::string tail = trace.substr(summary);
    for (const char *row :
         {"\n +1 +[0-9.]+  SCardEstablishContext\n", "\n +2 +[0-9.]+  SCardConnect\n",
          "\n +1 +[0-9.]+  SCardTransmit\n", "\n +1 +[0-9.]+  SCardDisconnect\n",
          "\n +[0-9]+ +[0-9.]+  SCardGetStatusChange\n"})
        EXPECT_TRUE(std::regex_search(tail, std::regex(row))) << row << "\n" << tail;
    // Nothing after the trace ended.
    ASSERT_EQ(transmit(h, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}).rv, SCARD_E_INVALID_HANDLE);
    std::ifstream again(path);
    std::stringstream after;
    after << again.rdbuf();
    EXPECT_EQ(after.str(), trace);
}

// VERIFY, CHANGE REFERENCE DATA and RESET RETRY COUNTER carry PINs: from the PC/SC functions
// and from a plug-in host alike, only their header and length reach the trace.
TEST_P(CallTraceTest, NeverWritesPins) {
    const Bytes verify = {0x00, 0x20, 0x00, 0x81, 0x06, '9', '8', '1', '7', '2', '6'};
    const Bytes change = {0x00, 0x24, 0x00, 0x81, 0x08, '9', '8', '1', '7', '2', '6', '5', '4'};
    const Bytes unblock = {0x00, 0x2C, 0x00, 0x81, 0x06, '9', '8', '1', '7', '2', '6'};
    const SCARDHANDLE h = connectTo("t1");
    for (const Bytes &apdu : {verify, change, unblock})
        EXPECT_EQ(transmit(h, apdu).rv, SCARD_S_SUCCESS);
    EXPECT_EQ(SCardDisconnect(h, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);

    ASSERT_EQ(Plugin_Initialize(), PLUGIN_OK);
    PluginHandle *plugin = nullptr;
    ASSERT_EQ(Plugin_Connect("Vorasel", &plugin), PLUGIN_OK);
    uint8_t response[PLUGIN_RESPONSE_CAPACITY];
    uint32_t length = 0;
    EXPECT_EQ(Plugin_ExecuteCommand(plugin, verify.data(), static_cast<uint32_t>(verify.size()),
                                    response, &length, 1),
              PLUGIN_OK);
    EXPECT_EQ(Plugin_Disconnect(plugin), PLUGIN_OK);
    EXPECT_EQ(Plugin_FreeMemory(plugin), PLUGIN_OK);

    const std::string trace = finish();
    EXPECT_EQ(trace.find("39 38 31 37 32 36"), std::string::npos) << trace;
    EXPECT_EQ(trace.find("981726"), std::string::npos);
    size_t masked = 0;
    for (size_t at = 0; (at = trace.find(" bytes masked]", at)) != std::string::npos; ++at)
        ++masked;
    EXPECT_EQ(masked, 4u) << trace;
    EXPECT_NE(trace.find("00 20 00 81 06 [6 bytes masked] (11 bytes)"), std::string::npos);
    EXPECT_NE(trace.find("00 24 00 81 08 [8 bytes masked] (13 bytes)"), std::string::npos);
}

}  // namespace
}  // namespace hv::test::pcsc
