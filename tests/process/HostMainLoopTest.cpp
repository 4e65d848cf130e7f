// A host that runs the main loop itself: it says so before first use, and then work posted to
// the main loop, the accessory announcements among it, runs on its own initial thread and only
// while it turns the loop.
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Platform/NotificationCenter.h"
#include "Platform/RunLoop.h"
#include "Platform/Semaphore.h"
#include "Wait.h"
#include "vorasel/HVAccessory.h"
#include "vorasel/HVHost.h"
#include "vorasel/sim/InProcessLink.h"
#include "vorasel/sim/SimAccessory.h"

using hv::platform::RunLoop;
using hv::platform::Semaphore;
using hv::platform::SteadyClock;
using namespace std::chrono_literals;

TEST(HostMainLoop, TheMainLoopIsTheInitialThreadsLoop) {
    // GoogleTest runs tests on the process's initial thread.
    EXPECT_TRUE(HVHost::hostRunsMainLoop());
    EXPECT_TRUE(HVHost::isMainThread());
    EXPECT_EQ(&RunLoop::current(), &RunLoop::main());
    std::thread other([] {
        EXPECT_NE(&RunLoop::current(), &RunLoop::main());
        EXPECT_FALSE(RunLoop::main().isCurrent());
        EXPECT_FALSE(HVHost::isMainThread());
    });
    other.join();
}

TEST(HostMainLoop, WorkPostedToTheMainLoopRunsOnlyWhileTheHostTurnsIt) {
    std::atomic<bool> ran{false};
    Semaphore posted;
    std::thread other([&] {
        RunLoop::main().perform([&] { ran.store(true); });
        posted.signal();
    });
    posted.wait();
    other.join();
    EXPECT_FALSE(ran.load());
    HVHost::runMainLoopFor(0ms);
    EXPECT_TRUE(ran.load());
}

TEST(HostMainLoop, AnnouncementsArriveOnTheHostsThreadWhileItTurnsTheLoop) {
    struct Seen {
        std::string name;
        bool onHostThread;
    };
    std::mutex mutex;
    std::vector<Seen> seen;
    const auto host = std::this_thread::get_id();
    std::vector<HVHost::ObserverToken> tokens;
    for (const char *name :
         {HVAccessoryDidConnectNotificationPriority, HVAccessoryDidConnectNotification,
          HVAccessoryDidDisconnectNotification}) {
        tokens.push_back(HVHost::addObserver(name, [&](const char *n, const void *) {
            std::lock_guard lock(mutex);
            seen.push_back({n, std::this_thread::get_id() == host});
        }));
    }
    auto count = [&] {
        std::lock_guard lock(mutex);
        return seen.size();
    };
    HVAccessory &accessory = HVAccessory::sharedClass();
    EXPECT_FALSE(accessory.isConnected());

    hv::sim::AccessoryIdentity id;
    id.protocols = {"manager"};
    auto sim = hv::sim::SimAccessory::create(id);
    hv::sim::inprocess::connect(sim);
    sim->attach();
    ASSERT_TRUE(hv::test::runLoopUntil([&] { return count() == 2; }));
    EXPECT_TRUE(accessory.isConnected());
    sim->detach();
    ASSERT_TRUE(hv::test::runLoopUntil([&] { return count() == 3; }));
    EXPECT_FALSE(accessory.isConnected());

    for (auto t : tokens)
        HVHost::removeObserver(t);
    std::lock_guard lock(mutex);
    EXPECT_EQ(seen[0].name, HVAccessoryDidConnectNotificationPriority);
    EXPECT_EQ(seen[1].name, HVAccessoryDidConnectNotification);
    EXPECT_EQ(seen[2].name, HVAccessoryDidDisconnectNotification);
    for (const auto &s : seen)
        EXPECT_TRUE(s.onHostThread) << s.name;
    hv::sim::inprocess::disconnect(sim);
}

int main(int argc, char **argv) {
    // Before anything of the library runs.
    if (!HVHost::setHostRunsMainLoop()) return 3;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
