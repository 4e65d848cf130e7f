#include <poll.h>
#include <time.h>
#include <unistd.h>

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

// A descriptor the loop watches is served on the loop's own thread; posted work, timers and
// wake-ups still end a sleep in poll at once; a source that wants nothing costs nothing.
TEST(RunLoopSource, ServedOnTheLoopThreadBesideWorkTimersAndWakeUps) {
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    onLoopThread([&] {
        RunLoop &loop = RunLoop::current();
        std::atomic<bool> wantInput{true};
        std::thread::id servedOn;
        std::string got;
        auto source = loop.addSource(
            pipeFds[0], [&] { return wantInput.load() ? short(POLLIN) : short(0); },
            [&](short revents) {
                servedOn = std::this_thread::get_id();
                char buf[16];
                if (revents & POLLIN) got.append(buf, size_t(::read(pipeFds[0], buf, sizeof buf)));
            });
        ASSERT_TRUE(source);
        std::thread writer([&] { EXPECT_EQ(::write(pipeFds[1], "abc", 3), 3); });
        EXPECT_TRUE(loop.runUntil(SteadyClock::now() + 5s, [&] { return got == "abc"; }));
        writer.join();
        EXPECT_EQ(servedOn, std::this_thread::get_id());

        // Work posted from another thread while the loop sleeps in poll.
        bool posted = false;
        const auto t0 = SteadyClock::now();
        std::thread poster([&] {
            std::this_thread::sleep_for(20ms);  // let the loop fall asleep first
            loop.perform([&] { posted = true; });
        });
        EXPECT_TRUE(loop.runUntil(SteadyClock::now() + 5s, [&] { return posted; }));
        poster.join();
        EXPECT_LT(SteadyClock::now() - t0, 1s);
        int fired = 0;
        loop.addTimer(10ms, false, [&] { ++fired; });
        EXPECT_TRUE(loop.runUntil(SteadyClock::now() + 5s, [&] { return fired == 1; }));

        // Bytes wait while the source wants none of them, and the loop sleeps meanwhile.
        wantInput.store(false);
        ASSERT_EQ(::write(pipeFds[1], "d", 1), 1);
        const double before = threadCpuMillis();
        loop.runFor(200ms);
        EXPECT_LT(threadCpuMillis() - before, 3.0);
        EXPECT_EQ(got, "abc");
        wantInput.store(true);
        loop.wakeUp();
        EXPECT_TRUE(loop.runUntil(SteadyClock::now() + 5s, [&] { return got == "abcd"; }));
        loop.removeSource(source);
    });
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

// Once removeSource returns, the handler neither runs on the loop's thread nor is called again;
// removal may come from the handler itself.
TEST(RunLoopSource, RemovalWaitsForAHandlerInProgressAndMayComeFromIt) {
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    ASSERT_EQ(::write(pipeFds[1], "x", 1), 1);  // always readable from here on
    std::shared_ptr<RunLoop> loop;
    std::shared_ptr<hv::platform::RunLoopSource> source;
    std::atomic<bool> inHandler{false}, removed{false}, calledAfterRemoval{false};
    std::atomic<bool> stop{false};
    Semaphore ready(0);
    std::thread looper([&] {
        loop = RunLoop::currentShared();
        source = loop->addSource(
            pipeFds[0], [] { return short(POLLIN); },
            [&](short) {
                if (removed.load()) calledAfterRemoval.store(true);
                inHandler.store(true);
                std::this_thread::sleep_for(50ms);
                inHandler.store(false);
            });
        ready.signal();
        loop->runUntil(SteadyClock::now() + 10s, [&] { return stop.load(); });
    });
    ready.wait();
    ASSERT_TRUE(hv::test::waitUntil([&] { return inHandler.load(); }));
    loop->removeSource(source);
    EXPECT_FALSE(inHandler.load()) << "returned while the handler ran";
    removed.store(true);
    std::this_thread::sleep_for(100ms);  // the span in which a stray call would show
    EXPECT_FALSE(calledAfterRemoval.load());

    std::atomic<int> calls{0};
    std::shared_ptr<hv::platform::RunLoopSource> self;
    loop->perform([&] {
        self = RunLoop::current().addSource(
            pipeFds[0], [] { return short(POLLIN); },
            [&](short) {
                ++calls;
                RunLoop::current().removeSource(self);
            });
    });
    ASSERT_TRUE(hv::test::waitUntil([&] { return calls > 0; }));
    std::this_thread::sleep_for(50ms);
    stop.store(true);
    loop->wakeUp();
    looper.join();
    EXPECT_EQ(calls.load(), 1);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
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
