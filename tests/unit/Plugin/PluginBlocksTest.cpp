// The table of blocks the plug-in interface hands out: ownership, refusal of foreign and
// released addresses, and concurrent use.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "Plugin/PluginBlocks.h"

namespace hv::plugin {
namespace {

TEST(PluginBlocks, AHandleOwnsItsObjectUntilReleasedOnce) {
    auto card = std::make_shared<HVSmartcard>();
    PluginHandle *handle = issueHandle(card);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(card.use_count(), 2);
    EXPECT_EQ(lookupHandle(handle), card);
    EXPECT_TRUE(release(handle));
    EXPECT_EQ(card.use_count(), 1);  // the handle's reference went with it
    EXPECT_EQ(lookupHandle(handle), nullptr);
    EXPECT_FALSE(release(handle));
}

TEST(PluginBlocks, OnlyIssuedHandlesAreHandles) {
    int local = 0;
    void *data = issueData(9);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(lookupHandle(reinterpret_cast<PluginHandle *>(&local)), nullptr);
    EXPECT_EQ(lookupHandle(static_cast<PluginHandle *>(data)), nullptr);
    EXPECT_EQ(lookupHandle(nullptr), nullptr);
    EXPECT_EQ(lookupHandle(reinterpret_cast<PluginHandle *>(uintptr_t{0x10})), nullptr);
    EXPECT_FALSE(release(&local));
    EXPECT_FALSE(release(static_cast<char *>(data) + 1));
    EXPECT_TRUE(release(data));
    EXPECT_FALSE(release(data));
}

TEST(PluginBlocks, RecentlyReleasedAddressesAreNotIssuedAgain) {
    // Many rounds of issue and release: a handle among the last kQuarantine released never
    // comes back as a new live one, so a stale copy of it stays refused.
    std::vector<PluginHandle *> released;
    for (int round = 0; round < 500; ++round) {
        PluginHandle *h = issueHandle(std::make_shared<HVSmartcard>());
        ASSERT_NE(h, nullptr);
        const size_t from = released.size() > kQuarantine ? released.size() - kQuarantine : 0;
        for (size_t i = from; i < released.size(); ++i)
            ASSERT_NE(h, released[i]) << "round " << round;
        ASSERT_TRUE(release(h));
        released.push_back(h);
        EXPECT_EQ(lookupHandle(h), nullptr);
    }
}

TEST(PluginBlocks, ConcurrentLookupsAndReleasesKeepTheObjectAlive) {
    for (int round = 0; round < 50; ++round) {
        auto card = std::make_shared<HVSmartcard>();
        std::weak_ptr<HVSmartcard> watch = card;
        PluginHandle *handle = issueHandle(std::move(card));
        std::atomic<bool> go{false};
        std::thread reader([&] {
            while (!go.load()) {
            }
            for (int i = 0; i < 200; ++i)
                if (auto held = lookupHandle(handle)) {
                    // Whoever looked it up keeps it alive, released or not.
                    EXPECT_FALSE(watch.expired());
                }
        });
        go = true;
        EXPECT_TRUE(release(handle));
        reader.join();
        EXPECT_TRUE(watch.expired());
    }
}

}  // namespace
}  // namespace hv::plugin
