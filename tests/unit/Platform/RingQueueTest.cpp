#include "Platform/RingQueue.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

using hv::platform::RingQueue;

// Order must survive the wrap-around and every growth, whatever the head's position then.
TEST(RingQueue, KeepsFifoOrderAcrossWrapAndGrowth) {
    RingQueue<std::string> q;
    int pushed = 0, popped = 0;
    for (int round = 0; round < 50; ++round) {
        for (int i = 0; i < round % 37 + 1; ++i)
            q.push(std::to_string(pushed++));
        for (int i = 0; i < round % 23 && !q.empty(); ++i)
            ASSERT_EQ(q.pop(), std::to_string(popped++));
    }
    EXPECT_EQ(q.size(), static_cast<size_t>(pushed - popped));
    while (!q.empty())
        ASSERT_EQ(q.pop(), std::to_string(popped++));
    EXPECT_EQ(popped, pushed);
}

// A popped slot must not keep its element alive (a closure's captures, for a run loop).
TEST(RingQueue, PopReleasesTheSlot) {
    RingQueue<std::shared_ptr<int>> q;
    auto value = std::make_shared<int>(7);
    q.push(value);
    EXPECT_EQ(value.use_count(), 2);
    auto out = q.pop();
    out.reset();
    EXPECT_EQ(value.use_count(), 1);
    EXPECT_TRUE(q.empty());
}
