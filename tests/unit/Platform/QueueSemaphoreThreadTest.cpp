#include <pthread.h>

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Platform/Backlog.h"
#include "Platform/Semaphore.h"
#include "Platform/Thread.h"
#include "Platform/ThreadName.h"
#include "Wait.h"
#include "vorasel/SerialQueue.h"

using namespace hv::platform;
using namespace std::chrono_literals;

TEST(SerialQueue, RunsBlocksOneAtATimeInSubmissionOrder) {
    SerialQueue queue("test.order");
    std::vector<int> order;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 100; ++i) {
        queue.async([&, i] {
            if (running.fetch_add(1) != 0) overlapped = true;
            order.push_back(i);
            running.fetch_sub(1);
        });
    }
    queue.sync([&] { order.push_back(100); });
    ASSERT_EQ(order.size(), 101u);
    for (int i = 0; i <= 100; ++i)
        EXPECT_EQ(order[i], i);
    EXPECT_FALSE(overlapped);
}

TEST(SerialQueue, BlocksSeeTheirQueueAsCurrentAndItsLabel) {
    SerialQueue queue("test.label");
    EXPECT_EQ(SerialQueue::current(), nullptr);
    std::string seen;
    queue.sync([&] { seen = SerialQueue::current() ? SerialQueue::current()->label() : ""; });
    EXPECT_EQ(seen, "test.label");
    Semaphore done;
    bool current = false;
    queue.async([&] {
        current = queue.isCurrent();
        done.signal();
    });
    done.wait();
    EXPECT_TRUE(current);
}

TEST(SerialQueue, SyncFromInsideTheQueueRunsInline) {
    SerialQueue queue("test.reentrant");
    int depth = 0;
    queue.sync([&] {
        ++depth;
        queue.sync([&] { ++depth; });
    });
    EXPECT_EQ(depth, 2);
}

TEST(SerialQueue, ConcurrentSyncAndAsyncNeverOverlap) {
    SerialQueue queue("test.contended");
    int counter = 0;  // unprotected on purpose: the queue is the only guard
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                if ((i + t) % 2)
                    queue.sync([&] { ++counter; });
                else
                    queue.async([&] { ++counter; });
            }
        });
    }
    for (auto &t : threads)
        t.join();
    int final = 0;
    queue.sync([&] { final = counter; });
    EXPECT_EQ(final, 2000);
}

TEST(SerialQueue, DestructionRunsWhatIsStillQueued) {
    std::atomic<int> ran{0};
    {
        SerialQueue queue("test.drain");
        for (int i = 0; i < 50; ++i)
            queue.async([&] { ++ran; });
    }
    EXPECT_EQ(ran.load(), 50);
}

TEST(SerialQueue, BlocksReachALingeringOrSleepingWorker) {
    // Rounds far apart and close together catch the worker busy, lingering and asleep; a lost
    // wake-up shows as a round that never completes.
    SerialQueue queue("test.linger", 2ms);
    std::atomic<int> ran{0};
    for (int round = 1; round <= 300; ++round) {
        switch (round % 4) {
            case 0:
                queue.async([&] { ++ran; });
                break;
            case 1:
                std::thread([&] { queue.async([&] { ++ran; }); }).join();
                break;
            case 2:
                queue.sync([&] { ++ran; });
                break;
            default:
                queue.async([&] { ++ran; });
                queue.async([] {});
                break;
        }
        ASSERT_TRUE(hv::test::waitUntil([&] { return ran.load() == round; }, 2s))
            << "round " << round;
    }
}

TEST(ThreadName, NamesSetElsewhereAreSeenWithinASecond) {
    std::string direct, foreign;
    bool foreignSeen = false;
    std::thread([&] {
        setCurrentThreadName("hv-direct-name");
        direct = currentThreadName();
        pthread_setname_np(pthread_self(), "hv-foreign");
        foreignSeen = hv::test::waitUntil([] { return currentThreadName() == "hv-foreign"; }, 3s);
        foreign = currentThreadName();
    }).join();
    EXPECT_EQ(direct, "hv-direct-name");
    EXPECT_TRUE(foreignSeen) << foreign;
}

TEST(Backlog, AProducerHeldAtTheLimitResumesAtTheLowWaterMark) {
    Backlog backlog(4, 1);
    for (int i = 0; i < 4; ++i)
        backlog.acquire();
    std::atomic<bool> acquired{false};
    std::thread producer([&] {
        backlog.acquire();
        acquired = true;
    });
    ASSERT_TRUE(hv::test::waitUntil([&] { return backlog.waiting() == 1; }));
    backlog.release();
    backlog.release();
    EXPECT_FALSE(hv::test::waitUntil([&] { return acquired.load(); }, 100ms))
        << "two places free is not yet the low-water mark";
    backlog.release();
    EXPECT_TRUE(hv::test::waitUntil([&] { return acquired.load(); }));
    producer.join();
    EXPECT_EQ(backlog.inFlight(), 2u);
    backlog.acquire();  // below the limit: no wait
    EXPECT_EQ(backlog.inFlight(), 3u);
}

TEST(Semaphore, CountsSignalsAndTimesOut) {
    Semaphore sem(2);
    EXPECT_TRUE(sem.waitFor(0ms));
    EXPECT_TRUE(sem.waitFor(0ms));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(sem.waitFor(20ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
    sem.signal();
    EXPECT_TRUE(sem.waitFor(0ms));
}

TEST(Semaphore, WaitEndsWhenAnotherThreadSignals) {
    Semaphore sem;
    std::thread t([&] { sem.signal(); });
    EXPECT_TRUE(sem.waitFor(10s));
    t.join();
}

TEST(Thread, RunsItsBodyNamedAndReportsItsLife) {
    Semaphore proceed;
    std::atomic<bool> sawCancel{false};
    std::string nameInside;
    Thread thread(
        [&] {
            nameInside = currentThreadName();
            proceed.wait();
            sawCancel = Thread::currentIsCancelled();
        },
        "hv.test.thread");
    EXPECT_FALSE(thread.isExecuting());
    ASSERT_TRUE(thread.start());
    EXPECT_TRUE(thread.isExecuting());
    EXPECT_FALSE(thread.isCancelled());
    thread.cancel();
    EXPECT_TRUE(thread.isCancelled());
    proceed.signal();
    EXPECT_TRUE(hv::test::waitUntil([&] { return thread.isFinished(); }));
    EXPECT_FALSE(thread.isExecuting());
    EXPECT_TRUE(sawCancel.load());
    EXPECT_EQ(nameInside, "hv.test.thread");
    EXPECT_EQ(thread.name(), "hv.test.thread");
}

TEST(Thread, MayBeDestroyedWhileItsBodyRuns) {
    Semaphore proceed, finished;
    {
        Thread thread([&] {
            proceed.wait();
            finished.signal();
        });
        ASSERT_TRUE(thread.start());
    }
    proceed.signal();
    EXPECT_TRUE(finished.waitFor(10s));
}
