#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Platform/NotificationCenter.h"

using namespace hv::platform;

TEST(NotificationCenter, DeliversByNameAndSenderInRegistrationOrder) {
    NotificationCenter center;
    int senderA = 0, senderB = 0;
    std::vector<std::string> calls;
    center.addObserver("N", nullptr, [&](const Notification &) { calls.push_back("any1"); });
    center.addObserver("N", &senderA, [&](const Notification &) { calls.push_back("a"); });
    center.addObserver("", nullptr,
                       [&](const Notification &n) { calls.push_back("all:" + n.name); });
    center.addObserver("N", nullptr, [&](const Notification &) { calls.push_back("any2"); });
    center.addObserver("Other", nullptr, [&](const Notification &) { calls.push_back("other"); });

    center.post("N", &senderB);
    EXPECT_EQ(calls, (std::vector<std::string>{"any1", "all:N", "any2"}));
    calls.clear();
    center.post("N", &senderA);
    EXPECT_EQ(calls, (std::vector<std::string>{"any1", "a", "all:N", "any2"}));
}

TEST(NotificationCenter, CarriesUserInfoAndRunsOnThePostingThread) {
    NotificationCenter center;
    std::thread::id ranOn;
    int value = 0;
    center.addObserver("N", nullptr, [&](const Notification &n) {
        ranOn = std::this_thread::get_id();
        value = std::any_cast<int>(n.userInfo.at("key"));
    });
    std::thread poster([&] { center.post("N", nullptr, {{"key", std::any(42)}}); });
    const auto posterId = poster.get_id();
    poster.join();
    EXPECT_EQ(ranOn, posterId);
    EXPECT_EQ(value, 42);
}

TEST(NotificationCenter, ObserverMayRemoveItselfAndOthersWhileCalled) {
    NotificationCenter center;
    std::vector<std::string> calls;
    ObserverToken self = 0, later = 0;
    self = center.addObserver("N", nullptr, [&](const Notification &) {
        calls.push_back("self");
        center.removeObserver(self);
        center.removeObserver(later);
    });
    later =
        center.addObserver("N", nullptr, [&](const Notification &) { calls.push_back("later"); });
    center.addObserver("N", nullptr, [&](const Notification &) { calls.push_back("kept"); });
    center.post("N");
    center.post("N");
    EXPECT_EQ(calls, (std::vector<std::string>{"self", "kept", "kept"}));
}

TEST(NotificationCenter, ObserverAddedDuringAPostWaitsForTheNextOne) {
    NotificationCenter center;
    int added = 0;
    bool once = false;
    center.addObserver("N", nullptr, [&](const Notification &) {
        if (once) return;
        once = true;
        center.addObserver("N", nullptr, [&](const Notification &) { ++added; });
    });
    center.post("N");
    EXPECT_EQ(added, 0);
    center.post("N");
    EXPECT_EQ(added, 1);
}
