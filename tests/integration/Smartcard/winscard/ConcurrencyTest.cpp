// The PC/SC functions from several threads at once, and the card, the accessory and the
// application moving under a transmission.
#include <atomic>
#include <future>
#include <thread>

#include "PcscFixture.h"
#include "Smartcard/winscard/ReaderRecord.h"
#include "vorasel/sim/Ccid.h"

namespace hv::test::pcsc {
namespace {

class ConcurrencyTest : public PcscTest {
protected:
    // Back from the background: the reader opens again and a new connection is made.
    SCARDHANDLE connectInTheForeground() {
        HVHost::postWillEnterForeground();
        SCARDHANDLE again = 0;
        EXPECT_TRUE(waitUntil([&] {
            return SCardConnect(context, sc_reader_name, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1,
                                &again, &protocol) == SCARD_S_SUCCESS;
        }));
        return again;
    }
};
HV_PCSC_BACKENDS(ConcurrencyTest);

TEST_P(ConcurrencyTest, TwoThreadsTransmittingEachGetTheirOwnAnswers) {
    const SCARDHANDLE h = connectTo("t1");
    constexpr int kRounds = 150;
    auto run = [&](uint8_t seed, size_t size) {
        int wrong = 0;
        for (int i = 0; i < kRounds; ++i) {
            const Bytes apdu = echoApdu(size + static_cast<size_t>(i % 7), seed);
            const Response r = transmit(h, apdu);
            if (r.rv != SCARD_S_SUCCESS || r.data != echoed(apdu)) ++wrong;
        }
        return wrong;
    };
    auto a = std::async(std::launch::async, run, uint8_t{0x10}, size_t{20});
    auto b = std::async(std::launch::async, run, uint8_t{0x80}, size_t{300});
    EXPECT_EQ(a.get(), 0);
    EXPECT_EQ(b.get(), 0);
}

TEST_P(ConcurrencyTest, CardPulledDuringATransmission) {
    const SCARDHANDLE h = connectTo("t1");
    kase->reader().faults().add(sim::Fault::removeCard(5ms).on(sim::ccid::kXfrBlock));
    const Response r = transmit(h, echoApdu(16));
    EXPECT_EQ(r.rv, SCARD_W_REMOVED_CARD);
    EXPECT_TRUE(waitForState(context, SCARD_STATE_EMPTY));
    EXPECT_EQ(transmit(h, echoApdu(16)).rv, SCARD_E_INVALID_HANDLE);
}

TEST_P(ConcurrencyTest, AccessoryLeavingDuringATransmission) {
    const SCARDHANDLE h = connectTo("t1");
    // The card works slowly; the case leaves meanwhile.
    card->arm(sim::FaultPlan(sim::CardFault::Slow).slow(std::chrono::seconds(2)));
    auto sending = std::async(std::launch::async, [&] { return transmit(h, echoApdu(16)).rv; });
    ASSERT_TRUE(kase->recorder().waitFor("ccidbulk", sim::Direction::Received, 1, 5s));
    ASSERT_TRUE(waitUntil([&] {
        for (const auto &e : kase->recorder().select("ccidbulk", sim::Direction::Received))
            if (e.bytes[0] == sim::ccid::kXfrBlock) return true;
        return false;
    }));
    const auto t0 = std::chrono::steady_clock::now();
    kase->accessory().detach();
    ASSERT_EQ(sending.wait_for(5s), std::future_status::ready);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1500ms);
    const LONG rv = sending.get();
    EXPECT_TRUE(rv == SCARD_E_READER_UNAVAILABLE || rv == SCARD_F_COMM_ERROR) << std::hex << rv;
    EXPECT_TRUE(waitUntil([&] { return transmit(h, echoApdu(1)).rv == SCARD_E_INVALID_HANDLE; }));
}

TEST_P(ConcurrencyTest, RemovalDuringAStatusWaitAndATransmissionTogether) {
    const SCARDHANDLE h = connectTo("t1");
    const DWORD connected = readerState(context);
    card->arm(sim::FaultPlan(sim::CardFault::Slow, 0, sim::kFaultForever).slow(30ms));
    std::atomic<bool> stop{false};
    auto sending = std::async(std::launch::async, [&] {
        LONG last = SCARD_S_SUCCESS;
        while (!stop.load() && last == SCARD_S_SUCCESS)
            last = transmit(h, echoApdu(8)).rv;
        return last;
    });
    auto waiting = std::async(std::launch::async, [&] {
        SCARD_READERSTATE s;
        const LONG rv = statusChange(context, 60000, connected, &s);
        return std::make_pair(rv, s.dwEventState);
    });
    ASSERT_TRUE(waitUntil([&] { return hv::pcsc::waitsInProgress() > 0; }));
    kase->removeCard();
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    const auto [rv, state] = waiting.get();
    EXPECT_EQ(rv, SCARD_S_SUCCESS);
    EXPECT_EQ(state, static_cast<DWORD>(SCARD_STATE_EMPTY | SCARD_STATE_CHANGED));
    ASSERT_EQ(sending.wait_for(5s), std::future_status::ready);
    stop.store(true);
    const LONG last = sending.get();
    EXPECT_TRUE(last == SCARD_W_REMOVED_CARD || last == SCARD_E_INVALID_HANDLE) << std::hex << last;
}

TEST_P(ConcurrencyTest, BackgroundClosesTheReaderWithPowerManagementOn) {
    ScopedCapture capture;
    const SCARDHANDLE h = connectTo("t1");
    HVHost::postDidEnterBackground();
    ASSERT_TRUE(waitUntil([&] { return transmit(h, echoApdu(2)).rv == SCARD_E_INVALID_HANDLE; }));
    SCARD_READERSTATE s;
    EXPECT_EQ(statusChange(context, 0, SCARD_STATE_UNAWARE, &s), SCARD_S_SUCCESS);
    EXPECT_EQ(s.dwEventState, static_cast<DWORD>(SCARD_STATE_UNKNOWN | SCARD_STATE_CHANGED));

    const SCARDHANDLE again = connectInTheForeground();
    const Bytes apdu = echoApdu(9);
    EXPECT_EQ(transmit(again, apdu).data, echoed(apdu));
    EXPECT_FALSE(capture.logger().contains("power management disabled"));
}

// A transmission cut short by the reader closing leaves the card holding an answer nobody
// took. The first command once the reader is back must get its own answer, not that one.
TEST_P(ConcurrencyTest, ATransmissionCutShortLeavesNoAnswerBehind) {
    const SCARDHANDLE h = connectTo("t1");
    const Bytes first = echoApdu(2);
    ASSERT_EQ(transmit(h, first).data, echoed(first));  // sizes negotiated
    auto blocksSent = [&] { return commandsOfType(sim::ccid::kXfrBlock); };
    const size_t before = blocksSent();
    card->arm(sim::FaultPlan(sim::CardFault::Slow).slow(std::chrono::seconds(1)));
    auto sending = std::async(std::launch::async, [&] { return transmit(h, first).rv; });
    ASSERT_TRUE(waitUntil([&] { return blocksSent() > before; }));
    HVHost::postDidEnterBackground();
    ASSERT_EQ(sending.wait_for(5s), std::future_status::ready);
    EXPECT_NE(sending.get(), SCARD_S_SUCCESS);

    const SCARDHANDLE again = connectInTheForeground();
    const Bytes apdu = echoApdu(9);
    EXPECT_EQ(transmit(again, apdu).data, echoed(apdu));
    EXPECT_EQ(transmit(again, first).data, echoed(first));
}

TEST_P(ConcurrencyTest, BackgroundLeavesTheReaderAloneWithPowerManagementOff) {
    ScopedCapture capture;
    context = establish(&g_bgm_disable);
    const SCARDHANDLE h = connectTo("t1");
    HVHost::postDidEnterBackground();
    HVHost::postWillEnterForeground();
    // Both events are relayed and ignored; the connection carries on throughout.
    ASSERT_TRUE(
        waitUntil([&] { return capture.logger().count("power management disabled") >= 2; }));
    const Bytes apdu = echoApdu(9);
    EXPECT_EQ(transmit(h, apdu).data, echoed(apdu));
    EXPECT_EQ(readerState(context), static_cast<DWORD>(SCARD_STATE_PRESENT | SCARD_STATE_INUSE));
}

TEST_P(ConcurrencyTest, ContextsComeAndGoWhileOthersWork) {
    const SCARDHANDLE h = connectTo("t1");
    std::atomic<bool> stop{false};
    auto churn = std::async(std::launch::async, [&] {
        int failures = 0;
        while (!stop.load()) {
            SCARDCONTEXT c = 0;
            if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &c) != SCARD_S_SUCCESS)
                ++failures;
            DWORD length = 0;
            if (SCardListReaders(c, nullptr, nullptr, &length) != SCARD_S_SUCCESS) ++failures;
            if (SCardReleaseContext(c) != SCARD_S_SUCCESS) ++failures;
        }
        return failures;
    });
    for (int i = 0; i < 100; ++i) {
        const Bytes apdu = echoApdu(static_cast<size_t>(i % 50) + 1);
        ASSERT_EQ(transmit(h, apdu).data, echoed(apdu));
    }
    stop.store(true);
    EXPECT_EQ(churn.get(), 0);
}

// A connect racing a disconnect gets the reader only once the disposition is carried out:
// the card it is handed is not reset or unpowered under it afterwards.
TEST_P(ConcurrencyTest, AConnectRacingADisconnectGetsACardThatStaysUsable) {
    SCARDHANDLE h = connectTo("t1");
    constexpr int kRounds = 40;
    int raced = 0;
    for (int i = 0; i < kRounds; ++i) {
        const DWORD disposition = i % 2 ? SCARD_RESET_CARD : SCARD_UNPOWER_CARD;
        std::atomic<bool> disconnected{false};
        std::atomic<int> attempts{0};
        auto racer = std::async(std::launch::async, [&] {
            SCARDHANDLE got = 0;
            DWORD active = 0;
            // Tries through the disconnect and once after it, so that on a loaded machine the
            // racer still gets in, during the disconnect or right behind it.
            for (;;) {
                const bool last = disconnected.load();
                const LONG rv = SCardConnect(context, sc_reader_name, SCARD_SHARE_SHARED,
                                             SCARD_PROTOCOL_T1, &got, &active);
                attempts.fetch_add(1);
                if (rv == SCARD_S_SUCCESS) return std::make_pair(got, true);
                if (last) return std::make_pair(got, false);
            }
        });
        const bool racing = waitUntil([&] { return attempts.load() > 0; });
        EXPECT_EQ(SCardDisconnect(h, disposition), SCARD_S_SUCCESS);
        disconnected.store(true);
        auto [handle, early] = racer.get();
        ASSERT_TRUE(racing);
        if (early) {
            ++raced;
            h = handle;
        } else {
            ASSERT_EQ(SCardConnect(context, sc_reader_name, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1,
                                   &h, &protocol),
                      SCARD_S_SUCCESS);
        }
        const Bytes apdu = echoApdu(4, static_cast<uint8_t>(i));
        const Response r = transmit(h, apdu);
        ASSERT_EQ(r.rv, SCARD_S_SUCCESS) << "round " << i << (early ? " (raced in)" : "");
        ASSERT_EQ(r.data, echoed(apdu)) << "round " << i;
    }
    // The race was run, not only the plain sequence.
    EXPECT_GT(raced, 0);
}

}  // namespace
}  // namespace hv::test::pcsc
