#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CaptureLogger.h"
#include "Platform/Application.h"
#include "Platform/ExternalAccessory/EAAccessoryManager.h"
#include "Platform/NotificationCenter.h"
#include "Wait.h"
#include "vorasel/EAAccessory.h"
#include "vorasel/HVAccessory.h"
#include "vorasel/sim/InProcessLink.h"
#include "vorasel/sim/SimAccessory.h"

using namespace std::chrono_literals;
using hv::platform::NotificationCenter;
using Clock = std::chrono::steady_clock;

namespace {

struct Seen {
    std::string name;
    const void *sender;
    bool onMain;
    Clock::time_point at;
};

class PresenceTest : public ::testing::Test {
protected:
    void SetUp() override {
        HVAccessory &accessory = HVAccessory::sharedClass();
        for (const char *name :
             {HVAccessoryDidConnectNotificationPriority, HVAccessoryDidConnectNotification,
              HVAccessoryDidDisconnectNotificationPriority, HVAccessoryDidDisconnectNotification}) {
            tokens.push_back(NotificationCenter::defaultCenter().addObserver(
                name, nullptr, [this](const hv::platform::Notification &n) {
                    std::lock_guard lock(mutex);
                    seen.push_back(Seen{n.name, n.sender,
                                        hv::platform::Application::shared().isMainThread(),
                                        Clock::now()});
                }));
        }
        (void)accessory;
    }
    void TearDown() override {
        for (auto &a : accessories)
            hv::sim::inprocess::disconnect(a);
        // A Vorasel accessory that came and went is announced gone before the next test
        // starts, so no announcement of this test reaches the next one.
        EXPECT_TRUE(hv::test::waitUntil([&] {
            const size_t connects = publicCount(HVAccessoryDidConnectNotification);
            const size_t disconnects = publicCount(HVAccessoryDidDisconnectNotification);
            return (!voraselMade || disconnects > 0) && connects == disconnects &&
                   !HVAccessory::sharedClass().isConnected();
        })) << "a disconnect announcement is missing";
        for (auto t : tokens)
            NotificationCenter::defaultCenter().removeObserver(t);
    }

    size_t publicCount(const char *name) {
        std::lock_guard lock(mutex);
        return static_cast<size_t>(
            std::count_if(seen.begin(), seen.end(), [&](const Seen &s) { return s.name == name; }));
    }

    std::shared_ptr<hv::sim::SimAccessory> makeAccessory(std::vector<std::string> protocols,
                                                         std::string model = "VC-200",
                                                         std::string revision = "3") {
        hv::sim::AccessoryIdentity id;
        id.protocols = std::move(protocols);
        id.modelNumber = std::move(model);
        id.hardwareRevision = std::move(revision);
        voraselMade = voraselMade || std::find(id.protocols.begin(), id.protocols.end(),
                                               "manager") != id.protocols.end();
        auto a = hv::sim::SimAccessory::create(id);
        hv::sim::inprocess::connect(a);
        accessories.push_back(a);
        return a;
    }

    std::vector<std::string> names() {
        std::lock_guard lock(mutex);
        std::vector<std::string> out;
        for (const auto &s : seen)
            out.push_back(s.name);
        return out;
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return seen.size();
    }

    std::mutex mutex;
    std::vector<Seen> seen;
    std::vector<hv::platform::ObserverToken> tokens;
    std::vector<std::shared_ptr<hv::sim::SimAccessory>> accessories;
    bool voraselMade = false;  // every test attaches the Vorasel accessories it makes
};

}  // namespace

TEST_F(PresenceTest, AttachAnnouncesPriorityThenPublicOnTheMainThreadAfterSettling) {
    EXPECT_FALSE(HVAccessory::sharedClass().isConnected());
    auto a = makeAccessory({"ccidbulk", "ccidinterrupt", "manager"});
    hv::test::ScopedCapture capture;
    const auto attachedAt = Clock::now();
    a->attach();
    ASSERT_TRUE(hv::test::runLoopUntil([&] { return count() >= 2; }));
    EXPECT_EQ(names(), (std::vector<std::string>{HVAccessoryDidConnectNotificationPriority,
                                                 HVAccessoryDidConnectNotification}));
    std::lock_guard lock(mutex);
    for (const auto &s : seen) {
        EXPECT_EQ(s.sender, &HVAccessory::sharedClass());
        EXPECT_TRUE(s.onMain);
        EXPECT_GE(s.at - attachedAt, 100ms) << "announced before the accessory settled";
        EXPECT_LT(s.at - attachedAt, 2s);
    }
    EXPECT_TRUE(HVAccessory::sharedClass().isConnected());
    EXPECT_TRUE(capture.logger().contains("] Vorasel accessory connected!"));
}

TEST_F(PresenceTest, ConnectDisconnectConnectWithinSettlingGivesOneConnectPair) {
    auto a = makeAccessory({"manager"});
    a->attach();
    a->detach();
    a->attach();
    ASSERT_TRUE(hv::test::runLoopUntil([&] { return count() >= 2; }));
    // Nothing else follows.
    EXPECT_FALSE(hv::test::runLoopUntil([&] { return count() > 2; }, 300ms));
    EXPECT_EQ(names(), (std::vector<std::string>{HVAccessoryDidConnectNotificationPriority,
                                                 HVAccessoryDidConnectNotification}));
    EXPECT_TRUE(HVAccessory::sharedClass().isConnected());
}

TEST_F(PresenceTest, ConnectThenDisconnectWithinSettlingGivesBothPairsInOrder) {
    auto a = makeAccessory({"manager"});
    a->attach();
    a->detach();
    ASSERT_TRUE(hv::test::runLoopUntil([&] { return count() >= 4; }));
    EXPECT_EQ(names(), (std::vector<std::string>{HVAccessoryDidConnectNotificationPriority,
                                                 HVAccessoryDidConnectNotification,
                                                 HVAccessoryDidDisconnectNotificationPriority,
                                                 HVAccessoryDidDisconnectNotification}));
    EXPECT_FALSE(HVAccessory::sharedClass().isConnected());
}

// A connector that bounces: changes closer together than the settling time are announced
// only once the accessory has been quiet for the whole settling time after the last one, and
// what is announced ends in the state the accessory ended in.
TEST_F(PresenceTest, BouncesAreAnnouncedOnlyOnceTheLastHasSettled) {
    auto &manager = hv::platform::EAAccessoryManager::sharedAccessoryManager();
    // When HVAccessory took each platform notification: its observer runs just before these.
    std::vector<Clock::time_point> events;
    std::vector<hv::platform::ObserverToken> platform;
    for (const char *name : {hv::platform::EAAccessoryManager::DidConnectNotification,
                             hv::platform::EAAccessoryManager::DidDisconnectNotification})
        platform.push_back(NotificationCenter::defaultCenter().addObserver(
            name, &manager, [&](const hv::platform::Notification &) {
                std::lock_guard lock(mutex);
                events.push_back(Clock::now());
            }));
    auto a = makeAccessory({"manager"});
    constexpr auto kApart = 35ms;  // well inside the settling time
    for (const size_t changes : {2u, 3u}) {
        // The load of the machine may stretch the gaps beyond settling: such a round proves
        // nothing and is run again.
        for (int attempt = 0;; ++attempt) {
            ASSERT_LT(attempt, 8) << "the changes never came closer than the settling time";
            const size_t first = count();
            {
                std::lock_guard lock(mutex);
                events.clear();
            }
            for (size_t i = 0; i < changes; ++i) {
                if (i > 0) std::this_thread::sleep_for(kApart);
                i % 2 == 0 ? a->attach() : a->detach();
            }
            const std::vector<std::string> expected =
                changes == 2
                    ? std::vector<std::string>{HVAccessoryDidConnectNotificationPriority,
                                               HVAccessoryDidConnectNotification,
                                               HVAccessoryDidDisconnectNotificationPriority,
                                               HVAccessoryDidDisconnectNotification}
                    : std::vector<std::string>{HVAccessoryDidConnectNotificationPriority,
                                               HVAccessoryDidConnectNotification};
            ASSERT_TRUE(hv::test::runLoopUntil([&] {
                std::lock_guard lock(mutex);
                return events.size() == changes && seen.size() >= first + expected.size();
            }));
            // Quiet for longer than settling: whatever is still to come has come.
            EXPECT_FALSE(
                hv::test::runLoopUntil([&] { return count() > first + expected.size(); }, 300ms));
            EXPECT_EQ(HVAccessory::sharedClass().isConnected(), changes == 3);
            std::vector<Seen> round;
            std::vector<Clock::time_point> at;
            {
                std::lock_guard lock(mutex);
                round.assign(seen.begin() + static_cast<ptrdiff_t>(first), seen.end());
                at = events;
            }
            a->detach();  // back to detached, and announced so, for the next round
            ASSERT_TRUE(hv::test::runLoopUntil([&] {
                return !HVAccessory::sharedClass().isConnected() &&
                       publicCount(HVAccessoryDidConnectNotification) ==
                           publicCount(HVAccessoryDidDisconnectNotification);
            }));
            bool close = true;
            for (size_t i = 1; i < at.size(); ++i)
                close = close && at[i] - at[i - 1] < 90ms;
            if (!close) continue;

            std::vector<std::string> names;
            for (const auto &s : round)
                names.push_back(s.name);
            EXPECT_EQ(names, expected) << changes << " changes";
            // A few milliseconds of slack: this observer runs just after HVAccessory's.
            EXPECT_GE(round.front().at - at.back(), 95ms)
                << "announced before the last of " << changes << " changes had settled";
            break;
        }
    }
    for (auto t : platform)
        NotificationCenter::defaultCenter().removeObserver(t);
}

TEST_F(PresenceTest, DetachAfterSettlingIsAnnouncedOnItsOwn) {
    auto a = makeAccessory({"manager"});
    a->attach();
    ASSERT_TRUE(hv::test::runLoopUntil([&] { return count() >= 2; }));
    a->detach();
    ASSERT_TRUE(hv::test::runLoopUntil([&] { return count() >= 4; }));
    const auto all = names();
    EXPECT_EQ(all[2], HVAccessoryDidDisconnectNotificationPriority);
    EXPECT_EQ(all[3], HVAccessoryDidDisconnectNotification);
    EXPECT_FALSE(HVAccessory::sharedClass().isConnected());
    EXPECT_EQ(HVAccessory::sharedClass().getAccessory(), nullptr);
    EXPECT_FALSE(HVAccessory::sharedClass().modelNumber().has_value());
    EXPECT_FALSE(HVAccessory::sharedClass().hardwareRevision().has_value());
}

TEST_F(PresenceTest, ForeignAccessoriesAreIgnored) {
    auto foreign = makeAccessory({"ccidbulk", "ccidinterrupt"});
    foreign->attach();
    EXPECT_FALSE(hv::test::runLoopUntil([&] { return count() > 0; }, 400ms));
    foreign->detach();
    EXPECT_FALSE(hv::test::runLoopUntil([&] { return count() > 0; }, 400ms));
    EXPECT_EQ(HVAccessory::sharedClass().getAccessory(), nullptr);
    EXPECT_FALSE(HVAccessory::sharedClass().isConnected());
}

TEST_F(PresenceTest, ReportsNormalisedModelAndRevisionOfTheVoraselAccessory) {
    auto foreign = makeAccessory({"trace"}, "OTHER", "9");
    foreign->attach();
    auto a = makeAccessory({"manager"}, "VC/200 rev B", "3");
    a->attach();
    auto ea = HVAccessory::sharedClass().getAccessory();
    ASSERT_NE(ea, nullptr);
    EXPECT_EQ(ea->modelNumber(), "VC/200 rev B");
    EXPECT_EQ(HVAccessory::sharedClass().modelNumber(), "VC-200");
    EXPECT_EQ(HVAccessory::sharedClass().hardwareRevision(), "pca_3.0.0");
}

TEST(AccessoryNormalisation, ModelNumbers) {
    EXPECT_EQ(HVAccessory::normalizedModelNumber("ABC123 rev B"), "ABC123");
    EXPECT_EQ(HVAccessory::normalizedModelNumber("ABCDEFGHIJKL"), "ABCDEFGHIJ");
    EXPECT_EQ(HVAccessory::normalizedModelNumber("ABCDEFGHIJ"), "ABCDEFGHIJ");
    EXPECT_EQ(HVAccessory::normalizedModelNumber("AB/CD"), "AB-CD");
    EXPECT_EQ(HVAccessory::normalizedModelNumber("A/B/CDEFGHIJKLM"), "A-B-CDEFGH");
    EXPECT_EQ(HVAccessory::normalizedModelNumber(""), "");
}

TEST(AccessoryNormalisation, HardwareRevisions) {
    EXPECT_EQ(HVAccessory::normalizedHardwareRevision("3"), "pca_3.0.0");
    EXPECT_EQ(HVAccessory::normalizedHardwareRevision("1.2.3"), "pca_1.2.3");
    EXPECT_EQ(HVAccessory::normalizedHardwareRevision("1.2"), "pca_1.2");
    EXPECT_EQ(HVAccessory::normalizedHardwareRevision("3a"), "pca_3a");
    EXPECT_EQ(HVAccessory::normalizedHardwareRevision("07"), "pca_7.0.0");
    EXPECT_EQ(HVAccessory::normalizedHardwareRevision(""), "pca_");
    EXPECT_EQ(HVAccessory::normalizedHardwareRevision("99999999999"), "pca_2147483647.0.0");
}

TEST_F(PresenceTest, PlaysTheConnectAndDisconnectSoundsWhenAsked) {
    auto &app = hv::platform::Application::shared();
    const auto dir =
        std::filesystem::temp_directory_path() / ("hv-snd-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "HVAccessoryConnected.wav") << "RIFF";
    std::ofstream(dir / "HVAccessoryDisconnected.wav") << "RIFF";
    app.setResourceDirectory(dir.string());
    std::mutex m;
    std::vector<std::string> played;
    app.setSoundHook([&](const std::string &p) {
        std::lock_guard lock(m);
        played.push_back(std::filesystem::path(p).filename().string());
    });
    app.setBool("HVPlaySounds", true);

    auto a = makeAccessory({"manager"});
    a->attach();
    ASSERT_TRUE(hv::test::runLoopUntil([&] { return count() >= 2; }));
    a->detach();
    ASSERT_TRUE(hv::test::runLoopUntil([&] { return count() >= 4; }));
    // The worker plays the sound after scheduling the notifications: wait for it too.
    EXPECT_TRUE(hv::test::waitUntil([&] {
        std::lock_guard lock(m);
        return played.size() >= 2;
    }));
    app.setBool("HVPlaySounds", false);
    app.setSoundHook(nullptr);
    app.setResourceDirectory("");
    std::filesystem::remove_all(dir);
    std::lock_guard lock(m);
    EXPECT_EQ(played, (std::vector<std::string>{"HVAccessoryConnected.wav",
                                                "HVAccessoryDisconnected.wav"}));
}

TEST_F(PresenceTest, NoSoundsUnlessAsked) {
    auto &app = hv::platform::Application::shared();
    std::atomic<int> played{0};
    app.setSoundHook([&](const std::string &) { ++played; });
    auto a = makeAccessory({"manager"});
    a->attach();
    ASSERT_TRUE(hv::test::runLoopUntil([&] { return count() >= 2; }));
    app.setSoundHook(nullptr);
    EXPECT_EQ(played.load(), 0);
}
