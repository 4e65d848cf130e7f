// Reader events and SCardGetStatusChange against the simulated case: states reported, waits
// ended by insertion, removal, cancel and the reader going away, and the card notifications.
#include <future>
#include <mutex>
#include <thread>

#include "PcscFixture.h"
#include "Smartcard/winscard/ReaderRecord.h"
#include "vorasel/sim/Ccid.h"

namespace hv::test::pcsc {
namespace {

using Clock = std::chrono::steady_clock;

// The card notifications as an application observes them.
class CardNotifications {
public:
    CardNotifications() {
        for (const char *name : {"HV_CARD_INSERTED", "HV_CARD_REMOVED"})
            tokens_.push_back(HVHost::addObserver(name, [this](const char *n, const void *sender) {
                std::lock_guard lock(mutex_);
                seen_.push_back(std::string(n) + (sender ? " with sender" : ""));
            }));
    }
    ~CardNotifications() {
        for (auto t : tokens_)
            HVHost::removeObserver(t);
    }
    std::vector<std::string> seen() const {
        std::lock_guard lock(mutex_);
        return seen_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> seen_;
    std::vector<HVHost::ObserverToken> tokens_;
};

class StatusChangeTest : public PcscTest {};
HV_PCSC_BACKENDS(StatusChangeTest);

TEST_P(StatusChangeTest, ReportsADifferentStateAtOnce) {
    const auto inserted = insert("t1");
    context = establish();
    ASSERT_TRUE(waitForState(context, SCARD_STATE_PRESENT));
    SCARD_READERSTATE s;
    ASSERT_EQ(statusChange(context, 0, SCARD_STATE_UNAWARE, &s), SCARD_S_SUCCESS);
    EXPECT_EQ(s.dwEventState, static_cast<DWORD>(SCARD_STATE_PRESENT | SCARD_STATE_UNPOWERED |
                                                 SCARD_STATE_CHANGED));
    // No card has answered yet: no ATR.
    EXPECT_EQ(s.cbAtr, 0u);
    // Passing back what was reported, CHANGED included, waits.
    const DWORD reported = s.dwEventState;
    EXPECT_EQ(statusChange(context, 0, reported, &s), SCARD_E_TIMEOUT);

    // Connected, the state says so and carries the ATR.
    SCARDHANDLE h = 0;
    ASSERT_EQ(
        SCardConnect(context, sc_reader_name, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &h, &protocol),
        SCARD_S_SUCCESS);
    ASSERT_EQ(statusChange(context, 0, reported, &s), SCARD_S_SUCCESS);
    EXPECT_EQ(s.dwEventState,
              static_cast<DWORD>(SCARD_STATE_PRESENT | SCARD_STATE_INUSE | SCARD_STATE_CHANGED));
    EXPECT_EQ(Bytes(s.rgbAtr, s.rgbAtr + s.cbAtr), inserted->atr());
}

TEST_P(StatusChangeTest, RefusesBadArguments) {
    context = establish();
    SCARD_READERSTATE s[2] = {};
    s[0].szReader = s[1].szReader = sc_reader_name;
    EXPECT_EQ(SCardGetStatusChange(context, 0, s, 2), SCARD_E_INVALID_VALUE);
    EXPECT_EQ(SCardGetStatusChange(context, 0, nullptr, 1), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(SCardGetStatusChange(context + 77, 0, s, 1), SCARD_E_INVALID_HANDLE);
    for (const char *name : {"Other Reader", "", static_cast<const char *>(nullptr)}) {
        s[0].szReader = name;
        EXPECT_EQ(SCardGetStatusChange(context, 0, s, 1), SCARD_E_UNKNOWN_READER);
    }
}

TEST_P(StatusChangeTest, TimesOutInWholeSlices) {
    ScopedCapture capture;
    insert("t1");
    context = establish();
    ASSERT_TRUE(waitForState(context, SCARD_STATE_PRESENT));
    const DWORD now = readerState(context);
    SCARD_READERSTATE s;
    for (DWORD timeout : {0u, 9u}) {
        const auto t0 = Clock::now();
        s.dwEventState = 0x12345678;
        EXPECT_EQ(statusChange(context, timeout, now, &s), SCARD_E_TIMEOUT);
        EXPECT_LT(Clock::now() - t0, 100ms) << timeout;  // no slice to wait
    }
    const auto t0 = Clock::now();
    EXPECT_EQ(statusChange(context, 200, now, &s), SCARD_E_TIMEOUT);
    const auto waited = Clock::now() - t0;
    EXPECT_GE(waited, 200ms);
    EXPECT_LT(waited, 2s);
    EXPECT_EQ(s.dwEventState, 0u);  // not written (statusChange zeroed it)
    EXPECT_TRUE(capture.logger().contains("timed out 200 ms"));
}

TEST_P(StatusChangeTest, RemovalAndInsertionEndTheWaitAtOnce) {
    CardNotifications notifications;
    const SCARDHANDLE h = connectTo("t1");
    SCARD_READERSTATE s;
    ASSERT_EQ(statusChange(context, 0, SCARD_STATE_UNAWARE, &s), SCARD_S_SUCCESS);
    const Bytes atr(s.rgbAtr, s.rgbAtr + s.cbAtr);
    ASSERT_FALSE(atr.empty());
    const DWORD connected = s.dwEventState;

    auto removal = std::async(std::launch::async, [&] {
        SCARD_READERSTATE w;
        const LONG rv = statusChange(context, 60000, connected, &w);
        return std::make_pair(rv, w);
    });
    ASSERT_TRUE(waitUntil([&] { return hv::pcsc::waitsInProgress() > 0; }));
    kase->removeCard();
    ASSERT_EQ(removal.wait_for(5s), std::future_status::ready);
    auto [rv, w] = removal.get();
    EXPECT_EQ(rv, SCARD_S_SUCCESS);
    EXPECT_EQ(w.dwEventState, static_cast<DWORD>(SCARD_STATE_EMPTY | SCARD_STATE_CHANGED));
    // The emptied reader has no ATR: the one read on entry is not carried over.
    EXPECT_EQ(w.cbAtr, 0u);
    EXPECT_EQ(Bytes(w.rgbAtr, w.rgbAtr + sizeof w.rgbAtr), Bytes(sizeof w.rgbAtr, 0));
    EXPECT_EQ(SCardStatus(h, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
              SCARD_E_INVALID_HANDLE);

    auto insertion = std::async(std::launch::async, [&] {
        SCARD_READERSTATE w2;
        const LONG rv2 = statusChange(context, 60000, SCARD_STATE_EMPTY, &w2);
        return std::make_pair(rv2, w2);
    });
    ASSERT_TRUE(waitUntil([&] { return hv::pcsc::waitsInProgress() > 0; }));
    insert("t1");
    ASSERT_EQ(insertion.wait_for(5s), std::future_status::ready);
    auto [rv2, w2] = insertion.get();
    EXPECT_EQ(rv2, SCARD_S_SUCCESS);
    EXPECT_EQ(w2.dwEventState, static_cast<DWORD>(SCARD_STATE_PRESENT | SCARD_STATE_UNPOWERED |
                                                  SCARD_STATE_CHANGED));
    EXPECT_EQ(w2.cbAtr, 0u);  // not powered yet

    // The first card state after opening is no news; the removal and insertion are.
    ASSERT_TRUE(waitUntil([&] { return notifications.seen().size() >= 2; }));
    EXPECT_EQ(notifications.seen(),
              (std::vector<std::string>{"HV_CARD_REMOVED", "HV_CARD_INSERTED"}));
}

// An empty reader reads EMPTY as soon as it is open, with nobody asking for a card; its
// emptiness is its first state, no news, and the first card put in is news.
TEST_P(StatusChangeTest, AnEmptyReaderReadsEmptyOnceOpenAndItsFirstCardIsNews) {
    CardNotifications notifications;
    context = establish();
    ASSERT_TRUE(waitForState(context, SCARD_STATE_EMPTY, 2s));
    EXPECT_EQ(commandsOfType(sim::ccid::kIccPowerOn), 0u);
    insert("t1");
    ASSERT_TRUE(waitForState(context, SCARD_STATE_PRESENT));
    ASSERT_TRUE(waitUntil([&] { return !notifications.seen().empty(); }));
    EXPECT_EQ(notifications.seen(), std::vector<std::string>{"HV_CARD_INSERTED"});
}

TEST_P(StatusChangeTest, CancelEndsTheWaitOfAnotherThread) {
    context = establish();
    insert("t1");
    ASSERT_TRUE(waitForState(context, SCARD_STATE_PRESENT));
    const DWORD now = readerState(context);
    // A cancel while nothing waits ends the next wait, once, however often it was asked for;
    // a call that does not wait leaves it in place.
    EXPECT_EQ(SCardCancel(context), SCARD_S_SUCCESS);
    EXPECT_EQ(SCardCancel(context), SCARD_S_SUCCESS);
    SCARD_READERSTATE s;
    EXPECT_EQ(statusChange(context, 0, now, &s), SCARD_E_TIMEOUT);
    EXPECT_EQ(statusChange(context, 5000, now, &s), SCARD_W_CANCELLED_BY_USER);
    EXPECT_EQ(statusChange(context, 20, now, &s), SCARD_E_TIMEOUT);

    const SCARDCONTEXT other = establish();
    auto waiting = std::async(std::launch::async, [&] {
        SCARD_READERSTATE w;
        return statusChange(context, 60000, now, &w);
    });
    ASSERT_TRUE(waitUntil([&] { return hv::pcsc::waitsInProgress() > 0; }));
    const auto t0 = Clock::now();
    EXPECT_EQ(SCardCancel(other), SCARD_S_SUCCESS);  // any context cancels
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    EXPECT_LT(Clock::now() - t0, 1s);
    EXPECT_EQ(waiting.get(), SCARD_W_CANCELLED_BY_USER);
    EXPECT_EQ(SCardCancel(context + 99), SCARD_E_INVALID_HANDLE);
}

// A thread that waits in a loop, and another that cancels at any moment: each cancel ends
// exactly one wait, whether it lands during a wait or between two.
TEST_P(StatusChangeTest, EveryCancelEndsExactlyOneWaitOfALoop) {
    context = establish();
    insert("t1");
    ASSERT_TRUE(waitForState(context, SCARD_STATE_PRESENT));
    const DWORD now = readerState(context);
    constexpr int kCancels = 200;
    std::atomic<int> ended{0};
    auto waiting = std::async(std::launch::async, [&] {
        int timedOut = 0;
        while (ended.load() < kCancels) {
            SCARD_READERSTATE w;
            const LONG rv = statusChange(context, 3000, now, &w);
            if (rv == SCARD_W_CANCELLED_BY_USER)
                ended.fetch_add(1);
            else if (++timedOut > 2)
                break;  // cancels were lost
        }
        return timedOut;
    });
    for (int i = 0; i < kCancels; ++i) {
        // The next cancel only once the previous one has been taken, wherever the loop is.
        ASSERT_TRUE(waitUntil([&] { return ended.load() == i; }, 10s)) << i;
        EXPECT_EQ(SCardCancel(context), SCARD_S_SUCCESS);
    }
    ASSERT_EQ(waiting.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), 0);
    EXPECT_EQ(ended.load(), kCancels);
}

TEST_P(StatusChangeTest, DetachEndsTheWaitWithReaderUnavailable) {
    insert("t1");
    context = establish();
    ASSERT_TRUE(waitForState(context, SCARD_STATE_PRESENT));
    const DWORD now = readerState(context);
    auto waiting = std::async(std::launch::async, [&] {
        SCARD_READERSTATE w;
        return statusChange(context, 60000, now, &w);
    });
    ASSERT_TRUE(waitUntil([&] { return hv::pcsc::waitsInProgress() > 0; }));
    kase->accessory().detach();
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), SCARD_E_READER_UNAVAILABLE);
    // With nothing attached the reader is unknown, and listing finds none.
    ASSERT_TRUE(waitUntil([] { return !HVAccessory::sharedClass().isConnected(); }));
    SCARD_READERSTATE s;
    ASSERT_TRUE(
        waitUntil([&] { return statusChange(context, 0, now, &s) == SCARD_E_UNKNOWN_READER; }));
    DWORD length = 100;
    EXPECT_EQ(SCardListReaders(context, nullptr, nullptr, &length), SCARD_E_NO_READERS_AVAILABLE);
    EXPECT_EQ(length, 0u);

    // Attached again: the reader reopens by itself and the card is seen.
    kase->accessory().attach();
    EXPECT_TRUE(waitForState(context, SCARD_STATE_PRESENT));
}

TEST_P(StatusChangeTest, LastReleaseEndsAWaitOnAnotherThread) {
    insert("t1");
    const SCARDCONTEXT c = establish();
    ASSERT_TRUE(waitForState(c, SCARD_STATE_PRESENT));
    const DWORD now = readerState(c);
    auto waiting = std::async(std::launch::async, [&] {
        SCARD_READERSTATE w;
        return statusChange(c, 60000, now, &w);
    });
    ASSERT_TRUE(waitUntil([&] { return hv::pcsc::waitsInProgress() > 0; }));
    release(c);
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), SCARD_E_READER_UNAVAILABLE);
}

}  // namespace
}  // namespace hv::test::pcsc
