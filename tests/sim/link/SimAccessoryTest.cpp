// Lifetimes around the simulated accessory: what its devices' threads and its announcements
// may still reach once their owner lets go.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <vector>

#include "Wait.h"
#include "vorasel/sim/SimAccessory.h"

namespace hv::sim::test {
namespace {

using namespace std::chrono_literals;

// A device thread may still write through its end after the host has freed the session: the
// notification it raises must not reach the freed session (the sanitizer builds catch it).
TEST(SimSession, DeviceEndOutlivesTheSession) {
    std::atomic<int> calls{0};
    auto session = std::make_shared<SimSession>("manager", 64, SessionFaults{});
    session->setListener([&] { ++calls; });
    auto device = session->devicePort();
    const uint8_t byte = 0x42;
    ASSERT_TRUE(device->write(&byte, 1));
    EXPECT_EQ(calls.load(), 1);
    session.reset();
    ASSERT_TRUE(device->write(&byte, 1));
    device->close();
    EXPECT_FALSE(device->isOpen());
    EXPECT_EQ(calls.load(), 1);  // the host's listener went with the session
}

// A relay polls for the next piece with a short deadline: a poll that finds nothing must not
// use up a piece size, or the host sees the pieces out of their cycle.
TEST(SimSession, PiecesKeepTheirCycleAcrossEmptyPolls) {
    SessionFaults faults;
    faults.chunks = {1, 3};
    SimSession session("ccidbulk", 64, faults);
    uint8_t buf[16];
    bool separate = false;
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(session.hostReadPiece(buf, sizeof buf, Clock::now(), &separate), 0);
    const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_TRUE(session.devicePort()->write(data, sizeof data));
    std::vector<ptrdiff_t> sizes;
    std::vector<uint8_t> got;
    while (got.size() < sizeof data) {
        const auto n = session.hostReadPiece(buf, sizeof buf, Clock::now() + 2s, &separate);
        ASSERT_GT(n, 0);
        EXPECT_TRUE(separate);
        sizes.push_back(n);
        got.insert(got.end(), buf, buf + n);
    }
    EXPECT_EQ(sizes, (std::vector<ptrdiff_t>{1, 3, 1, 3}));
    EXPECT_EQ(got, std::vector<uint8_t>(data, data + sizeof data));
}

// Holds each detach announcement until released.
class HoldingListener final : public SimAccessory::AttachListener {
public:
    void accessoryAttached(SimAccessory &) override {}
    void accessoryDetached(SimAccessory &) override {
        std::unique_lock lock(mutex_);
        inside_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return released_; });
        inside_ = false;
    }
    void waitInside() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return inside_; });
    }
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool inside_ = false, released_ = false;
};

// Replacing the listener waits for an announcement in flight, so that the old listener's
// owner may go as soon as it returns.
TEST(SimAccessory, ReplacingTheListenerWaitsForAnAnnouncementInFlight) {
    auto accessory = SimAccessory::create();
    auto listener = std::make_unique<HoldingListener>();
    accessory->setAttachListener(listener.get());
    accessory->attach();
    auto detaching = std::async(std::launch::async, [&] { accessory->detach(); });
    listener->waitInside();
    auto replacing = std::async(std::launch::async, [&] { accessory->setAttachListener(nullptr); });
    EXPECT_EQ(replacing.wait_for(100ms), std::future_status::timeout)
        << "the listener was replaced while it was still being called";
    listener->release();
    replacing.get();
    detaching.get();
    listener.reset();
    accessory->attach();  // nobody to tell, nothing reached
    EXPECT_TRUE(accessory->isAttached());
}

// A long-serving accessory keeps its open sessions and only the latest ended ones.
TEST(SimAccessory, EndedSessionsAreNotKeptWithoutBound) {
    AccessoryIdentity id;
    id.protocols = {"sensor"};
    auto accessory = SimAccessory::create(id);
    accessory->attach();
    auto open = accessory->openSession("sensor");
    for (int i = 0; i < 200; ++i)
        accessory->openSession("sensor")->hostClose();
    const auto kept = accessory->sessions("sensor");
    EXPECT_LE(kept.size(), 40u);
    EXPECT_EQ(kept.front(), open);
    EXPECT_EQ(accessory->sessionsOpened("sensor"), 201u);
}

}  // namespace
}  // namespace hv::sim::test
