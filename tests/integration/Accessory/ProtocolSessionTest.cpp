// The session object on its own, around its start: writes before the streams are open,
// events after the end.
#include "Platform/ExternalAccessory/EAAccessoryManager.h"
#include "TransportFixture.h"

using namespace hv::test;
using namespace std::chrono_literals;

namespace {

std::shared_ptr<HVProtocolSession> makeSession(HVAccessoryProtocol protocol) {
    auto accessories =
        hv::platform::EAAccessoryManager::sharedAccessoryManager().connectedAccessories();
    EXPECT_FALSE(accessories.empty());
    auto platformSession = hv::platform::EASession::create(
        accessories.front(), HVProtocolSession::stringFromProtocol(protocol));
    EXPECT_NE(platformSession, nullptr);
    return std::make_shared<HVProtocolSession>(protocol, platformSession,
                                               SessionReceiver::callback(protocol));
}

}  // namespace

TEST_P(TransportTest, WriteBeforeTheStreamsOpenIsQueuedWholeAndFlushedOnFirstSpace) {
    auto session = makeSession(HVAccessoryProtocolCCIDBulk);
    EXPECT_EQ(session->state(), HVSessionStateIdle);
    ScopedCapture capture;
    const auto data = pattern(40);
    EXPECT_EQ(session->writeData(data.data(), 40), HVSessionStatusSuccess);
    EXPECT_TRUE(
        capture.logger().contains("] Stream not ready for protocol 2, write will be done later."));
    const uint8_t more[] = {1};
    EXPECT_EQ(session->writeData(more, 1), HVSessionStatusError);
    EXPECT_TRUE(capture.logger().contains("] Already writing data for protocol 2!"));
    ASSERT_TRUE(session->startSession());
    EXPECT_TRUE(waitUntil([&] { return received(2).bytes().size() >= 40; }));
    EXPECT_EQ(received(2).bytes(), data);
    EXPECT_TRUE(capture.logger().contains("] Wrote 40 of 40 bytes for protocol 2."));
    session->endSession();
    EXPECT_EQ(session->state(), HVSessionStateEnded);
}

TEST_P(TransportTest, EmptyWriteBeforeOpenBlocksUntilTheFirstSpaceEventDiscardsIt) {
    auto session = makeSession(HVAccessoryProtocolCCIDBulk);
    EXPECT_EQ(session->writeData(nullptr, 0), HVSessionStatusSuccess);
    const uint8_t one[] = {1};
    EXPECT_EQ(session->writeData(one, 1), HVSessionStatusError);
    ASSERT_TRUE(session->startSession());
    EXPECT_TRUE(waitUntil([&] { return session->writeData(one, 1) == HVSessionStatusSuccess; }));
    EXPECT_TRUE(waitUntil([&] { return received(2).bytes().size() >= 1; }));
    EXPECT_EQ(received(2).bytes(), std::vector<uint8_t>{1});
    session->endSession();
}

TEST_P(TransportTest, EventsAfterTheEndCallNoCallback) {
    auto session = makeSession(HVAccessoryProtocolManager);
    ASSERT_TRUE(session->startSession());
    session->endSession();
    ASSERT_EQ(session->state(), HVSessionStateEnded);
    // Stand in for late events from the platform: handled, they would call the callback
    // (the read worker calls it even for zero bytes).
    session->handleEvent(session->session()->inputStream(),
                         hv::platform::StreamEventHasBytesAvailable);
    session->handleEvent(session->session()->outputStream(),
                         hv::platform::StreamEventHasSpaceAvailable);
    EXPECT_TRUE(received(5).deliveries().empty());
}

TEST_P(TransportTest, UnknownEventAndStreamNamesAreLogged) {
    auto session = makeSession(HVAccessoryProtocolManager);
    auto other = hv::platform::EASession::create(
        hv::platform::EAAccessoryManager::sharedAccessoryManager().connectedAccessories().front(),
        "com.vorasel.manager");
    ASSERT_NE(other, nullptr);
    EXPECT_STREQ(session->stringFromStream(session->session()->inputStream()), "InputStream");
    EXPECT_STREQ(session->stringFromStream(session->session()->outputStream()), "OutputStream");
    EXPECT_STREQ(session->stringFromStream(other->inputStream()), "UndefinedStream");
    ScopedCapture capture;
    session->handleEvent(session->session()->inputStream(),
                         static_cast<hv::platform::StreamEvent>(3));
    session->handleEvent(session->session()->inputStream(), hv::platform::StreamEventNone);
    EXPECT_TRUE(capture.logger().contains("] Unknown stream event received! 3"));
    EXPECT_TRUE(capture.logger().contains("] InputStream NSStreamEventNone for protocol 5"));
}

TEST_P(TransportTest, EndingAnUnstartedSessionReturnsAtOnce) {
    auto session = makeSession(HVAccessoryProtocolTrace);
    session->endSession();
    EXPECT_EQ(session->state(), HVSessionStateEnding);
}
