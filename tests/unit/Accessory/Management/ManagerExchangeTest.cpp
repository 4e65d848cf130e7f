// The management receive path without a session: bytes into generalReceive, the answer the
// waiting operation gets out of the exchange.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Accessory/Management/ManagerExchange.h"
#include "CaptureLogger.h"
#include "vorasel/HVManager.h"

namespace hv::management {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

class ExchangeTest : public ::testing::Test {
protected:
    void SetUp() override { exchange.beginOperation(1024); }
    void TearDown() override { exchange.endOperation(); }

    void feed(Bytes bytes) { generalReceive(bytes.data(), static_cast<uint16_t>(bytes.size())); }
    ManagerAnswer awaitFor(std::chrono::milliseconds timeout) {
        return exchange.awaitAnswer(Clock::now() + timeout);
    }

    ManagerExchange &exchange = ManagerExchange::shared();
};

TEST_F(ExchangeTest, EachKindOfAnswerIsClassifiedAndLogged) {
    hv::test::ScopedCapture capture;
    struct Case {
        Bytes bytes;
        HVManagerResponse response;
        const char *line;
    };
    const Case cases[] = {
        {{0xD0, 0x01, 0x05}, HVManagerResponseStatus, "] Received status code 5."},
        {{0xD1, 0x02, 0x00, 0x05}, HVManagerResponseGPIOState, "] Received GPIO state 5."},
        {{0xF2, 0x00}, HVManagerResponseCounters, "] Received counter list."},
        {{0xD2, 0x05, 'b', 'l', 'u', 'e', 0},
         HVManagerResponsePropertyValue,
         "] Received property value blue"},
        {{0xD3, 0x04, 0, 0, 0, 3}, HVManagerResponseCapabilities, "] Received capabilites are 3"},
        {{0xD2, 0x02, 'a', 'b'}, HVManagerResponseError, "] Received unexpected message."},
    };
    for (const auto &c : cases) {
        exchange.openRequest();
        feed(c.bytes);
        const ManagerAnswer a = awaitFor(1s);
        EXPECT_EQ(a.response, c.response) << c.line;
        EXPECT_TRUE(capture.logger().contains(c.line)) << c.line;
    }
    exchange.openRequest();
    feed({0xD1, 0x02, 0x12, 0x34});
    EXPECT_EQ(awaitFor(1s).gpioState, 0x1234);
    exchange.openRequest();
    feed({0xD2, 0x05, 'b', 'l', 'u', 'e', 0});
    EXPECT_EQ(awaitFor(1s).propertyValue, "blue");
}

TEST_F(ExchangeTest, TheFirstMessageAfterARequestDecidesAndLaterOnesChangeNothing) {
    exchange.openRequest();
    // A GPIO state and a status in one chunk: the GPIO state answered the request.
    feed({0xD1, 0x02, 0x00, 0x05, 0xD0, 0x01, 0x00});
    ManagerAnswer a = awaitFor(1s);
    EXPECT_EQ(a.response, HVManagerResponseGPIOState);
    EXPECT_EQ(a.gpioState, 5);
    EXPECT_FALSE(a.acknowledged());
}

TEST_F(ExchangeTest, AnswersOutsideAnOpenRequestAreForgotten) {
    // Before any request.
    feed({0xD0, 0x01, 0x00});
    exchange.openRequest();
    EXPECT_EQ(awaitFor(0ms).response, HVManagerResponseNone);

    // After the wait gave up: the late answer does not carry over to the next request.
    exchange.openRequest();
    EXPECT_EQ(awaitFor(10ms).response, HVManagerResponseNone);
    feed({0xD3, 0x04, 0, 0, 0, 3});
    exchange.openRequest();
    EXPECT_EQ(awaitFor(0ms).response, HVManagerResponseNone);
    // The next request's answer is its own.
    exchange.openRequest();
    feed({0xD0, 0x01, 0x00});
    EXPECT_TRUE(awaitFor(1s).acknowledged());
}

TEST_F(ExchangeTest, ReceiveFailuresDecideTheRequestWithStatusThree) {
    hv::test::ScopedCapture capture;
    exchange.openRequest();
    generalReceive(nullptr, 0);
    ManagerAnswer a = awaitFor(1s);
    EXPECT_EQ(a.response, HVManagerResponseError);
    EXPECT_EQ(a.status, 3u);
    EXPECT_TRUE(capture.logger().contains(
        "] [HVPAPMessageHandler handleMessage] returned HVPAPMessageHandlerStatusMessageError"));

    exchange.openRequest();
    feed({0x1F, 0x80, 0x00});
    EXPECT_EQ(awaitFor(1s).response, HVManagerResponseError);
    EXPECT_TRUE(capture.logger().contains("returned HVPAPMessageHandlerStatusMessageCorrupted"));

    // More than the firmware upgrade's 512-byte handler holds.
    exchange.endOperation();
    exchange.beginOperation(512);
    exchange.openRequest();
    feed(Bytes(600, 0x04));
    EXPECT_EQ(awaitFor(1s).response, HVManagerResponseError);
    EXPECT_TRUE(capture.logger().contains("returned HVPAPMessageHandlerStatusBufferFull"));
}

TEST_F(ExchangeTest, ValuesAreCopiedOutOfTheHandlerBeforeItGoes) {
    exchange.openRequest();
    feed({0xF2, 0x18,                                                            //
          0xE0, 0x0A, 0x0C, 0x04, 'a', 'b', 'c',  0,    0x02, 0x02, 0x00, 0x07,  // wrong width
          0xE0, 0x0A, 0x0C, 0x02, 'x', 0,   0x02, 0x04, 0x00, 0x00, 0x00, 0x09});
    EXPECT_EQ(awaitFor(1s).response, HVManagerResponseError) << "a 2-byte counter value";

    exchange.openRequest();
    feed({0xF2, 0x1A,                                                                        //
          0xE0, 0x0C, 0x0C, 0x04, 'a', 'b', 'c',  0,    0x02, 0x04, 0x00, 0x00, 0x00, 0x07,  //
          0xE0, 0x0A, 0x0C, 0x02, 'x', 0,   0x02, 0x04, 0x00, 0x00, 0x01, 0x00});
    ManagerAnswer a = awaitFor(1s);
    // The handler and its buffer go away with the operation; the answer keeps its copies.
    exchange.endOperation();
    exchange.beginOperation(1024);
    exchange.openRequest();
    feed({0xD2, 0x05, 'z', 'z', 'z', 'z', 0});
    ASSERT_EQ(a.response, HVManagerResponseCounters);
    ASSERT_EQ(a.counters.size(), 2u);
    EXPECT_EQ(a.counters[0].name(), "abc");
    EXPECT_EQ(a.counters[0].value(), 7u);
    EXPECT_EQ(a.counters[1].name(), "x");
    EXPECT_EQ(a.counters[1].value(), 256u);
}

TEST_F(ExchangeTest, ALostSessionEndsEveryWaitOfTheOperationAtOnce) {
    exchange.openRequest();
    exchange.sessionLost();
    auto t0 = Clock::now();
    ManagerAnswer a = awaitFor(5s);
    EXPECT_EQ(a.response, HVManagerResponseError);
    EXPECT_EQ(a.status, 3u);
    exchange.openRequest();
    EXPECT_EQ(awaitFor(5s).response, HVManagerResponseError);
    EXPECT_LT(Clock::now() - t0, 1s);

    // A loss while a thread waits wakes it.
    exchange.endOperation();
    exchange.beginOperation(1024);
    exchange.openRequest();
    std::thread loser([&] {
        std::this_thread::yield();
        exchange.sessionLost();
    });
    t0 = Clock::now();
    EXPECT_EQ(awaitFor(5s).response, HVManagerResponseError);
    EXPECT_LT(Clock::now() - t0, 1s);
    loser.join();

    // A new operation starts with a live session.
    exchange.endOperation();
    exchange.beginOperation(1024);
    exchange.openRequest();
    EXPECT_EQ(awaitFor(0ms).response, HVManagerResponseNone);
}

TEST_F(ExchangeTest, AnswersRacingTheEndOfTheWaitNeverTearTheOutcome) {
    // The session thread delivers answers while the operation opens requests and gives up on
    // them with tiny deadlines: whatever is read is one whole answer of one kind.
    std::atomic<bool> stop{false};
    std::thread session([&] {
        const Bytes capabilities = {0xD3, 0x04, 0x00, 0x00, 0x00, 0x03};
        const Bytes property = {0xD2, 0x05, 'b', 'l', 'u', 'e', 0};
        for (int i = 0; !stop.load(); ++i) {
            const Bytes &b = i % 2 ? capabilities : property;
            generalReceive(const_cast<uint8_t *>(b.data()), static_cast<uint16_t>(b.size()));
        }
    });
    int decided = 0;
    for (int i = 0; i < 2000; ++i) {
        exchange.openRequest();
        const ManagerAnswer a = awaitFor(std::chrono::milliseconds(i % 2));
        switch (a.response) {
            case HVManagerResponseCapabilities:
                EXPECT_EQ(a.capabilities, 3u);
                EXPECT_TRUE(a.propertyValue.empty());
                ++decided;
                break;
            case HVManagerResponsePropertyValue:
                EXPECT_EQ(a.propertyValue, "blue");
                EXPECT_EQ(a.capabilities, 0u);
                ++decided;
                break;
            case HVManagerResponseNone:
                break;
            default:
                ADD_FAILURE() << "response " << a.response;
        }
    }
    stop = true;
    session.join();
    EXPECT_GT(decided, 0);
}

TEST(ManagerStatus, SessionStatusesMapToManagerStatuses) {
    EXPECT_EQ(HVManager::convertFromSessionStatus(0), HVManagerStatusSuccess);
    EXPECT_EQ(HVManager::convertFromSessionStatus(1), HVManagerStatusSessionFailed);
    EXPECT_EQ(HVManager::convertFromSessionStatus(2), HVManagerStatusAccessoryNotFound);
    EXPECT_EQ(HVManager::convertFromSessionStatus(3), HVManagerStatusFailed);
    EXPECT_EQ(HVManager::convertFromSessionStatus(7), HVManagerStatusFailed);
    EXPECT_EQ(HVManager::convertFromSessionStatus(-1), HVManagerStatusFailed);
}

TEST(ManagerStatus, ACounterKeepsItsNameAndValue) {
    std::string name = "abc";
    const HVAccessoryCounter counter(name.c_str(), 7);
    name[0] = 'X';
    EXPECT_EQ(counter.name(), "abc");
    EXPECT_EQ(counter.value(), 7u);
    EXPECT_EQ(HVAccessoryCounter(nullptr, 1).name(), "");
}

}  // namespace
}  // namespace hv::management
