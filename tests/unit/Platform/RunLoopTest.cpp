#include <time.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Platform/MainThread.h"
#include "Platform/RunLoop.h"
#include "Platform/Semaphore.h"
#include "Platform/ThreadName.h"
#include "Wait.h"

using hv::platform::RunLoop;
using hv::platform::Semaphore;
using hv::platform::SteadyClock;
using namespace std::chrono_literals;

namespace {

// Runs `body` on a fresh thread with its own run loop and waits for it.
template <typename Body>
void onLoopThread(Body body) {
    std::thread t(body);
    t.join();
}

double threadCpuMillis() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

}  // namespace

TEST(RunLoop, RunUntilReturnsAtTheDeadlineEvenAfterServingWork) {
    onLoopThread([] {
        RunLoop &loop = RunLoop::current();
        int served = 0;
        loop.perform([&] { ++served; });
        const auto start = SteadyClock::now();
        loop.runUntil(start + 30ms);
        EXPECT_GE(SteadyClock::now() - start, 30ms);
        EXPECT_EQ(served, 1);
    });
}

TEST(RunLoop, PostedWorkRunsOnTheLoopThreadInPostingOrderOnlyWhileItRuns) {
    onLoopThread([] {
        auto loop = RunLoop::currentShared();
        std::vector<int> order;
        std::vector<std::thread::id> ranOn;
        std::thread poster([&] {
            for (int i = 0; i < 200; ++i)
                loop->perform([&, i] {
                    order.push_back(i);
                    ranOn.push_back(std::this_thread::get_id());
                });
        });
        poster.join();
        EXPECT_TRUE(order.empty()) << "work ran before the loop was run";
        loop->runUntil(SteadyClock::now() + 5s, [&] { return order.size() == 200; });
        ASSERT_EQ(order.size(), 200u);
        for (int i = 0; i < 200; ++i)
            EXPECT_EQ(order[i], i);
        for (auto id : ranOn)
            EXPECT_EQ(id, std::this_thread::get_id());
    });
}

TEST(RunLoop, ConditionalRunEndsAsSoonAsAnotherThreadWakesItWithTheConditionMet) {
    onLoopThread([] {
        auto loop = RunLoop::currentShared();
        std::atomic<bool> flag{false};
        std::thread setter([&] {
            flag.store(true);
            loop->wakeUp();
        });
        const auto start = SteadyClock::now();
        const bool met = loop->runUntil(start + 20s, [&] { return flag.load(); });
        setter.join();
        EXPECT_TRUE(met);
        EXPECT_LT(SteadyClock::now() - start, 10s);
    });
}

TEST(RunLoop, ConditionalRunReportsTimeOut) {
    onLoopThread([] {
        const auto start = SteadyClock::now();
        EXPECT_FALSE(RunLoop::current().runUntil(start + 20ms, [] { return false; }));
        EXPECT_GE(SteadyClock::now() - start, 20ms);
    });
}

TEST(RunLoop, RepeatingTimerFiresAtItsIntervalOnlyWhileTheLoopRuns) {
    onLoopThread([] {
        RunLoop &loop = RunLoop::current();
        std::atomic<int> fired{0};
        auto timer = loop.addTimer(10ms, true, [&] { ++fired; });
        // Not running: nothing may fire, however long we wait.
        EXPECT_FALSE(hv::test::waitUntil([&] { return fired.load() > 0; }, 40ms));
        loop.runFor(105ms);
        const int afterRun = fired.load();
        // Missed firings are skipped rather than delivered in a burst, so at most one per
        // interval of running plus the ones that fell due while idle, collapsed into one.
        EXPECT_GE(afterRun, 3);
        EXPECT_LE(afterRun, 12);
        EXPECT_FALSE(hv::test::waitUntil([&] { return fired.load() != afterRun; }, 30ms));
        timer.invalidate();
        loop.runFor(30ms);
        EXPECT_EQ(fired.load(), afterRun);
    });
}

TEST(RunLoop, TimerInvalidatedFromItsOwnActionStops) {
    onLoopThread([] {
        RunLoop &loop = RunLoop::current();
        int fired = 0;
        hv::platform::TimerHandle timer;
        timer = loop.addTimer(1ms, true, [&] {
            if (++fired == 3) timer.invalidate();
        });
        loop.runFor(60ms);
        EXPECT_EQ(fired, 3);
        EXPECT_FALSE(timer.isValid());
    });
}

TEST(RunLoop, OneShotTimerFiresOnce) {
    onLoopThread([] {
        RunLoop &loop = RunLoop::current();
        int fired = 0;
        auto timer = loop.addTimer(2ms, false, [&] { ++fired; });
        loop.runFor(40ms);
        EXPECT_EQ(fired, 1);
        EXPECT_FALSE(timer.isValid());
    });
}

TEST(RunLoop, WorkMayRunTheLoopAgain) {
    onLoopThread([] {
        RunLoop &loop = RunLoop::current();
        std::vector<int> order;
        loop.perform([&] {
            order.push_back(1);
            loop.perform([&] { order.push_back(2); });
            loop.runUntil(SteadyClock::now() + 5s, [&] { return order.size() == 2; });
            order.push_back(3);
        });
        loop.runUntil(SteadyClock::now() + 5s, [&] { return order.size() == 3; });
        EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    });
}

TEST(RunLoop, IdleLoopSleepsInsteadOfSpinning) {
    onLoopThread([] {
        RunLoop &loop = RunLoop::current();
        const double before = threadCpuMillis();
        loop.runFor(300ms);
        // Well under 1% of a core: 3 ms of CPU in 300 ms.
        EXPECT_LT(threadCpuMillis() - before, 3.0);
    });
}

TEST(MainDispatcher, TurnsTheMainLoopOnAThreadOfItsOwn) {
    // Nobody in this test program runs the main loop: the library's dispatcher does.
    EXPECT_NE(&RunLoop::current(), &RunLoop::main());
    EXPECT_FALSE(RunLoop::main().isCurrent());
    EXPECT_FALSE(hv::platform::mainthread::isMainThread());

    std::atomic<bool> ran{false}, onMain{false}, mainIsCurrent{false};
    std::string name;
    RunLoop::main().perform([&] {
        onMain.store(hv::platform::mainthread::isMainThread());
        mainIsCurrent.store(RunLoop::main().isCurrent() && &RunLoop::current() == &RunLoop::main());
        name = hv::platform::currentThreadName();
        ran.store(true);
    });
    ASSERT_TRUE(hv::test::waitUntil([&] { return ran.load(); }));
    EXPECT_TRUE(onMain.load());
    EXPECT_TRUE(mainIsCurrent.load());
    EXPECT_EQ(name, "hv.main");
}

TEST(MainDispatcher, TheHostCannotTakeTheMainLoopOnceTheLibraryTurnsIt) {
    RunLoop::main();
    EXPECT_FALSE(hv::platform::mainthread::setHostRunsMainLoop());
    EXPECT_FALSE(hv::platform::mainthread::hostRunsMainLoop());
}

TEST(MainDispatcher, TimersOnTheMainLoopFireWithoutTheHost) {
    std::atomic<int> fired{0};
    std::atomic<bool> added{false};
    hv::platform::TimerHandle timer;
    RunLoop::main().perform([&] {
        timer = RunLoop::main().addTimer(1ms, true, [&] { fired.fetch_add(1); });
        added.store(true);
    });
    EXPECT_TRUE(hv::test::waitUntil([&] { return added.load() && fired.load() >= 3; }));
    std::atomic<bool> stopped{false};
    RunLoop::main().perform([&] {
        timer.invalidate();
        stopped.store(true);
    });
    EXPECT_TRUE(hv::test::waitUntil([&] { return stopped.load(); }));
}
