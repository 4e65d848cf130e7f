#include "TransportFixture.h"

using namespace hv::test;
using namespace std::chrono_literals;

TEST_P(TransportTest, ProtocolStringsAndUnknownProtocols) {
    EXPECT_STREQ(HVProtocolSession::stringFromProtocol(2), "com.vorasel.ccidbulk");
    EXPECT_STREQ(HVProtocolSession::stringFromProtocol(5), "com.vorasel.manager");
    EXPECT_EQ(HVProtocolSession::stringFromProtocol(6), nullptr);
    EXPECT_EQ(HVProtocolSession::stringFromProtocol(-1), nullptr);
    ScopedCapture capture;
    EXPECT_EQ(start(6), HVSessionStatusAccessoryNotFound);
    EXPECT_EQ(start(-1), HVSessionStatusAccessoryNotFound);
    EXPECT_EQ(capture.logger().count("] Accessory not found."), 2u);
}

TEST_P(TransportTest, ProtocolNotOfferedByAnyAccessory) {
    accessory->detach();
    // Over a socket the detach reaches the accessory service a moment later.
    ASSERT_TRUE(waitUntil([] {
        return hv::platform::EAAccessoryManager::sharedAccessoryManager()
            .connectedAccessories()
            .empty();
    }));
    ScopedCapture capture;
    EXPECT_EQ(start(HVAccessoryProtocolCCIDBulk), HVSessionStatusAccessoryNotFound);
    EXPECT_TRUE(capture.logger().contains("HVVerbose: "));
    EXPECT_EQ(HVSessionProtocolDriver::sharedClass().sessionForProtocol(2), nullptr);
}

TEST_P(TransportTest, EchoRoundTripThroughARunningSession) {
    ScopedCapture capture;
    ASSERT_EQ(start(HVAccessoryProtocolCCIDBulk), HVSessionStatusSuccess);
    auto session = HVSessionProtocolDriver::sharedClass().sessionForProtocol(2);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(session->state(), HVSessionStateRunning);
    const auto data = pattern(10);
    EXPECT_EQ(write(2, data), HVSessionStatusSuccess);
    EXPECT_TRUE(waitUntil([&] { return received(2).bytes().size() >= data.size(); }));
    EXPECT_EQ(received(2).bytes(), data);
    EXPECT_TRUE(capture.logger().contains("] Starting session for protocol 2."));
    EXPECT_TRUE(capture.logger().contains("] Wrote 10 of 10 bytes for protocol 2."));
    EXPECT_TRUE(capture.logger().contains("] Read 10 bytes from stream for protocol 2."));
    EXPECT_EQ(HVSessionProtocolDriver::sharedClass().endSessionWithProtocol(2),
              HVSessionStatusSuccess);
    EXPECT_EQ(session->state(), HVSessionStateEnded);
    EXPECT_TRUE(capture.logger().contains("] Session ended for protocol 2."));
}

TEST_P(TransportTest, StartingTwiceEndsTheFirstSessionBeforeTheSecondExists) {
    ASSERT_EQ(start(2), HVSessionStatusSuccess);
    auto first = HVSessionProtocolDriver::sharedClass().sessionForProtocol(2);
    ASSERT_EQ(start(2), HVSessionStatusSuccess);
    auto second = HVSessionProtocolDriver::sharedClass().sessionForProtocol(2);
    EXPECT_NE(first, second);
    EXPECT_EQ(first->state(), HVSessionStateEnded);
    EXPECT_EQ(second->state(), HVSessionStateRunning);
    const auto sims = accessory->sessions("ccidbulk");
    ASSERT_EQ(sims.size(), 2u);
    // The first platform session was closed (over a socket, the accessory learns it a
    // moment later).
    EXPECT_TRUE(waitUntil([&] { return sims[0]->toDevice().isClosed(); }));
    EXPECT_FALSE(sims[1]->toDevice().isClosed());
}

TEST_P(TransportTest, EndOrWriteWithoutASessionIsAnError) {
    ScopedCapture capture;
    EXPECT_EQ(HVSessionProtocolDriver::sharedClass().endSessionWithProtocol(3),
              HVSessionStatusError);
    EXPECT_EQ(write(3, {1, 2, 3}), HVSessionStatusError);
    EXPECT_EQ(capture.logger().count("] Session not started for protocol 3"), 2u);
    EXPECT_TRUE(capture.logger().contains("HVError: "));
}

TEST_P(TransportTest, RefusedSessionReportsCreateFailed) {
    {
        auto lock = accessory->lock();
        accessory->faults("manager").refuse = hv::sim::FaultCount::once();
    }
    ScopedCapture capture;
    EXPECT_EQ(start(HVAccessoryProtocolManager), HVSessionStatusCreateFailed);
    EXPECT_TRUE(
        capture.logger().contains("] Unable to create session for protocol com.vorasel.manager!"));
    EXPECT_EQ(HVSessionProtocolDriver::sharedClass().sessionForProtocol(5), nullptr);
    EXPECT_EQ(start(HVAccessoryProtocolManager), HVSessionStatusSuccess);
}

TEST_P(TransportTest, StreamsFailingToOpenRegisterNothing) {
    {
        auto lock = accessory->lock();
        accessory->faults("ccidbulk").failInputOpen = hv::sim::FaultCount::once();
        accessory->faults("ccidbulk").failOutputOpen = hv::sim::FaultCount::once();
    }
    ScopedCapture capture;
    EXPECT_NE(start(2), HVSessionStatusSuccess);
    EXPECT_TRUE(capture.logger().contains(
        "] Failed to configure session streams: inputStream 7 outputStream 7"));
    EXPECT_EQ(HVSessionProtocolDriver::sharedClass().sessionForProtocol(2), nullptr);
    EXPECT_EQ(write(2, {1}), HVSessionStatusError);
    // The fault was for one session only.
    EXPECT_EQ(start(2), HVSessionStatusSuccess);
}

TEST_P(TransportTest, StreamsThatNeverOpenFailTheStartInBoundedTime) {
    {
        auto lock = accessory->lock();
        accessory->faults("ccidbulk").holdOpen = true;
    }
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_NE(start(2), HVSessionStatusSuccess);
    const auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(took, HVProtocolSession::kOpenTimeout);
    EXPECT_LT(took, HVProtocolSession::kOpenTimeout + 3s);
    EXPECT_EQ(HVSessionProtocolDriver::sharedClass().sessionForProtocol(2), nullptr);
}

TEST_P(TransportTest, LargeWritesGoOutWholeAndInOrderThroughSmallPipes) {
    ASSERT_EQ(start(2), HVSessionStatusSuccess);
    const auto data = pattern(60000, 3);
    EXPECT_EQ(write(2, data), HVSessionStatusSuccess);
    // The pipe holds 512 bytes: the rest is pending until space events flush it.
    EXPECT_TRUE(waitUntil([&] { return received(2).bytes().size() >= data.size(); }, 20s));
    EXPECT_EQ(received(2).bytes(), data);
    EXPECT_EQ(received(2).losses(), 0u);
}

TEST_P(TransportTest, SecondWriteWhileOnePendsIsRefusedAndTheFirstStillFlushes) {
    ASSERT_EQ(start(HVAccessoryProtocolCCIDInterrupt), HVSessionStatusSuccess);
    // Nobody reads on the accessory side, so the pipes fill and the rest stays pending.
    const auto data = pattern(60000);
    EXPECT_EQ(write(3, data), HVSessionStatusSuccess);
    ScopedCapture capture;
    EXPECT_EQ(write(3, {9}), HVSessionStatusError);
    EXPECT_TRUE(capture.logger().contains("] Already writing data for protocol 3!"));
    auto port = held->latest();
    ASSERT_NE(port, nullptr);
    std::vector<uint8_t> got;
    uint8_t buf[4096];
    while (got.size() < data.size()) {
        const auto n = port->read(buf, sizeof buf, std::chrono::steady_clock::now() + 5s);
        ASSERT_GT(n, 0);
        got.insert(got.end(), buf, buf + n);
    }
    EXPECT_EQ(got, data);
    // Once flushed, writing works again.
    EXPECT_TRUE(waitUntil([&] { return write(3, {7}) == HVSessionStatusSuccess; }));
}

TEST_P(TransportTest, EverythingAvailableArrivesInOneCallback) {
    // Pins the read worker, which is the same over every transport; the socket transport
    // delivers what crosses the socket as it comes.
    if (!inProcess()) GTEST_SKIP() << "read-worker gathering is checked in process";
    accessory->setPipeCapacity(4096);
    ASSERT_EQ(start(HVAccessoryProtocolCCIDInterrupt), HVSessionStatusSuccess);
    auto port = held->latest();
    const auto data = pattern(3000, 1);
    ASSERT_TRUE(port->write(data.data(), data.size()));
    EXPECT_TRUE(waitUntil([&] { return received(3).bytes().size() >= 3000; }));
    const auto deliveries = received(3).deliveries();
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0].bytes, data);
    // Gathered by reads of at most 1024 bytes.
    std::vector<size_t> reads;
    for (const auto &r : accessory->latestSession("ccidinterrupt")->records())
        if (!r.fromHost) reads.push_back(r.bytes.size());
    EXPECT_EQ(reads, (std::vector<size_t>{1024, 1024, 952}));
}

TEST_P(TransportTest, MoreThanSixtyFourKilobytesAtOnceArriveInSeveralCalls) {
    // Pins the read worker, which is the same over every transport; the socket transport
    // delivers what crosses the socket as it comes.
    if (!inProcess()) GTEST_SKIP() << "read-worker gathering is checked in process";
    accessory->setPipeCapacity(70000);
    ASSERT_EQ(start(HVAccessoryProtocolCCIDInterrupt), HVSessionStatusSuccess);
    const auto data = pattern(70000, 5);
    ASSERT_TRUE(held->latest()->write(data.data(), data.size()));
    EXPECT_TRUE(waitUntil([&] { return received(3).bytes().size() >= data.size(); }));
    const auto deliveries = received(3).deliveries();
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_EQ(deliveries[0].bytes.size(), 65535u);
    EXPECT_EQ(deliveries[1].bytes.size(), 70000u - 65535u);
    EXPECT_EQ(received(3).bytes(), data);
}

TEST_P(TransportTest, DeliveriesFollowTheAccessorysChunking) {
    {
        auto lock = accessory->lock();
        accessory->faults("ccidbulk").chunks = {1, 3};
    }
    ASSERT_EQ(start(2), HVSessionStatusSuccess);
    const auto data = pattern(8);
    EXPECT_EQ(write(2, data), HVSessionStatusSuccess);
    EXPECT_TRUE(waitUntil([&] { return received(2).bytes().size() >= data.size(); }));
    std::vector<size_t> sizes;
    for (const auto &d : received(2).deliveries())
        sizes.push_back(d.bytes.size());
    EXPECT_EQ(sizes, (std::vector<size_t>{1, 3, 1, 3}));
    EXPECT_EQ(received(2).bytes(), data);
}

TEST_P(TransportTest, EndOfStreamIsReportedOnlyOnTheCardReaderPipes) {
    ASSERT_EQ(start(HVAccessoryProtocolManager), HVSessionStatusSuccess);
    ASSERT_EQ(start(HVAccessoryProtocolCCIDInterrupt), HVSessionStatusSuccess);
    ScopedCapture capture;
    accessory->latestSession("manager")->endFromDevice();
    accessory->latestSession("ccidinterrupt")->endFromDevice();
    EXPECT_TRUE(waitUntil([&] { return received(3).losses() >= 1; }));
    EXPECT_TRUE(waitUntil(
        [&] { return capture.logger().count("NSStreamEventEndEncountered for protocol 5") >= 1; }));
    EXPECT_EQ(received(5).losses(), 0u);
    // Over a socket the output side may report its end first; the input's end follows.
    EXPECT_TRUE(waitUntil([&] {
        return capture.logger().contains(
            "] InputStream NSStreamEventEndEncountered for protocol 3");
    }));
    // The sessions stay registered until their users end them.
    EXPECT_NE(HVSessionProtocolDriver::sharedClass().sessionForProtocol(5), nullptr);
}

TEST_P(TransportTest, StreamErrorIsLoggedAndSignalledOnEveryProtocol) {
    ASSERT_EQ(start(HVAccessoryProtocolManager), HVSessionStatusSuccess);
    ScopedCapture capture;
    accessory->latestSession("manager")->injectError(true, 57, "Socket is not connected");
    EXPECT_TRUE(waitUntil([&] { return received(5).losses() == 1; }));
    EXPECT_TRUE(capture.logger().contains(
        "] InputStream NSStreamEventErrorOccurred 57 Socket is not connected for protocol 5"));
}

TEST_P(TransportTest, DetachMidSessionSignalsLossAndRefusesWrites) {
    ASSERT_EQ(start(2), HVSessionStatusSuccess);
    accessory->detach();
    EXPECT_TRUE(waitUntil([&] { return received(2).losses() >= 1; }));
    ScopedCapture capture;
    EXPECT_TRUE(waitUntil([&] { return write(2, {1, 2}) == HVSessionStatusError; }));
    EXPECT_TRUE(capture.logger().contains("not available with streamStatus"));
    EXPECT_EQ(HVSessionProtocolDriver::sharedClass().endSessionWithProtocol(2),
              HVSessionStatusSuccess);
}

TEST_P(TransportTest, ZeroLengthWriteOnAnOpenStreamLeavesNothingPending) {
    ASSERT_EQ(start(2), HVSessionStatusSuccess);
    EXPECT_EQ(write(2, {}), HVSessionStatusSuccess);
    EXPECT_EQ(write(2, {4, 5}), HVSessionStatusSuccess);
    EXPECT_TRUE(waitUntil([&] { return received(2).bytes().size() >= 2; }));
    EXPECT_EQ(received(2).bytes(), (std::vector<uint8_t>{4, 5}));
}

HV_TRANSPORT_BACKENDS(TransportTest);
