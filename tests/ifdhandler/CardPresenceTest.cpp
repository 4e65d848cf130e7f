// What pcscd's event thread is told, and when its wait ends: no change lost between a check
// and the wait, every removal told even when an insertion follows at once, answers that hold
// between two waits however often presence is checked, time-outs and stops honoured, and
// threads that never wait told the reader's state as it is.
#include "CardPresence.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "Wait.h"

namespace {

using hv::ifdhandler::CardPresence;
using Change = CardPresence::Change;
using Result = CardPresence::WaitResult;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The reader's state, as the driver's slot state would give it.
struct Reader {
    std::atomic<bool> card{false};
    CardPresence::Truth truth() {
        return [this] { return card.load(); };
    }
};

// A thread that has waited once: its answers now change only when it waits.
void becomeWaiter(CardPresence &presence, Reader &reader) {
    presence.present(reader.truth());
    EXPECT_EQ(presence.wait(0ms, reader.truth()), Result::TimedOut);
}

TEST(CardPresence, AChangeBetweenTheCheckAndTheWaitEndsTheWaitAtOnce) {
    CardPresence presence;
    Reader reader;
    becomeWaiter(presence, reader);
    EXPECT_FALSE(presence.present(reader.truth()));
    reader.card = true;
    presence.post(Change::Inserted);
    const auto t0 = Clock::now();
    EXPECT_EQ(presence.wait(10s, reader.truth()), Result::Changed);
    EXPECT_LT(Clock::now() - t0, 1s);
    EXPECT_TRUE(presence.present(reader.truth()));
}

TEST(CardPresence, AStateChangeWithoutAnEventEndsTheWaitEvenBeforeItBegins) {
    CardPresence presence;
    Reader reader;
    becomeWaiter(presence, reader);
    reader.card = true;  // the reader opened and found a card; nobody announced it yet
    EXPECT_EQ(presence.wait(10s, reader.truth()), Result::Changed);
    EXPECT_TRUE(presence.present(reader.truth()));
}

TEST(CardPresence, AWaitingThreadWakesWhenTheChangeArrives) {
    CardPresence presence;
    Reader reader;
    std::atomic<bool> waiting{false};
    std::atomic<int> result{-1};
    std::thread waiter([&] {
        becomeWaiter(presence, reader);
        waiting = true;
        result = static_cast<int>(presence.wait(60s, reader.truth()));
    });
    ASSERT_TRUE(hv::test::waitUntil([&] { return waiting.load(); }));
    reader.card = true;
    presence.changed();
    EXPECT_TRUE(hv::test::waitUntil([&] { return result.load() >= 0; }, 5s));
    waiter.join();
    EXPECT_EQ(result.load(), static_cast<int>(Result::Changed));
}

TEST(CardPresence, AnswersHoldBetweenWaitsHoweverOftenTheyAreAsked) {
    CardPresence presence;
    Reader reader;
    becomeWaiter(presence, reader);
    reader.card = true;
    presence.post(Change::Inserted);
    // pcscd checks again before powering the card: the same answer until the wait.
    EXPECT_FALSE(presence.present(reader.truth()));
    EXPECT_FALSE(presence.present(reader.truth()));
    EXPECT_EQ(presence.wait(10s, reader.truth()), Result::Changed);
    EXPECT_TRUE(presence.present(reader.truth()));
    EXPECT_TRUE(presence.present(reader.truth()));
}

TEST(CardPresence, ASwappedCardIsToldAsARemovalThenAnInsertion) {
    CardPresence presence;
    Reader reader;
    reader.card = true;
    becomeWaiter(presence, reader);
    presence.post(Change::Removed);
    presence.post(Change::Inserted);
    // The slot holds a card all along, as far as the state shows.
    EXPECT_EQ(presence.wait(10s, reader.truth()), Result::Changed);
    EXPECT_FALSE(presence.present(reader.truth()));
    EXPECT_FALSE(presence.present(reader.truth()));
    EXPECT_EQ(presence.wait(10s, reader.truth()), Result::Changed);
    EXPECT_TRUE(presence.present(reader.truth()));
    EXPECT_EQ(presence.wait(20ms, reader.truth()), Result::TimedOut);
}

TEST(CardPresence, ACardInAndOutBeforeTheWaitIsStillTold) {
    CardPresence presence;
    Reader reader;
    becomeWaiter(presence, reader);
    presence.post(Change::Inserted);
    presence.post(Change::Removed);
    EXPECT_EQ(presence.wait(10s, reader.truth()), Result::Changed);
    EXPECT_TRUE(presence.present(reader.truth()));
    EXPECT_EQ(presence.wait(10s, reader.truth()), Result::Changed);
    EXPECT_FALSE(presence.present(reader.truth()));
    EXPECT_EQ(presence.wait(20ms, reader.truth()), Result::TimedOut);
}

TEST(CardPresence, ARemovalToldWhileTheCardIsBackIsFollowedByThePresentCard) {
    // The case left (a removal) and came back with its card, with no insertion announced.
    CardPresence presence;
    Reader reader;
    reader.card = true;
    becomeWaiter(presence, reader);
    presence.post(Change::Removed);
    EXPECT_EQ(presence.wait(10s, reader.truth()), Result::Changed);
    EXPECT_FALSE(presence.present(reader.truth()));
    EXPECT_EQ(presence.wait(10s, reader.truth()), Result::Changed);
    EXPECT_TRUE(presence.present(reader.truth()));
}

TEST(CardPresence, ChangesThatAlterNothingToldAreSkipped) {
    CardPresence presence;
    Reader reader;
    reader.card = true;
    becomeWaiter(presence, reader);
    presence.post(Change::Inserted);  // already told present
    presence.changed();
    EXPECT_EQ(presence.wait(20ms, reader.truth()), Result::TimedOut);
    EXPECT_TRUE(presence.present(reader.truth()));
}

TEST(CardPresence, TheWaitHonoursItsTimeOut) {
    CardPresence presence;
    Reader reader;
    becomeWaiter(presence, reader);
    const auto t0 = Clock::now();
    EXPECT_EQ(presence.wait(80ms, reader.truth()), Result::TimedOut);
    const auto took = Clock::now() - t0;
    EXPECT_GE(took, 80ms);
    EXPECT_LT(took, 2s);
    EXPECT_EQ(presence.wait(-5ms, reader.truth()), Result::TimedOut);
}

TEST(CardPresence, StopWakesTheWaitingThreadOnce) {
    CardPresence presence;
    Reader reader;
    std::atomic<bool> waiting{false};
    std::atomic<int> result{-1};
    std::thread waiter([&] {
        becomeWaiter(presence, reader);
        waiting = true;
        result = static_cast<int>(presence.wait(60s, reader.truth()));
    });
    ASSERT_TRUE(hv::test::waitUntil([&] { return waiting.load(); }));
    presence.stop();
    EXPECT_TRUE(hv::test::waitUntil([&] { return result.load() >= 0; }, 5s));
    waiter.join();
    EXPECT_EQ(result.load(), static_cast<int>(Result::Stopped));
}

TEST(CardPresence, AStopBeforeTheWaitBeginsEndsThatWaitAndNoOther) {
    CardPresence presence;
    Reader reader;
    becomeWaiter(presence, reader);
    presence.stop();
    EXPECT_EQ(presence.wait(60s, reader.truth()), Result::Stopped);
    EXPECT_EQ(presence.wait(20ms, reader.truth()), Result::TimedOut);
}

TEST(CardPresence, ThreadsThatNeverWaitAreToldTheStateAsItIs) {
    CardPresence presence;
    Reader reader;
    becomeWaiter(presence, reader);
    presence.post(Change::Inserted);
    reader.card = true;
    std::thread([&] {
        EXPECT_TRUE(presence.present(reader.truth()));
        reader.card = false;
        EXPECT_FALSE(presence.present(reader.truth()));
        reader.card = true;
    }).join();
    // The waiting thread still gets its change.
    EXPECT_FALSE(presence.present(reader.truth()));
    EXPECT_EQ(presence.wait(10s, reader.truth()), Result::Changed);
    EXPECT_TRUE(presence.present(reader.truth()));
}

TEST(CardPresence, AThreadFarBehindTakesTheLatestChangesAndEndsOnTheState) {
    CardPresence presence;
    Reader reader;
    becomeWaiter(presence, reader);
    for (size_t i = 0; i < 3 * CardPresence::kLogCapacity + 1; ++i)
        presence.post(i % 2 ? Change::Removed : Change::Inserted);
    reader.card = true;  // the last change was an insertion
    int told = 0;
    while (presence.wait(0ms, reader.truth()) == Result::Changed && told < 1000)
        ++told;
    EXPECT_TRUE(presence.present(reader.truth()));
    EXPECT_LE(told, static_cast<int>(CardPresence::kLogCapacity) + 1);
}

TEST(CardPresence, ResetStartsEveryThreadFromNow) {
    CardPresence presence;
    Reader reader;
    becomeWaiter(presence, reader);
    presence.post(Change::Inserted);
    reader.card = true;
    presence.reset();
    EXPECT_TRUE(presence.present(reader.truth()));
    EXPECT_EQ(presence.wait(20ms, reader.truth()), Result::TimedOut);
}

TEST(CardPresence, AWaiterIsToldEveryInsertionAndRemovalOfABurst) {
    // Cards go in and out faster than the waiter turns; the slot ends empty.
    constexpr int kCycles = 30;
    static_assert(2 * kCycles <= CardPresence::kLogCapacity);
    CardPresence presence;
    Reader reader;
    std::atomic<bool> ready{false};
    int insertions = 0, removals = 0;
    std::thread waiter([&] {
        becomeWaiter(presence, reader);
        bool told = presence.present(reader.truth());
        ready = true;
        while (insertions + removals < 2 * kCycles &&
               presence.wait(5s, reader.truth()) == Result::Changed) {
            const bool now = presence.present(reader.truth());
            if (now != told) ++(now ? insertions : removals);
            told = now;
        }
    });
    ASSERT_TRUE(hv::test::waitUntil([&] { return ready.load(); }));
    std::thread poster([&] {
        for (int i = 0; i < kCycles; ++i) {
            presence.post(Change::Inserted);
            presence.post(Change::Removed);
        }
    });
    poster.join();
    waiter.join();
    EXPECT_EQ(insertions, kCycles);
    EXPECT_EQ(removals, kCycles);
}

}  // namespace
