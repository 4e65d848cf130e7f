// The session object on its own, around its start: writes before the streams are open,
// events after the end.
#include <thread>

#include "Platform/ExternalAccessory/EAAccessoryManager.h"
#include "ThreadCensus.h"
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

TEST_P(TransportTest, AnIdleRunningSessionsThreadSleepsAndItsEndWakesItAtOnce) {
    auto session = makeSession(HVAccessoryProtocolManager);
    ASSERT_TRUE(session->startSession());
    ASSERT_TRUE(waitUntil([] { return switchesOfThreadsNamed("hv.session.5") > 0; }));
    const long before = switchesOfThreadsNamed("hv.session.5");
    // A window with nothing to do: a thread that polls in slices wakes tens of times in it.
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(switchesOfThreadsNamed("hv.session.5") - before, 5);
    const auto start = std::chrono::steady_clock::now();
    session->endSession();
    EXPECT_EQ(session->state(), HVSessionStateEnded);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms) << "the end waited for a slice";
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

// A write the stream refuses while it still reports open (the in-process link can make one;
// over the socket the daemon's end never refuses a frame).
TEST_P(TransportTest, AnImmediateWriteErrorReturnsErrorAndTheNextWriteGoesThrough) {
    if (!inProcess()) GTEST_SKIP() << "the socket transport takes every write while open";
    ASSERT_EQ(start(HVAccessoryProtocolSensor), HVSessionStatusSuccess);
    auto simSession = accessory->latestSession("sensor");
    ASSERT_NE(simSession, nullptr);
    simSession->failNextWrites(1);
    ScopedCapture capture;
    EXPECT_EQ(write(HVAccessoryProtocolSensor, pattern(10)), HVSessionStatusError);
    EXPECT_TRUE(capture.logger().contains("] Write error! (1) "));
    EXPECT_EQ(received(HVAccessoryProtocolSensor).losses(), 0u);

    const auto next = pattern(12, 3);
    EXPECT_EQ(write(HVAccessoryProtocolSensor, next), HVSessionStatusSuccess);
    std::vector<uint8_t> got(next.size());
    ASSERT_NE(held->latest(), nullptr);
    size_t n = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (n < got.size()) {
        const ptrdiff_t r = held->latest()->read(got.data() + n, got.size() - n, deadline);
        ASSERT_GT(r, 0);
        n += static_cast<size_t>(r);
    }
    EXPECT_EQ(got, next);
}

TEST_P(TransportTest, ADeferredWriteErrorDropsThePendingBytesReportsOneLossAndLetsTheNextWrite) {
    if (!inProcess()) GTEST_SKIP() << "the socket transport takes every write while open";
    ASSERT_EQ(start(HVAccessoryProtocolSensor), HVSessionStatusSuccess);
    auto simSession = accessory->latestSession("sensor");
    auto port = held->latest();
    ASSERT_NE(simSession, nullptr);
    ASSERT_NE(port, nullptr);

    // More than the pipe holds: the tail waits in the session for space.
    const auto first = pattern(2000, 1);
    ASSERT_EQ(write(HVAccessoryProtocolSensor, first), HVSessionStatusSuccess);
    const uint8_t one[] = {9};
    EXPECT_EQ(HVSessionProtocolDriver::sharedClass().writeData(one, 1, HVAccessoryProtocolSensor),
              HVSessionStatusError);  // still pending

    simSession->failNextWrites(1);
    ScopedCapture capture;
    // Draining makes space; the flush that follows fails and drops the rest.
    std::vector<uint8_t> drained(4096);
    size_t got = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!capture.logger().contains("] Write error! (1) ") &&
           std::chrono::steady_clock::now() < deadline) {
        const ptrdiff_t r = port->read(drained.data() + got, drained.size() - got,
                                       std::chrono::steady_clock::now() + 1ms);
        if (r > 0) got += static_cast<size_t>(r);
    }
    ASSERT_TRUE(capture.logger().contains("] Write error! (1) "));
    EXPECT_TRUE(waitUntil([&] { return received(HVAccessoryProtocolSensor).losses() == 1; }));

    // The next write goes out whole, right after what the pipe already held: a prefix of the
    // first write, never its dropped tail.
    const auto next = pattern(16, 77);
    EXPECT_TRUE(waitUntil(
        [&] { return write(HVAccessoryProtocolSensor, next) == HVSessionStatusSuccess; }));
    drained.resize(got);
    const auto endsWithNext = [&] {
        return drained.size() >= next.size() &&
               std::equal(next.begin(), next.end(), drained.end() - next.size());
    };
    uint8_t buf[512];
    while (!endsWithNext() && std::chrono::steady_clock::now() < deadline + 5s) {
        const ptrdiff_t r = port->read(buf, sizeof buf, std::chrono::steady_clock::now() + 1ms);
        if (r > 0) drained.insert(drained.end(), buf, buf + r);
    }
    ASSERT_TRUE(endsWithNext());
    const size_t prefix = drained.size() - next.size();
    EXPECT_LT(prefix, first.size());
    EXPECT_TRUE(std::equal(drained.begin(), drained.begin() + static_cast<ptrdiff_t>(prefix),
                           first.begin()));
    EXPECT_EQ(received(HVAccessoryProtocolSensor).losses(), 1u);
}
