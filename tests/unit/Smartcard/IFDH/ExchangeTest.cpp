// One CCID exchange at a time against a scripted reader: reassembly of responses in pieces,
// stale and left-over messages, the status bytes, the block transfer and its time extensions,
// and the slot changes of the interrupt pipe.
#include "DriverFixture.h"

using namespace hv::test;

namespace {

const Bytes kBlock = {0x00, 0x00, 0x02, 0x90, 0x00, 0x92};

using Exchange = DriverTest;

TEST_F(Exchange, ResponseInThreePiecesCompletesOnTheThird) {
    open();
    ScopedCapture capture;
    const Bytes command = nextXfr(kBlock);
    const Bytes r = answer(command, 0x00, {0x01, 0x02, 0x03});
    reader->queueAnswer({Delivery::of(slice(r, 0, 4)), Delivery::of(slice(r, 4, 10)),
                         Delivery::of(slice(r, 10, r.size()))});
    const auto x = xfr(kBlock);
    EXPECT_EQ(x.status, HVIFDHStatusSuccess);
    EXPECT_EQ(x.data, (Bytes{0x01, 0x02, 0x03}));
    EXPECT_EQ(reader->commands(), std::vector<Bytes>{command});
    EXPECT_EQ(capture.logger().count("] Not enough data, only 4 bytes available"), 1u);
    EXPECT_EQ(capture.logger().count("] Not enough data, only 10 bytes available"), 1u);
    EXPECT_EQ(capture.logger().count("Not enough data"), 2u);
}

TEST_F(Exchange, StaleResponsesAreDroppedWholeOrInHalves) {
    open();
    ScopedCapture capture;
    // The answer to an earlier command and the awaited one, in one delivery.
    Bytes command = nextXfr(kBlock);
    Bytes stale = answer(command, 0x00, {0xEE});
    stale[6] = static_cast<uint8_t>(command[6] - 1);
    reader->queueAnswer({Delivery::of(concat({stale, answer(command, 0x00, {0x01})}))});
    auto x = xfr(kBlock);
    EXPECT_EQ(x.status, HVIFDHStatusSuccess);
    EXPECT_EQ(x.data, Bytes{0x01});
    char line[96];
    std::snprintf(line, sizeof line, "] Invalid response response sequence %02x - ignoring message",
                  command[6]);
    EXPECT_EQ(capture.logger().count(line), 1u);

    // A stale answer in two halves stays buffered after the first and is dropped with the second.
    command = nextXfr(kBlock);
    stale = answer(command, 0x00, {0xEE, 0xEE, 0xEE});
    stale[6] = static_cast<uint8_t>(command[6] + 7);
    reader->queueAnswer(
        {Delivery::of(slice(stale, 0, 8)),
         Delivery::of(concat({slice(stale, 8, stale.size()), answer(command, 0x00, {0x02})}))});
    x = xfr(kBlock);
    EXPECT_EQ(x.status, HVIFDHStatusSuccess);
    EXPECT_EQ(x.data, Bytes{0x02});
    EXPECT_EQ(capture.logger().count("] Invalid response response sequence"), 2u);
}

// Bytes behind a complete response are examined as soon as the next wait begins, not only
// when another delivery arrives.
TEST_F(Exchange, TimeExtensionAndAnswerInOneDeliveryDoNotStall) {
    open();
    ScopedCapture capture;
    const Bytes command = nextXfr(kBlock);
    const Bytes extension = answer(command, 0x80);
    reader->queueAnswer({Delivery::of(concat({extension, answer(command, 0x00, {0x90, 0x00})}))});
    const auto x = xfr(kBlock);
    EXPECT_EQ(x.status, HVIFDHStatusSuccess);
    EXPECT_EQ(x.data, (Bytes{0x90, 0x00}));
    EXPECT_EQ(reader->commands().size(), 1u);
    EXPECT_EQ(reader->emptyWrites(), 1u);
    EXPECT_EQ(capture.logger().count("] WTX"), 1u);
    EXPECT_FALSE(capture.logger().contains("timed out"));
}

TEST_F(Exchange, SecondResponseOfADeliveryIsDroppedByTheNextExchange) {
    open();
    ScopedCapture capture;
    Bytes command = nextXfr(kBlock);
    const Bytes first = answer(command, 0x00, {0x01});
    reader->queueAnswer({Delivery::of(concat({first, first}))});
    auto x = xfr(kBlock);
    EXPECT_EQ(x.status, HVIFDHStatusSuccess);
    EXPECT_EQ(x.data, Bytes{0x01});
    EXPECT_FALSE(capture.logger().contains("Invalid response"));

    command = nextXfr(kBlock);
    reader->queueAnswer({Delivery::of(answer(command, 0x00, {0x02}))});
    x = xfr(kBlock);
    EXPECT_EQ(x.status, HVIFDHStatusSuccess);
    EXPECT_EQ(x.data, Bytes{0x02});
    EXPECT_EQ(capture.logger().count("] Invalid response response sequence"), 1u);
}

// A delivery arriving after the response is complete leaves the response as handed out.
TEST_F(Exchange, LateBytesNeverOverwriteAResponseHandedOut) {
    open();
    const Bytes command = nextXfr(kBlock);
    reader->queueAnswer({Delivery::of(answer(command, 0x00, {0x11, 0x22, 0x33}))});
    const uint8_t *rsp = nullptr;
    uint32_t len = 0;
    ASSERT_EQ(driver().ccid_xfr(kBlock.data(), 6, &rsp, &len, 0), HVIFDHStatusSuccess);
    Bytes noise = answer(command, 0x00, Bytes(40, 0xAB));
    noise[6] ^= 0x55;
    reader->deliverBulk(Delivery::of(noise));
    reader->deliverBulk(Delivery::of(Bytes(7, 0xCD)));
    EXPECT_EQ(Bytes(rsp, rsp + len), (Bytes{0x11, 0x22, 0x33}));
}

TEST_F(Exchange, DeliveryBeyondTheBufferIsDroppedAndTheExchangeTimesOut) {
    open();
    ScopedCapture capture;
    const Bytes command = nextXfr(kBlock);
    reader->queueAnswer({Delivery::of(Bytes(100, 0xFF)), Delivery::of(Bytes(714, 0))});
    EXPECT_EQ(xfr(kBlock).status, HVIFDHStatusTimeout);
    EXPECT_EQ(capture.logger().count("] Too much data received! (100, 714)"), 1u);
    EXPECT_EQ(capture.logger().count("] Sending bulk command failed, timed out!"), 1u);
}

TEST_F(Exchange, PipeErrorEndsTheWait) {
    open();
    ScopedCapture capture;
    reader->queueAnswer({Delivery::lost()});
    EXPECT_EQ(xfr(kBlock).status, HVIFDHStatusCommunicationError);
    EXPECT_EQ(capture.logger().count("] Error reported on bulk pipe!"), 1u);
    EXPECT_EQ(capture.logger().count("] Sending bulk command failed!"), 1u);

    // The interrupt pipe failing ends a bulk wait too.
    reader->setResponder([this](const Bytes &command) -> std::vector<Delivery> {
        if (!command.empty()) reader->deliverInterrupt(Delivery::lost());
        return {};
    });
    EXPECT_EQ(xfr(kBlock).status, HVIFDHStatusCommunicationError);
    EXPECT_EQ(capture.logger().count("] Sending bulk command failed!"), 2u);
}

// Bytes of an incomplete message are never taken for a response.
TEST_F(Exchange, PipeErrorWithAnIncompleteMessageIsACommunicationError) {
    open();
    for (const size_t kept : {6u, 10u, 12u}) {
        ScopedCapture capture;
        const Bytes command = nextXfr(kBlock);
        const Bytes r = answer(command, 0x00, {0x01, 0x02, 0x03, 0x04});
        reader->queueAnswer({Delivery::of(slice(r, 0, kept)), Delivery::lost()});
        const auto x = xfr(kBlock);
        EXPECT_EQ(x.status, HVIFDHStatusCommunicationError) << kept;
        EXPECT_EQ(capture.logger().count("] Bulk response not signalled but we still have data"),
                  1u);
    }
}

TEST_F(Exchange, BlockTransferCarriesAt271DataBytes) {
    open();
    answerAll();
    const Bytes most(271, 0x5A);
    const uint8_t before = driver().sequence();
    EXPECT_EQ(xfr(most).status, HVIFDHStatusSuccess);
    ASSERT_EQ(reader->commands().size(), 1u);
    const Bytes sent = reader->commands()[0];
    EXPECT_EQ(sent.size(), 281u);
    EXPECT_EQ(slice(sent, 0, 10), (Bytes{0x6F, 0x0F, 0x01, 0, 0, 0, before, 0, 0, 0}));
    EXPECT_EQ(driver().sequence(), static_cast<uint8_t>(before + 1));

    EXPECT_EQ(xfr(Bytes(272, 0x5A)).status, HVIFDHStatusInvalidValue);
    EXPECT_EQ(reader->commands().size(), 1u);
    EXPECT_EQ(driver().sequence(), static_cast<uint8_t>(before + 1));

    EXPECT_EQ(xfr(kBlock, 3).status, HVIFDHStatusSuccess);
    EXPECT_EQ(reader->commands().back()[7], 3);
}

// The wait lasts rsp_timeout times bBWI (bBWI 0 counting as 1), in 10 ms slices; a time-out
// below one slice does not wait at all.
TEST(ExchangeTimeOut, BwiMultipliesTheWaitAndShortTimeOutsDoNotWait) {
    ScriptedReader reader(false);
    HVIFDH &driver = HVIFDH::sharedInstance();
    ASSERT_EQ(driver.open(), HVIFDHStatusSuccess);
    ASSERT_EQ(driver.rsp_timeout(), 3000u);
    using Clock = std::chrono::steady_clock;
    const uint8_t *rsp = nullptr;
    uint32_t len = 0;
    auto t0 = Clock::now();
    EXPECT_EQ(driver.ccid_xfr(kBlock.data(), 6, &rsp, &len, 2), HVIFDHStatusTimeout);
    const double waited = std::chrono::duration<double>(Clock::now() - t0).count();
    EXPECT_GE(waited, 6.0);
    EXPECT_LT(waited, 6.8);

    const Bytes message = nextXfr(kBlock);
    t0 = Clock::now();
    EXPECT_EQ(driver.tranceive(message.data(), 16, &rsp, &len, 9), HVIFDHStatusTimeout);
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(100));
    // A response already there when the write returns is not thrown away.
    reader.queueAnswer(
        {Delivery::of(ScriptedReader::response(nextXfr(kBlock), 0x00, 0, {0x90, 0x00}))});
    const Bytes next = nextXfr(kBlock);
    EXPECT_EQ(driver.tranceive(next.data(), 16, &rsp, &len, 9), HVIFDHStatusSuccess);
}

TEST_F(Exchange, SequenceNumbersWrapFrom255To0) {
    open();
    answerAll();
    std::vector<uint8_t> seen;
    for (int i = 0; i < 260; ++i)
        ASSERT_EQ(xfr(kBlock).status, HVIFDHStatusSuccess);
    for (const auto &c : reader->commands())
        seen.push_back(c[6]);
    for (size_t i = 1; i < seen.size(); ++i)
        ASSERT_EQ(seen[i], static_cast<uint8_t>(seen[i - 1] + 1)) << i;
}

TEST_F(Exchange, StatusBytesGiveResultsAndSlotStates) {
    open();
    struct Case {
        uint8_t status, error;
        HVIFDHStatus result;
        uint32_t slot;
    };
    const Case cases[] = {
        {0x42, 0xFE, HVIFDHStatusNoCard, HVIFDHSlotStateAbsent},
        {0x41, 0xFE, HVIFDHStatusCardUnpowered, HVIFDHSlotStatePresent},
        {0x40, 10, HVIFDHStatusInvalidValue, HVIFDHSlotStatePowered},
        {0x40, 0xFE, HVIFDHStatusFailed, HVIFDHSlotStatePowered},
        {0x43, 0xFE, HVIFDHStatusFailed, HVIFDHSlotStateUnknown},
        {0xC0, 0x00, HVIFDHStatusFailed, HVIFDHSlotStatePowered},  // reserved bmCommandStatus
    };
    for (const auto &c : cases) {
        ScopedCapture capture;
        driver().setSlot_state(HVIFDHSlotStateSwallowed);
        reader->queueAnswer({Delivery::of(answer(nextXfr(kBlock), c.status, {}, c.error))});
        EXPECT_EQ(xfr(kBlock).status, c.result) << std::hex << int(c.status);
        EXPECT_EQ(driver().slot_state(), c.slot) << std::hex << int(c.status);
        const bool logged = capture.logger().contains("] bmCommandStatus = ");
        EXPECT_EQ(logged, c.result == HVIFDHStatusFailed) << std::hex << int(c.status);
    }
    ScopedCapture capture;
    reader->queueAnswer({Delivery::of(answer(nextXfr(kBlock), 0x40, {}, 0xFE))});
    xfr(kBlock);
    EXPECT_TRUE(capture.logger().contains("] bmCommandStatus = 1 bmICCStatus = 0 bError = 254"));
    EXPECT_TRUE(capture.logger().contains("] rdr_to_pc_x command = 1 icc = 0 error = 254\n"));

    // A card in specific mode stays there when a response says "active".
    driver().setSlot_state(HVIFDHSlotStateSpecific);
    reader->queueAnswer({Delivery::of(answer(nextXfr(kBlock), 0x00))});
    EXPECT_EQ(xfr(kBlock).status, HVIFDHStatusSuccess);
    EXPECT_EQ(driver().slot_state(), HVIFDHSlotStateSpecific);
}

TEST_F(Exchange, TimeExtensionThenAnswerWaitsTwiceAfterOneWrite) {
    open();
    ScopedCapture capture;
    reader->setResponder([](const Bytes &command) -> std::vector<Delivery> {
        static Bytes pending;
        if (!command.empty()) {
            pending = command;
            return {Delivery::of(answer(command, 0x80))};
        }
        return {Delivery::of(answer(pending, 0x00, {0x61, 0x10}))};
    });
    const auto x = xfr(kBlock);
    EXPECT_EQ(x.status, HVIFDHStatusSuccess);
    EXPECT_EQ(x.data, (Bytes{0x61, 0x10}));
    EXPECT_EQ(reader->commands().size(), 1u);
    EXPECT_EQ(reader->emptyWrites(), 1u);
    EXPECT_EQ(capture.logger().count("] WTX"), 1u);
}

// A reader that never stops asking for more time is given up on.
TEST_F(Exchange, TimeExtensionStormIsBounded) {
    open();
    for (const uint32_t storm : {HVIFDH::kMaxTimeExtensions, HVIFDH::kMaxTimeExtensions + 1}) {
        ScopedCapture capture(HVLogLevelError);
        uint32_t sent = 0;
        Bytes pending;
        reader->setResponder([&](const Bytes &command) -> std::vector<Delivery> {
            if (!command.empty()) pending = command;
            if (sent++ < storm) return {Delivery::of(answer(pending, 0x80))};
            return {Delivery::of(answer(pending, 0x00, {0x90, 0x00}))};
        });
        const auto x = xfr(kBlock);
        if (storm == HVIFDH::kMaxTimeExtensions) {
            EXPECT_EQ(x.status, HVIFDHStatusSuccess);
        } else {
            EXPECT_EQ(x.status, HVIFDHStatusTimeout);
            EXPECT_TRUE(capture.logger().contains("] Too many time extensions (1000), giving up"));
        }
    }
}

TEST_F(Exchange, ClosedReaderAnswersEveryExchangeAt16AndWritesNothing) {
    open();
    answerAll();
    driver().close();
    EXPECT_EQ(driver().accessory_state(), HVIFDHAccessoryPresent);
    EXPECT_EQ(xfr(kBlock).status, HVIFDHStatusReaderUnavailable);
    EXPECT_EQ(driver().powerOnICC(), HVIFDHStatusReaderUnavailable);
    EXPECT_TRUE(reader->commands().empty());
    EXPECT_EQ(reader->ends(), (std::vector<int32_t>{3, 2}));
}

TEST_F(Exchange, FailedWriteIsTranslated) {
    open();
    reader->failWrites(HVSessionStatusError);
    EXPECT_EQ(xfr(kBlock).status, HVIFDHStatusCommunicationError);
    reader->failWrites(static_cast<HVSessionStatus>(9));
    EXPECT_EQ(xfr(kBlock).status, HVIFDHStatusFailed);
}

TEST_F(Exchange, BadArgumentsAreRefused) {
    open();
    const uint8_t *rsp = nullptr;
    uint32_t len = 7;
    EXPECT_EQ(driver().tranceive(nullptr, 10, &rsp, &len, 1000), HVIFDHStatusInvalidValue);
    const Bytes shortMessage = {0x6F, 0, 0};
    EXPECT_EQ(driver().tranceive(shortMessage.data(), 3, &rsp, &len, 1000),
              HVIFDHStatusInvalidValue);
    EXPECT_EQ(driver().ccid_xfr(nullptr, 4, &rsp, &len, 0), HVIFDHStatusInvalidValue);
    EXPECT_EQ(driver().ccid_xfr(kBlock.data(), 6, nullptr, &len, 0), HVIFDHStatusInvalidValue);
    EXPECT_EQ(driver().setParameters(kBlock.data(), 8, 1), HVIFDHStatusInvalidValue);
    EXPECT_TRUE(reader->commands().empty());
}

TEST_F(Exchange, SlotChangesBecomeCardEvents) {
    open();
    auto interrupt = [&](Bytes b) { reader->deliverInterrupt(Delivery::of(std::move(b))); };
    interrupt({0x50, 0x03});
    interrupt({0x50, 0x01});
    interrupt({0x50, 0x03, 0x50, 0x02});
    interrupt({0x50});
    interrupt({0x02});
    ASSERT_TRUE(waitUntil([] { return EventRecorder::shared().cardCodes().size() >= 4; }));
    EXPECT_EQ(EventRecorder::shared().cardCodes(),
              (std::vector<uint8_t>{HVIFDHEventCardInserted, HVIFDHEventCardInserted,
                                    HVIFDHEventCardRemoved, HVIFDHEventCardRemoved}));
}

TEST_F(Exchange, OverlongInterruptDataIsDroppedWithWhatWasHeld) {
    open();
    ScopedCapture capture;
    reader->deliverInterrupt(Delivery::of({0x50}));
    reader->deliverInterrupt(Delivery::of(Bytes(30, 0x02)));
    EXPECT_EQ(capture.logger().count(
                  "] FATAL - Received too large message for interrupt protocol, dropping it!"),
              1u);
    // Nothing held pairs with what comes next.
    reader->deliverInterrupt(Delivery::of({0x50, 0x03}));
    ASSERT_TRUE(waitUntil([] { return !EventRecorder::shared().cardCodes().empty(); }));
    EXPECT_EQ(EventRecorder::shared().cardCodes(), std::vector<uint8_t>{HVIFDHEventCardInserted});
}

// Puts a card in the slot, as the reader reports it, and waits until the driver knows.
void cardIn(ScriptedReader &reader) {
    reader.deliverInterrupt(Delivery::of({0x50, 0x03}));
    ASSERT_TRUE(
        waitUntil([] { return HVIFDH::sharedInstance().slot_state() >= HVIFDHSlotStatePresent; }));
}

// A card that leaves ends the exchange waiting for it.
TEST_F(Exchange, CardRemovalEndsTheWait) {
    open();
    cardIn(*reader);
    reader->setResponder([this](const Bytes &command) -> std::vector<Delivery> {
        if (!command.empty()) reader->deliverInterrupt(Delivery::of({0x50, 0x02}));
        return {};
    });
    EXPECT_EQ(xfr(kBlock).status, HVIFDHStatusNoCard);
}

// A removal or a lost pipe that comes while the driver handles a time extension still ends
// the wait for that command's answer.
TEST_F(Exchange, RemovalOrLossDuringATimeExtensionIsNotForgotten) {
    open();
    cardIn(*reader);
    reader->setResponder([this](const Bytes &command) -> std::vector<Delivery> {
        if (command.empty()) return {};
        reader->deliverBulk(Delivery::of(answer(command, 0x80)));
        reader->deliverInterrupt(Delivery::of({0x50, 0x02}));
        return {};
    });
    EXPECT_EQ(xfr(kBlock).status, HVIFDHStatusNoCard);
    reader->setResponder([this](const Bytes &command) -> std::vector<Delivery> {
        if (command.empty()) return {};
        reader->deliverBulk(Delivery::of(answer(command, 0x80)));
        return {Delivery::lost()};
    });
    EXPECT_EQ(xfr(kBlock).status, HVIFDHStatusCommunicationError);
    // Neither carries over to the next command.
    answerAll();
    EXPECT_EQ(xfr(kBlock).status, HVIFDHStatusSuccess);
}

// The reader's first slot report after power-up says "empty, changed" though no card was ever
// in. Arriving while the driver probes a slot it has not seen a card in, it is no removal: the
// probe gets its answer instead of "Card removed during the exchange".
TEST_F(Exchange, EmptySlotReportDuringTheFirstProbeIsNoRemoval) {
    reader.reset();
    reader = std::make_unique<ScriptedReader>(false);
    open();
    // The slot as an earlier test may have left it: known empty, its event heard.
    reader->deliverInterrupt(Delivery::of({0x50, 0x02}));
    ASSERT_TRUE(waitUntil([] { return driver().slot_state() == HVIFDHSlotStateAbsent; }));
    ASSERT_TRUE(waitUntil([] { return !EventRecorder::shared().cardCodes().empty(); }));
    EventRecorder::shared().clear();
    std::thread answerLater;
    reader->setResponder([&](const Bytes &command) -> std::vector<Delivery> {
        if (command.empty()) return {};
        reader->deliverInterrupt(Delivery::of({0x50, 0x02}));
        // The answer comes once the slot report has been dealt with.
        answerLater = std::thread([this, command] {
            waitUntil([] { return !EventRecorder::shared().cardCodes().empty(); });
            reader->deliverBulk(Delivery::of(answer(command, 0x00, {0x90, 0x00})));
        });
        return {};
    });
    ScopedCapture capture;
    const auto x = xfr(kBlock);
    answerLater.join();
    EXPECT_EQ(x.status, HVIFDHStatusSuccess);
    EXPECT_EQ(x.data, (Bytes{0x90, 0x00}));
    EXPECT_EQ(capture.logger().count("Card removed during the exchange"), 0u);
}

}  // namespace
