// A session's loss observer: told of an end or error on any protocol, once, including one that
// happened before it was set.
#include <atomic>

#include <gtest/gtest.h>

#include "TransportFixture.h"

namespace hv::test {
namespace {

class LossObserverTest : public TransportTest {};

TEST_P(LossObserverTest, AnEndTheManagerCallbackIsNotToldOfReachesTheObserverOnce) {
    ASSERT_EQ(start(HVAccessoryProtocolManager), HVSessionStatusSuccess);
    auto session = HVSessionProtocolDriver::sharedClass().sessionForProtocol(5);
    ASSERT_NE(session, nullptr);
    std::atomic<int> losses{0};
    session->setLossObserver([&] { ++losses; });
    EXPECT_EQ(losses.load(), 0);
    accessory->latestSession("manager")->endFromDevice();
    EXPECT_TRUE(waitUntil([&] { return losses.load() == 1; }));
    EXPECT_EQ(received(5).losses(), 0u);
    // Both streams end over a socket; the observer still hears of it once.
    EXPECT_FALSE(waitUntil([&] { return losses.load() > 1; }, std::chrono::milliseconds(100)));

    // Set after the loss, it is told at once; removed, it hears nothing more.
    std::atomic<int> late{0};
    session->setLossObserver([&] { ++late; });
    EXPECT_EQ(late.load(), 1);
    session->setLossObserver(nullptr);
}

TEST_P(LossObserverTest, AStreamErrorReachesBothTheCallbackAndTheObserver) {
    ASSERT_EQ(start(HVAccessoryProtocolCCIDBulk), HVSessionStatusSuccess);
    auto session = HVSessionProtocolDriver::sharedClass().sessionForProtocol(2);
    ASSERT_NE(session, nullptr);
    std::atomic<int> losses{0};
    session->setLossObserver([&] { ++losses; });
    accessory->latestSession("ccidbulk")->injectError(true, 57, "Socket is not connected");
    EXPECT_TRUE(waitUntil([&] { return losses.load() == 1 && received(2).losses() >= 1; }));
    session->setLossObserver(nullptr);
}

HV_TRANSPORT_BACKENDS(LossObserverTest);

}  // namespace
}  // namespace hv::test
