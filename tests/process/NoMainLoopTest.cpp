// A program in which no thread of its own runs the main loop, as a plain C program or a
// plug-in inside a daemon: the library's own dispatcher delivers every announcement. The test
// thread only sleeps while it waits.
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Wait.h"
#include "vorasel/HVAccessory.h"
#include "vorasel/HVHost.h"
#include "vorasel/sim/AccessoryServer.h"
#include "vorasel/sim/InProcessLink.h"
#include "vorasel/sim/SimAccessory.h"

using namespace std::chrono_literals;

namespace {

std::shared_ptr<hv::sim::SimAccessory> voraselCase() {
    hv::sim::AccessoryIdentity id;
    id.protocols = {"ccidbulk", "ccidinterrupt", "manager"};
    return hv::sim::SimAccessory::create(id);
}

class Announcements {
public:
    Announcements() {
        for (const char *name :
             {HVAccessoryDidConnectNotificationPriority, HVAccessoryDidConnectNotification,
              HVAccessoryDidDisconnectNotificationPriority, HVAccessoryDidDisconnectNotification})
            tokens_.push_back(HVHost::addObserver(name, [this](const char *n, const void *) {
                std::lock_guard lock(mutex_);
                names_.push_back(n);
                onMain_ = onMain_ && HVHost::isMainThread();
                offTestThread_ = offTestThread_ && std::this_thread::get_id() != testThread_;
            }));
    }
    ~Announcements() {
        for (auto t : tokens_)
            HVHost::removeObserver(t);
    }
    std::vector<std::string> names() {
        std::lock_guard lock(mutex_);
        return names_;
    }
    size_t count() { return names().size(); }
    bool allOnTheLibrarysMainThread() {
        std::lock_guard lock(mutex_);
        return onMain_ && offTestThread_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> names_;
    bool onMain_ = true, offTestThread_ = true;
    const std::thread::id testThread_ = std::this_thread::get_id();
    std::vector<HVHost::ObserverToken> tokens_;
};

void expectAttachAndDetachAnnounced(hv::sim::SimAccessory &sim) {
    HVAccessory &accessory = HVAccessory::sharedClass();
    Announcements seen;
    sim.attach();
    ASSERT_TRUE(hv::test::waitUntil([&] { return seen.count() >= 2; }));
    EXPECT_TRUE(accessory.isConnected());
    sim.detach();
    ASSERT_TRUE(hv::test::waitUntil([&] { return seen.count() >= 4; }));
    EXPECT_FALSE(accessory.isConnected());
    EXPECT_EQ(seen.names(), (std::vector<std::string>{HVAccessoryDidConnectNotificationPriority,
                                                      HVAccessoryDidConnectNotification,
                                                      HVAccessoryDidDisconnectNotificationPriority,
                                                      HVAccessoryDidDisconnectNotification}));
    EXPECT_TRUE(seen.allOnTheLibrarysMainThread());
}

}  // namespace

// First in this process: HVAccessory does not exist yet.
TEST(NoMainLoop, AnAccessoryAttachedBeforeStartUpIsConnectedWithoutAnnouncement) {
    auto sim = voraselCase();
    hv::sim::inprocess::connect(sim);
    sim->attach();
    Announcements seen;
    EXPECT_TRUE(HVAccessory::sharedClass().isConnected());
    EXPECT_FALSE(hv::test::waitUntil([&] { return seen.count() > 0; }, 400ms));
    sim->detach();
    EXPECT_TRUE(hv::test::waitUntil([&] { return seen.count() == 2; }));
    EXPECT_FALSE(HVAccessory::sharedClass().isConnected());
    hv::sim::inprocess::disconnect(sim);
}

TEST(NoMainLoop, AttachAndDetachAreAnnouncedInProcess) {
    EXPECT_FALSE(HVHost::hostRunsMainLoop());
    auto sim = voraselCase();
    hv::sim::inprocess::connect(sim);
    expectAttachAndDetachAnnounced(*sim);
    hv::sim::inprocess::disconnect(sim);
}

TEST(NoMainLoop, AttachAndDetachAreAnnouncedOverTheDaemonSocket) {
    const std::string path = "/tmp/hv-nomain-" + std::to_string(getpid()) + ".sock";
    hv::sim::AccessoryServer server(path);
    ASSERT_TRUE(server.start());
    auto sim = voraselCase();
    server.addAccessory(sim);
    ASSERT_TRUE(HVHost::useAccessoryDaemon(path));
    expectAttachAndDetachAnnounced(*sim);
    server.stop();
}

TEST(NoMainLoop, AnUnreachableDaemonLeavesTheTransportAsItWas) {
    EXPECT_FALSE(HVHost::useAccessoryDaemon("/tmp/hv-no-such-daemon.sock"));
}
