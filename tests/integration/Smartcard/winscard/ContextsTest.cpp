// Contexts, the reader listing and the memory the interface hands out.
#include <cstring>

#include "PcscFixture.h"
#include "Smartcard/winscard/ReaderRecord.h"

namespace hv::test::pcsc {
namespace {

using Clock = std::chrono::steady_clock;

class ContextsTest : public PcscTest {};
INSTANTIATE_TEST_SUITE_P(InProcess, ContextsTest, ::testing::Values(Backend::InProcess),
                         backendName);

TEST_P(ContextsTest, ValuesCountUpAndTheLastReleaseClosesTheReader) {
    const SCARDCONTEXT a = establish(), b = establish(), c = establish();
    EXPECT_GE(a, 0x00010001u);
    EXPECT_EQ(b, a + 1);
    EXPECT_EQ(c, a + 2);
    const size_t opened = kase->accessory().sessionsOpened("ccidbulk");
    EXPECT_GE(opened, 1u);
    for (SCARDCONTEXT x : {a, b})
        EXPECT_EQ(SCardIsValidContext(x), SCARD_S_SUCCESS);
    release(b);
    EXPECT_EQ(SCardIsValidContext(b), SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(SCardReleaseContext(b), SCARD_E_INVALID_HANDLE);
    release(a);
    // The reader stays open while a context lives.
    EXPECT_EQ(kase->accessory().sessionsOpened("ccidbulk"), opened);
    release(c);
    EXPECT_EQ(SCardIsValidContext(c), SCARD_E_INVALID_HANDLE);

    // After the last release there is nothing to release, and the next context is a new value
    // that opens the reader again.
    ScopedCapture capture;
    EXPECT_EQ(SCardReleaseContext(c), SCARD_E_INVALID_HANDLE);
    EXPECT_TRUE(capture.logger().contains("context_lock is nil!"));
    const SCARDCONTEXT d = establish();
    EXPECT_EQ(d, c + 1);
    EXPECT_EQ(kase->accessory().sessionsOpened("ccidbulk"), opened + 1);
}

TEST_P(ContextsTest, RefusesScopesParametersAndUndeclaredProtocols) {
    SCARDCONTEXT c = 99;
    EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_TERMINAL, nullptr, nullptr, &c),
              SCARD_E_INVALID_VALUE);
    EXPECT_EQ(c, 0u);
    c = 99;
    EXPECT_EQ(SCardEstablishContext(0x10, nullptr, nullptr, &c), SCARD_E_INVALID_VALUE);
    EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, nullptr),
              SCARD_E_INVALID_PARAMETER);
    for (DWORD scope : {SCARD_SCOPE_USER, SCARD_SCOPE_SYSTEM}) {
        ASSERT_EQ(SCardEstablishContext(scope, nullptr, nullptr, &c), SCARD_S_SUCCESS);
        contexts.push_back(c);
    }

    // Without all three CCID protocols declared, nothing else is looked at.
    HVHost::setSupportedAccessoryProtocols({"com.vorasel.ccidbulk", "COM.VORASEL.CCIDINTERRUPT"});
    EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, nullptr),
              SCARD_E_INVALID_TARGET);
    EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &c),
              SCARD_E_INVALID_TARGET);
    // Compared without regard to case.
    HVHost::setSupportedAccessoryProtocols(
        {"com.vorasel.ccidbulk", "COM.VORASEL.CCIDINTERRUPT", "Com.Vorasel.CcidControl"});
    EXPECT_NE(establish(), 0u);
}

TEST_P(ContextsTest, PowerManagementOptOutNeedsAModernSystemOnTheFirstContextOnly) {
    HVHost::setOperatingSystemVersion("4.3");
    SCARDCONTEXT c = 0;
    EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, &g_bgm_disable, nullptr, &c),
              SCARD_E_READER_UNSUPPORTED);
    const SCARDCONTEXT first = establish();
    // A later context ignores the request.
    EXPECT_NE(establish(&g_bgm_disable), 0u);
    BYTE on = 0;
    DWORD length = 1;
    ASSERT_EQ(SCardGetAttrib(0, SCARD_ATTR_VENDOR_POWER_MANAGEMENT, &on, &length), SCARD_S_SUCCESS);
    EXPECT_EQ(on, 1);
    (void)first;
}

TEST_P(ContextsTest, ListsTheOneReader) {
    context = establish();
    static const char expected[27] = "Halvane Smart Card Reader\0";
    DWORD length = 0;
    ASSERT_EQ(SCardListReaders(context, nullptr, nullptr, &length), SCARD_S_SUCCESS);
    EXPECT_EQ(length, 27u);

    char buffer[40];
    std::memset(buffer, 'x', sizeof buffer);
    length = 26;
    EXPECT_EQ(SCardListReaders(context, nullptr, buffer, &length), SCARD_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(length, 27u);
    EXPECT_EQ(buffer[0], 'x');
    length = 27;
    ASSERT_EQ(SCardListReaders(context, "ignored", buffer, &length), SCARD_S_SUCCESS);
    EXPECT_EQ(std::memcmp(buffer, expected, 27), 0);
    EXPECT_EQ(buffer[27], 'x');

    char *block = nullptr;
    length = SCARD_AUTOALLOCATE;
    ASSERT_EQ(SCardListReaders(context, nullptr, reinterpret_cast<LPSTR>(&block), &length),
              SCARD_S_SUCCESS);
    EXPECT_EQ(length, 27u);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(std::memcmp(block, expected, 27), 0);
    EXPECT_EQ(SCardFreeMemory(context, block), SCARD_S_SUCCESS);

    length = SCARD_AUTOALLOCATE;
    EXPECT_EQ(SCardListReaders(context, nullptr, nullptr, &length), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(length, 27u);
    EXPECT_EQ(SCardListReaders(context, nullptr, buffer, nullptr), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(SCardListReaders(context + 5, nullptr, buffer, &length), SCARD_E_INVALID_HANDLE);
}

TEST_P(ContextsTest, FreeMemoryTakesOnlyLiveBlocksItHandedOut) {
    context = establish();
    char *block = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    ASSERT_EQ(SCardListReaders(context, nullptr, reinterpret_cast<LPSTR>(&block), &length),
              SCARD_S_SUCCESS);
    static char staticBuffer[32];
    char stackBuffer[32];
    char *heapBlock = new char[32];
    EXPECT_EQ(SCardFreeMemory(context, nullptr), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(SCardFreeMemory(context, staticBuffer), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(SCardFreeMemory(context, stackBuffer), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(SCardFreeMemory(context, heapBlock), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(SCardFreeMemory(context, block + 3), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(SCardFreeMemory(context + 1, block), SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(SCardFreeMemory(context, block), SCARD_S_SUCCESS);
    EXPECT_EQ(SCardFreeMemory(context, block), SCARD_E_INVALID_PARAMETER);
    delete[] heapBlock;
}

TEST_P(ContextsTest, UnofferedFunctionsAnswer78AndTouchNothing) {
    context = establish();
    char groups[8] = "abc";
    DWORD length = 8, returned = 5;
    EXPECT_EQ(SCardListReaderGroups(context, groups, &length), 78);
    EXPECT_EQ(SCardControl(0, 1, nullptr, 0, groups, sizeof groups, &returned), 78);
    EXPECT_STREQ(groups, "abc");
    EXPECT_EQ(length, 8u);
    EXPECT_EQ(returned, 5u);
}

TEST_P(ContextsTest, NoAccessoryMeansNoReaderUntilOneArrives) {
    kase->accessory().detach();
    ASSERT_TRUE(waitUntil([] { return HVIFDH::sharedInstance().accessory_state() == 0; }));
    context = establish();  // the reader opens later, when the accessory comes
    DWORD length = 50;
    EXPECT_EQ(SCardListReaders(context, nullptr, nullptr, &length), SCARD_E_NO_READERS_AVAILABLE);
    EXPECT_EQ(length, 0u);

    // Nothing to wait for: the waits and the connection answer at once.
    auto t0 = Clock::now();
    waitForReaderConnect(250);
    waitForReaderStateChange(SCARD_STATE_UNKNOWN, 250);
    SCARDHANDLE h = 0;
    EXPECT_EQ(
        SCardConnect(context, sc_reader_name, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &h, &protocol),
        SCARD_E_READER_UNAVAILABLE);
    SCARD_READERSTATE s;
    EXPECT_EQ(statusChange(context, 1000, SCARD_STATE_UNAWARE, &s), SCARD_E_UNKNOWN_READER);
    EXPECT_LT(Clock::now() - t0, 200ms);  // none of them waited

    card = insert("t1");
    kase->accessory().attach();
    ASSERT_TRUE(waitForState(context, SCARD_STATE_PRESENT));
    length = 0;
    EXPECT_EQ(SCardListReaders(context, nullptr, nullptr, &length), SCARD_S_SUCCESS);
    EXPECT_EQ(
        SCardConnect(context, sc_reader_name, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &h, &protocol),
        SCARD_S_SUCCESS);
}

TEST_P(ContextsTest, StateWaitRunsWholeSlicesOnly) {
    context = establish();
    insert("t1");
    ASSERT_TRUE(waitForState(context, SCARD_STATE_PRESENT));
    const DWORD now = readerState(context);
    auto t0 = Clock::now();
    waitForReaderStateChange(now, 5);
    EXPECT_LT(Clock::now() - t0, 100ms);  // no slice to wait
    t0 = Clock::now();
    waitForReaderStateChange(now, 30);
    EXPECT_GE(Clock::now() - t0, 30ms);
}

TEST_P(ContextsTest, ReaderThatCannotOpenGivesNoService) {
    kase->accessory().detach();
    ASSERT_TRUE(waitUntil([] { return HVIFDH::sharedInstance().accessory_state() == 0; }));
    {
        auto lock = kase->accessory().lock();
        auto &faults = kase->accessory().faults("ccidbulk");
        faults.failInputOpen = faults.failOutputOpen = sim::FaultCount::always();
    }
    kase->accessory().attach();
    ASSERT_TRUE(waitUntil([] { return HVAccessory::sharedClass().isConnected(); }));
    SCARDCONTEXT c = 0;
    // Seven attempts, half a second apart, then the failure.
    const LONG rv = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &c);
    if (rv == SCARD_S_SUCCESS) contexts.push_back(c);
    EXPECT_EQ(rv, SCARD_E_NO_SERVICE);
    EXPECT_EQ(SCardIsValidContext(c), SCARD_E_INVALID_HANDLE);
    {
        auto lock = kase->accessory().lock();
        auto &faults = kase->accessory().faults("ccidbulk");
        faults.failInputOpen = faults.failOutputOpen = sim::FaultCount{};
    }
    EXPECT_NE(establish(), 0u);
}

}  // namespace
}  // namespace hv::test::pcsc
