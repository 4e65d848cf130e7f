// Every reader and card fault of the simulated case against the driver, over both transports:
// the driver's result, no hang (each exchange ends within its time-out, or at once when the
// fault says so), and the reader still usable afterwards.
#include <functional>
#include <future>
#include <thread>

#include "ReaderFixture.h"
#include "vorasel/sim/VirtualCard.h"

using namespace hv::test;
using namespace std::chrono_literals;
using hv::sim::Fault;
using hv::sim::FaultKind;
using Clock = std::chrono::steady_clock;

namespace {

class FaultMatrix : public ReaderTest {
protected:
    // A T=1 card whose waiting times give the 3 s floor, so that a lost block costs 3 s.
    static std::shared_ptr<hv::sim::VirtualCard> quickT1() {
        hv::sim::CardConfig config;
        config.atr.t0 = false;
        config.atr.t1 = true;
        config.atr.ifsc = 254;
        config.atr.bwiCwi = 0x00;
        return std::make_shared<hv::sim::VirtualCard>(config);
    }
    // T=1 ready, past the IFS request.
    void readyT1() {
        ready(quickT1(), 2);
        ASSERT_EQ(driver().rsp_timeout(), 3000u);
        ASSERT_EQ(echo(1).status, HVIFDHStatusSuccess);
    }
    // A T=0 card powered but its protocol not set: block transfers wait 3 s at most.
    void poweredT0() {
        openWithCard("t0");
        ASSERT_EQ(driver().powerOnICC(), HVIFDHStatusSuccess);
        ASSERT_EQ(driver().rsp_timeout(), 3000u);
    }
    void arm(Fault fault) { reader().faults().add(fault.on(hv::sim::ccid::kXfrBlock)); }
    Answer echo(size_t n) { return transmit(echoApdu(n), 2); }
    static Bytes echoed(size_t n) {
        const Bytes apdu = echoApdu(n);
        Bytes r(apdu.begin() + 5, apdu.begin() + 5 + static_cast<ptrdiff_t>(n));
        r.insert(r.end(), {0x90, 0x00});
        return r;
    }
    // A T=0 ECHO TPDU and the card's answer to it.
    Answer t0Echo() { return transmit({0x00, 0xEE, 0x00, 0x04, 0x04}, 1); }
    static double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
    // Starts an echo into a storm of time extensions, does `act` while it waits, and expects
    // the echo to end with `status` within a second of that.
    void expectStormEndedBy(const std::function<void()> &act, HVIFDHStatus status) {
        arm(Fault::timeExtensionStorm(100000, 5ms));
        auto result = inFlight(echoApdu(4), 2);
        const auto t0 = Clock::now();
        act();
        ASSERT_EQ(result.wait_for(2s), std::future_status::ready);
        EXPECT_EQ(result.get().status, status);
        EXPECT_LT(seconds(Clock::now() - t0), 1.0);
    }
    // Starts an APDU on a thread of its own; the test acts while it is in flight.
    std::future<Answer> inFlight(Bytes apdu, uint32_t protocol) {
        const size_t before = commandsOfType(hv::sim::ccid::kXfrBlock).size();
        auto f = std::async(std::launch::async,
                            [this, apdu, protocol] { return transmit(apdu, protocol); });
        EXPECT_TRUE(
            waitUntil([&] { return commandsOfType(hv::sim::ccid::kXfrBlock).size() > before; }));
        return f;
    }
};

TEST_P(FaultMatrix, SplitAnswersAreReassembled) {
    readyT1();
    arm(Fault::split({4, 10}, 2ms));
    EXPECT_EQ(echo(20).response, echoed(20));
    arm(Fault::splitRandom(6, 3));
    EXPECT_EQ(echo(200).response, echoed(200));
    EXPECT_EQ(reader().faults().fired(FaultKind::Split), 2u);
}

// A time extension and the answer in one delivery: the answer is taken at once.
TEST_P(FaultMatrix, MergedTimeExtensionAndAnswerDoNotStall) {
    readyT1();
    ScopedCapture capture;
    arm(Fault::timeExtensionStorm(1));
    arm(Fault::merge());
    const auto t0 = Clock::now();
    EXPECT_EQ(echo(8).response, echoed(8));
    EXPECT_LT(seconds(Clock::now() - t0), 1.5);
    EXPECT_EQ(capture.logger().count("] WTX"), 1u);
    EXPECT_FALSE(capture.logger().contains("timed out"));
}

// A merged answer arrives only with the next one: its exchange times out, the block is
// recovered, and the late copy is discarded.
TEST_P(FaultMatrix, MergedAnswerIsLateAndDiscarded) {
    readyT1();
    ScopedCapture capture;
    arm(Fault::merge());
    const auto t0 = Clock::now();
    EXPECT_EQ(echo(8).response, echoed(8));
    EXPECT_GE(seconds(Clock::now() - t0), 3.0);
    EXPECT_EQ(capture.logger().count("] Sending bulk command failed, timed out!"), 1u);
    EXPECT_GE(capture.logger().count("] Invalid response response sequence"), 1u);
    EXPECT_EQ(echo(3).response, echoed(3));
}

TEST_P(FaultMatrix, DelayedAnswers) {
    readyT1();
    ScopedCapture capture;
    arm(Fault::delayBy(30ms));
    EXPECT_EQ(echo(5).response, echoed(5));
    EXPECT_FALSE(capture.logger().contains("timed out"));
    // Later than the time-out: the block is recovered and the late answer arrives during the
    // next exchange, which drops it.
    arm(Fault::delayBy(3300ms));
    EXPECT_EQ(echo(5).response, echoed(5));
    EXPECT_EQ(capture.logger().count("] Sending bulk command failed, timed out!"), 1u);
    EXPECT_EQ(echo(2).response, echoed(2));
}

TEST_P(FaultMatrix, DroppedAnswerTimesOut) {
    poweredT0();
    ScopedCapture capture;
    arm(Fault::drop());
    const auto t0 = Clock::now();
    EXPECT_EQ(t0Echo().status, HVIFDHStatusTimeout);
    const double took = seconds(Clock::now() - t0);
    EXPECT_GE(took, 3.0);
    EXPECT_LT(took, 4.0);
    EXPECT_EQ(capture.logger().count("] Sending bulk command failed, timed out!"), 1u);
    EXPECT_EQ(t0Echo().status, HVIFDHStatusSuccess);
}

TEST_P(FaultMatrix, DroppedT1BlockIsRecovered) {
    readyT1();
    arm(Fault::drop());
    const size_t before = commandsOfType(hv::sim::ccid::kXfrBlock).size();
    EXPECT_EQ(echo(6).response, echoed(6));
    const auto blocks = commandsOfType(hv::sim::ccid::kXfrBlock);
    ASSERT_EQ(blocks.size(), before + 2);
    // After the lost answer, an R-block asks for the card's block again.
    EXPECT_EQ(blocks.back()[11] & 0xEF, 0x80);
}

TEST_P(FaultMatrix, StaleAnswerIsDiscarded) {
    readyT1();
    ScopedCapture capture;
    arm(Fault::stale());
    EXPECT_EQ(echo(7).response, echoed(7));
    EXPECT_EQ(capture.logger().count("] Invalid response response sequence"), 1u);
}

TEST_P(FaultMatrix, DuplicateIsDiscardedByTheNextExchange) {
    readyT1();
    ScopedCapture capture;
    arm(Fault::duplicate());
    EXPECT_EQ(echo(7).response, echoed(7));
    EXPECT_EQ(echo(9).response, echoed(9));
    EXPECT_EQ(capture.logger().count("] Invalid response response sequence"), 1u);
}

TEST_P(FaultMatrix, CorruptBlockIsRecovered) {
    readyT1();
    arm(Fault::corrupt(-1, 0x01));  // the block's epilogue
    const size_t before = commandsOfType(hv::sim::ccid::kXfrBlock).size();
    EXPECT_EQ(echo(7).response, echoed(7));
    EXPECT_EQ(commandsOfType(hv::sim::ccid::kXfrBlock).size(), before + 2);
}

TEST_P(FaultMatrix, TruncatedAnswerIsNeverTakenForOne) {
    poweredT0();
    ScopedCapture capture;
    arm(Fault::truncate(8));
    EXPECT_EQ(t0Echo().status, HVIFDHStatusTimeout);
    // The incomplete bytes are forgotten: the next exchange is whole.
    EXPECT_EQ(t0Echo().status, HVIFDHStatusSuccess);
}

TEST_P(FaultMatrix, SessionEndIsACommunicationError) {
    readyT1();
    arm(Fault::endSession());
    const auto t0 = Clock::now();
    EXPECT_EQ(echo(4).status, HVIFDHStatusCommunicationError);
    EXPECT_LT(seconds(Clock::now() - t0), 1.0);
    EXPECT_EQ(echo(4).status, HVIFDHStatusCommunicationError);
    // Reopened, the reader works again.
    driver().close();
    ASSERT_EQ(driver().open(), HVIFDHStatusSuccess);
    ASSERT_EQ(driver().powerOnICC(), HVIFDHStatusSuccess);
    ASSERT_EQ(driver().setProtocolParameters(2, 0, 0, 0, 0), HVIFDHStatusSuccess);
    EXPECT_EQ(echo(4).response, echoed(4));
}

TEST_P(FaultMatrix, TimeExtensionsAreWaitedOut) {
    readyT1();
    ScopedCapture capture;
    arm(Fault::timeExtensionStorm(20, 1ms));
    EXPECT_EQ(echo(5).response, echoed(5));
    EXPECT_EQ(capture.logger().count("] WTX"), 20u);
}

TEST_P(FaultMatrix, TimeExtensionStormIsBounded) {
    poweredT0();
    ScopedCapture capture(HVLogLevelError);
    // Paced so that no delivery overflows the reassembly buffer on any transport.
    arm(Fault::timeExtensionStorm(HVIFDH::kMaxTimeExtensions + 50, 500us));
    EXPECT_EQ(t0Echo().status, HVIFDHStatusTimeout);
    EXPECT_TRUE(capture.logger().contains("] Too many time extensions (1000), giving up"));
}

TEST_P(FaultMatrix, CardRemovalEndsATimeExtensionStorm) {
    readyT1();
    expectStormEndedBy([&] { kase->removeCard(); }, HVIFDHStatusNoCard);
    if (HasFatalFailure()) return;
    EXPECT_TRUE(EventRecorder::shared().waitFor(HVIFDHEventCardRemoved));
}

// A driver slower than the reader's time extensions finds the next one already buffered each
// time it looks; the removal must end the exchange all the same, not the thousandth extension.
TEST_P(FaultMatrix, CardRemovalEndsATimeExtensionStormTheDriverLagsBehind) {
    readyT1();
    struct Lagging : CaptureLogger {
        void logMessage(const HVDDLogMessage &message) override {
            CaptureLogger::logMessage(message);
            if (message.logMsg.ends_with("WTX")) std::this_thread::sleep_for(8ms);
        }
    };
    auto lagging = std::make_shared<Lagging>();
    ScopedCapture level;
    HVDDLog::addLogger(lagging);
    arm(Fault::timeExtensionStorm(100000, 5ms));
    auto result = inFlight(echoApdu(4), 2);
    ASSERT_TRUE(waitUntil([&] { return lagging->count("WTX") >= 20; }));
    const auto t0 = Clock::now();
    kase->removeCard();
    const auto ended = result.wait_for(2s);
    HVDDLog::removeLogger(lagging);
    ASSERT_EQ(ended, std::future_status::ready);
    EXPECT_EQ(result.get().status, HVIFDHStatusNoCard);
    EXPECT_LT(seconds(Clock::now() - t0), 1.0);
}

// The reader's time extensions say the slot is empty before its slot change arrives (here it
// never does): the exchange ends with the card, not a thousand extensions later.
TEST_P(FaultMatrix, ATimeExtensionThatSaysTheCardIsGoneEndsTheStorm) {
    readyT1();
    reader().faults().add(Fault::drop().on(hv::sim::ccid::kNotifySlotChange));
    expectStormEndedBy([&] { kase->removeCard(); }, HVIFDHStatusNoCard);
}

TEST_P(FaultMatrix, CloseEndsATimeExtensionStorm) {
    readyT1();
    expectStormEndedBy([&] { driver().close(); }, HVIFDHStatusReaderUnavailable);
}

TEST_P(FaultMatrix, DetachEndsATimeExtensionStorm) {
    readyT1();
    expectStormEndedBy([&] { kase->accessory().detach(); }, HVIFDHStatusCommunicationError);
    if (HasFatalFailure()) return;
    // The disconnection reaches the driver and its callback once settled.
    EXPECT_TRUE(EventRecorder::shared().waitFor(HVIFDHEventAccessoryDisconnected));
    EXPECT_EQ(driver().accessory_state(), 0);
    EXPECT_EQ(driver().slot_state(), HVIFDHSlotStateUnknown);
    EXPECT_EQ(echo(1).status, HVIFDHStatusReaderUnavailable);
}

TEST_P(FaultMatrix, CardRemovedMidApdu) {
    readyT1();
    arm(Fault::removeCard(20ms));
    EXPECT_EQ(echo(4).status, HVIFDHStatusNoCard);
    ASSERT_TRUE(EventRecorder::shared().waitFor(HVIFDHEventCardRemoved));
    EXPECT_EQ(EventRecorder::shared().withCode(HVIFDHEventCardRemoved)[0].slotState,
              HVIFDHSlotStateAbsent);
    EXPECT_EQ(driver().ATR().length, 0u);
    EXPECT_EQ(echo(4).status, HVIFDHStatusNoCard);
}

TEST_P(FaultMatrix, MuteCard) {
    poweredT0();
    ScopedCapture capture;
    arm(Fault::muteCard());
    EXPECT_EQ(t0Echo().status, HVIFDHStatusFailed);
    EXPECT_TRUE(capture.logger().contains("] bmCommandStatus = 1 bmICCStatus = 0 bError = 254"));
    EXPECT_EQ(t0Echo().status, HVIFDHStatusSuccess);
}

TEST_P(FaultMatrix, MuteT1BlockIsRecovered) {
    readyT1();
    arm(Fault::muteCard());
    EXPECT_EQ(echo(5).response, echoed(5));
}

TEST_P(FaultMatrix, CardMuteOnlyAt5V) {
    hv::sim::CardConfig config;
    config.voltages = hv::sim::kClassB;
    openWithCard(std::make_shared<hv::sim::VirtualCard>(config));
    EXPECT_EQ(driver().powerOnICC(), HVIFDHStatusSuccess);
    const auto on = commandsOfType(hv::sim::ccid::kIccPowerOn);
    ASSERT_EQ(on.size(), 2u);
    EXPECT_EQ(on[0][7], 1);
    EXPECT_EQ(on[1][7], 2);
    EXPECT_EQ(on[1][6], static_cast<uint8_t>(on[0][6] + 1));
    EXPECT_EQ(driver().slot_state(), HVIFDHSlotStatePowered);
}

TEST_P(FaultMatrix, CardMuteAtEveryVoltage) {
    hv::sim::CardConfig config;
    config.voltages = hv::sim::kClassC;
    openWithCard(std::make_shared<hv::sim::VirtualCard>(config));
    ScopedCapture capture;
    EXPECT_EQ(driver().powerOnICC(), HVIFDHStatusFailed);
    EXPECT_TRUE(capture.logger().contains("] bmCommandStatus = 1 bmICCStatus = 1 bError = 254"));
}

TEST_P(FaultMatrix, PpsFaults) {
    struct Case {
        hv::sim::PpsBehaviour pps;
        HVIFDHStatus result;
        uint8_t fidi;  // in SetParameters when accepted
    };
    const Case cases[] = {
        {hv::sim::PpsBehaviour::Accept, HVIFDHStatusSuccess, 0x13},
        {hv::sim::PpsBehaviour::DeclinePps1, HVIFDHStatusSuccess, 0x11},
        {hv::sim::PpsBehaviour::OtherProtocol, HVIFDHStatusNegotiationFailed, 0},
        {hv::sim::PpsBehaviour::OtherFD, HVIFDHStatusNegotiationFailed, 0},
        {hv::sim::PpsBehaviour::NoAnswer, HVIFDHStatusNegotiationFailed, 0},
    };
    ASSERT_EQ(driver().open(), HVIFDHStatusSuccess);
    size_t inserted = 0;
    for (const auto &c : cases) {
        hv::sim::CardConfig config;
        config.atr.t0 = false;
        config.atr.t1 = true;
        config.atr.ta1 = 0x13;
        config.pps = c.pps;
        kase->insertCard(std::make_shared<hv::sim::VirtualCard>(config));
        // The swap's notifications must not end the exchanges below.
        ASSERT_TRUE(EventRecorder::shared().waitFor(HVIFDHEventCardInserted, ++inserted));
        ASSERT_EQ(driver().powerOnICC(), HVIFDHStatusSuccess);
        const size_t parameters = commandsOfType(hv::sim::ccid::kSetParameters).size();
        EXPECT_EQ(driver().setProtocolParameters(2, 0, 0, 0, 0), c.result)
            << static_cast<int>(c.pps);
        const auto pps = commandsOfType(hv::sim::ccid::kXfrBlock).back();
        EXPECT_EQ(Bytes(pps.begin() + 10, pps.end()), (Bytes{0xFF, 0x11, 0x13, 0xFD}));
        const auto set = commandsOfType(hv::sim::ccid::kSetParameters);
        if (c.result == HVIFDHStatusSuccess) {
            ASSERT_EQ(set.size(), parameters + 1);
            EXPECT_EQ(set.back()[10], c.fidi);
            EXPECT_EQ(echo(3).response, echoed(3));
        } else {
            EXPECT_EQ(set.size(), parameters);
        }
    }
}

HV_READER_BACKENDS(FaultMatrix);

}  // namespace
