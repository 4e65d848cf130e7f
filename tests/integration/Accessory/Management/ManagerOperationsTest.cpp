// HVManager's request/answer operations against the simulated case's management service,
// over both transports, with the bytes on the wire and the service's faults.
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CaptureLogger.h"
#include "CaseFixture.h"
#include "vorasel/HVManager.h"
#include "vorasel/hv_version.h"

namespace hv::test {
namespace {

using namespace std::chrono_literals;
using sim::Fault;

class ManagerTest : public CaseTest {
protected:
    HVManager &manager = HVManager::sharedClass();
    static bool noAccessory() {
        return platform::EAAccessoryManager::sharedAccessoryManager()
            .connectedAccessories()
            .empty();
    }
};

TEST_P(ManagerTest, CountersAreAppendedInTheirOrderAndResetToZero) {
    std::vector<HVAccessoryCounter> counters = {HVAccessoryCounter("kept", 1)};
    ASSERT_EQ(manager.readCounters(counters), HVManagerStatusSuccess);
    ASSERT_EQ(counters.size(), 3u);
    EXPECT_EQ(counters[0].name(), "kept");
    EXPECT_EQ(counters[1].name(), "power_cycles");
    EXPECT_EQ(counters[1].value(), 3u);
    EXPECT_EQ(counters[2].name(), "card_insertions");
    EXPECT_EQ(counters[2].value(), 41u);

    EXPECT_EQ(manager.resetCounters(), HVManagerStatusSuccess);
    for (const auto &[name, value] : service().counters())
        EXPECT_EQ(value, 0u) << name;
    EXPECT_EQ(requests(), (std::vector<Bytes>{{0xCE, 0x00}, {0xCF, 0x00}}));
    // One session per operation, none left open.
    EXPECT_EQ(managerSessions(), 2u);
}

TEST_P(ManagerTest, AnEmptyCounterListAppendsNothing) {
    service().faults().add(Fault::replace({0xF2, 0x00}).on(0xCE));
    std::vector<HVAccessoryCounter> counters;
    EXPECT_EQ(manager.readCounters(counters), HVManagerStatusSuccess);
    EXPECT_TRUE(counters.empty());
}

TEST_P(ManagerTest, ResetCountersSucceedsOnlyOnStatusZero) {
    service().faults().add(Fault::replace({0xD0, 0x01, 0x05}).on(0xCF));
    EXPECT_EQ(manager.resetCounters(), HVManagerStatusFailed);
    // A GPIO state is not a status.
    service().faults().add(Fault::replace({0xD1, 0x02, 0x00, 0x05}).on(0xCF));
    EXPECT_EQ(manager.resetCounters(), HVManagerStatusFailed);
    EXPECT_EQ(manager.resetCounters(), HVManagerStatusSuccess);
}

TEST_P(ManagerTest, GpioIsReadAndWrittenThroughTheBitmask) {
    uint16_t state = 0xFFFF;
    ASSERT_EQ(manager.readGPIOState(&state, 1, 0x0010), HVManagerStatusSuccess);
    EXPECT_EQ(state, 0x0010);
    EXPECT_EQ(manager.writeGPIOState(0x0005, 1, 0x000F), HVManagerStatusSuccess);
    EXPECT_EQ(service().gpioState(1), 0x00F5);
    ASSERT_EQ(manager.readGPIOState(&state, 1, 0x00FF), HVManagerStatusSuccess);
    EXPECT_EQ(state, 0x00F5);
    // Input pins, and a port the case does not have: failing statuses.
    EXPECT_EQ(manager.writeGPIOState(0x0100, 1, 0x0100), HVManagerStatusFailed);
    state = 0x1234;
    EXPECT_EQ(manager.readGPIOState(&state, 9, 0xFFFF), HVManagerStatusFailed);
    EXPECT_EQ(state, 0x1234) << "the output is written only on success";

    const auto sent = requests();
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent[0], (Bytes{0xE9, 0x09, 0xE1, 0x07, 0x02, 0x01, 0x01, 0x02, 0x02, 0x00, 0x10}));
    EXPECT_EQ(sent[1], (Bytes{0xEA, 0x0D, 0xE1, 0x07, 0x02, 0x01, 0x01, 0x02, 0x02, 0x00, 0x0F,
                              0x02, 0x02, 0x00, 0x05}));
}

TEST_P(ManagerTest, PropertiesAreReadAndWritten) {
    char value[HVManager::kPropertyValueCapacity];
    ASSERT_EQ(manager.readPropertyValue(value, "colour"), HVManagerStatusSuccess);
    EXPECT_STREQ(value, "blue");
    EXPECT_EQ(manager.writePropertyValue("green", "colour"), HVManagerStatusSuccess);
    EXPECT_EQ(service().property("colour"), "green");
    ASSERT_EQ(manager.readPropertyValue(value, "colour"), HVManagerStatusSuccess);
    EXPECT_STREQ(value, "green");
    // Unknown keys and read-only properties: the case answers a failing status.
    EXPECT_EQ(manager.readPropertyValue(value, "size"), HVManagerStatusFailed);
    EXPECT_EQ(manager.writePropertyValue("forged", "serial_number"), HVManagerStatusFailed);
    EXPECT_EQ(service().property("serial_number"), "SIM-0042");

    const auto sent = requests();
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent[0], (Bytes{0xDB, 0x07, 'c', 'o', 'l', 'o', 'u', 'r', 0}));
    EXPECT_EQ(sent[1], (Bytes{0xEB, 0x11, 0x0C, 0x07, 'c', 'o', 'l', 'o', 'u', 'r', 0, 0x0C, 0x06,
                              'g', 'r', 'e', 'e', 'n', 0}));
}

TEST_P(ManagerTest, ThePropertyDestinationIsNeverWrittenPastItsCapacity) {
    // The longest value an answer can carry: D2 82 03 FC, 1,019 characters and the zero.
    const std::string longest(1019, 'v');
    service().setProperty("long", longest);
    struct {
        char value[HVManager::kPropertyValueCapacity];
        char guard[16];
    } dest;
    std::memset(&dest, 0x5A, sizeof dest);
    ASSERT_EQ(manager.readPropertyValue(dest.value, "long"), HVManagerStatusSuccess);
    EXPECT_EQ(std::string(dest.value), longest);
    EXPECT_EQ(dest.value[1020], 0x5A);
    for (char g : dest.guard)
        EXPECT_EQ(g, 0x5A);

    // One character more no longer fits the answer buffer: a failure, nothing written.
    service().setProperty("long", longest + "v");
    std::memset(&dest, 0x5A, sizeof dest);
    EXPECT_EQ(manager.readPropertyValue(dest.value, "long"), HVManagerStatusFailed);
    EXPECT_EQ(dest.value[0], 0x5A);

    // The bounded form: a value that does not fit leaves the destination alone.
    char small[5];
    std::memset(small, 0x5A, sizeof small);
    EXPECT_EQ(manager.readPropertyValueWithCapacity(small, sizeof small, "colour"),
              HVManagerStatusSuccess);
    EXPECT_STREQ(small, "blue");
    std::memset(small, 0x5A, sizeof small);
    EXPECT_EQ(manager.readPropertyValueWithCapacity(small, 4, "colour"), HVManagerStatusFailed);
    EXPECT_EQ(small[0], 0x5A);
}

TEST_P(ManagerTest, RequestsThatCannotBeSentAreRefusedBeforeTheWire) {
    // Longer than a 16-bit write: refused whole rather than cut.
    const std::string huge(70000, 'x');
    EXPECT_EQ(manager.writePropertyValue(huge.c_str(), "colour"), HVManagerStatusEncodeFailed);
    EXPECT_EQ(manager.writePropertyValue(nullptr, "colour"), HVManagerStatusEncodeFailed);
    EXPECT_EQ(manager.readPropertyValue(nullptr, nullptr), HVManagerStatusEncodeFailed);
    EXPECT_TRUE(requests().empty());
    // Within 16 bits but beyond what the case takes: its failing status.
    EXPECT_EQ(manager.writePropertyValue(std::string(5000, 'y').c_str(), "colour"),
              HVManagerStatusFailed);
    EXPECT_EQ(service().property("colour"), "blue");
}

TEST_P(ManagerTest, CapabilitiesAndTheLibraryVersion) {
    ScopedCapture capture;
    uint32_t bits = 0;
    ASSERT_EQ(manager.getCapabilities(&bits), HVManagerStatusSuccess);
    EXPECT_EQ(bits, 3u);
    EXPECT_EQ(requests(), (std::vector<Bytes>{{0xDE, 0x00}}));
    EXPECT_EQ(wire().select("manager", sim::Direction::Sent).at(0).bytes,
              (Bytes{0xD3, 0x04, 0x00, 0x00, 0x00, 0x03}));
    EXPECT_TRUE(capture.logger().contains("] Wait for operation to complete."));
    EXPECT_TRUE(capture.logger().contains("] Received capabilites are 3"));
    EXPECT_TRUE(capture.logger().contains("] Operation completed."));

    const size_t sessions = managerSessions();
    const char *version = nullptr;
    EXPECT_EQ(manager.getLibraryVersion(&version), HVManagerStatusSuccess);
    EXPECT_EQ(version, hv_library_version);
    EXPECT_EQ(manager.getLibraryVersion(nullptr), HVManagerStatusSuccess);
    EXPECT_EQ(managerSessions(), sessions) << "the version asks the accessory nothing";
}

TEST_P(ManagerTest, WithoutTheAccessoryEveryOperationFailsAtOnce) {
    simCase->accessory().detach();
    ASSERT_TRUE(waitUntil([] { return noAccessory(); }));
    std::vector<HVAccessoryCounter> counters;
    uint16_t state = 0;
    uint32_t bits = 0;
    char value[HVManager::kPropertyValueCapacity];
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(manager.readCounters(counters), HVManagerStatusAccessoryNotFound);
    EXPECT_EQ(manager.resetCounters(), HVManagerStatusAccessoryNotFound);
    EXPECT_EQ(manager.readGPIOState(&state, 1, 1), HVManagerStatusAccessoryNotFound);
    EXPECT_EQ(manager.writeGPIOState(1, 1, 1), HVManagerStatusAccessoryNotFound);
    EXPECT_EQ(manager.readPropertyValue(value, "colour"), HVManagerStatusAccessoryNotFound);
    EXPECT_EQ(manager.writePropertyValue("a", "colour"), HVManagerStatusAccessoryNotFound);
    EXPECT_EQ(manager.getCapabilities(&bits), HVManagerStatusAccessoryNotFound);
    EXPECT_EQ(manager.upgradeFirmwareWithImage(nullptr, 0, nullptr),
              HVManagerStatusAccessoryNotFound);
    EXPECT_LT(msSince(t0), 500) << "nothing waited";
}

TEST_P(ManagerTest, ARefusedSessionIsSessionFailed) {
    refuseSessions(1);
    uint32_t bits = 0;
    EXPECT_EQ(manager.getCapabilities(&bits), HVManagerStatusSessionFailed);
    EXPECT_EQ(manager.getCapabilities(&bits), HVManagerStatusSuccess);
}

TEST_P(ManagerTest, AnswersInPiecesOrMergedWithTheNextAreTakenWhole) {
    service().faults().add(Fault::split({1, 2, 4}, 2ms).on(0xCE));
    std::vector<HVAccessoryCounter> counters;
    EXPECT_EQ(manager.readCounters(counters), HVManagerStatusSuccess);
    EXPECT_EQ(counters.size(), 2u);
    service().faults().add(Fault::splitRandom(6, 7).on(0xDB));
    char value[HVManager::kPropertyValueCapacity];
    EXPECT_EQ(manager.readPropertyValue(value, "serial_number"), HVManagerStatusSuccess);
    EXPECT_STREQ(value, "SIM-0042");
}

TEST_P(ManagerTest, AnUnexpectedOrCorruptedAnswerFailsAtOnce) {
    ScopedCapture capture;
    uint32_t bits = 0;
    // D3 04 ... becomes D0 04 ...: an error_code of four bytes is no message of the catalogue.
    service().faults().add(Fault::corrupt(0, 0x03).on(0xDE));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(manager.getCapabilities(&bits), HVManagerStatusFailed);
    EXPECT_LT(msSince(t0), 1000);
    EXPECT_TRUE(capture.logger().contains("] Received unexpected message."));
    EXPECT_EQ(bits, 0u);

    // An element that does not parse: the handler reports it and the wait ends.
    service().faults().add(Fault::replace({0xE1, 0x03, 0x02, 0x05, 0x01}).on(0xDE));
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(manager.getCapabilities(&bits), HVManagerStatusFailed);
    EXPECT_LT(msSince(t0), 1000);
    EXPECT_TRUE(
        capture.logger().contains("] [HVPAPMessageHandler handleMessage] returned "
                                  "HVPAPMessageHandlerStatusMessageCorrupted"));

    // A capabilities answer to a GPIO request is the wrong kind.
    uint16_t state = 0;
    EXPECT_EQ(manager.readGPIOState(&state, 1, 1), HVManagerStatusSuccess);
    service().faults().add(Fault::replace({0xD3, 0x04, 0, 0, 0, 3}).on(0xE9));
    EXPECT_EQ(manager.readGPIOState(&state, 1, 1), HVManagerStatusFailed);
    EXPECT_EQ(manager.getCapabilities(&bits), HVManagerStatusSuccess);
    EXPECT_EQ(bits, 3u);
}

TEST_P(ManagerTest, ALostSessionEndsTheWaitAtOnce) {
    uint32_t bits = 0;
    // The case ends the session instead of answering.
    service().faults().add(Fault::endSession().on(0xDE));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(manager.getCapabilities(&bits), HVManagerStatusFailed);
    EXPECT_LT(msSince(t0), 1000);

    // The case is detached while the request waits for an answer that never comes.
    service().faults().add(Fault::drop().on(0xDE));
    detachAfterRequests(2);
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(manager.getCapabilities(&bits), HVManagerStatusFailed);
    EXPECT_LT(msSince(t0), 1000) << "the 2 s time-out was waited out";
    ASSERT_TRUE(waitUntil([] { return noAccessory(); }));
    EXPECT_EQ(manager.getCapabilities(&bits), HVManagerStatusAccessoryNotFound);
}

TEST_P(ManagerTest, AnAnswerAfterTheTimeOutNeverReachesTheNextOperation) {
    // The GPIO answer comes 1.3 s late, after its 1 s wait has given up.
    service().faults().add(Fault::delayBy(1300ms).on(0xE9));
    uint16_t state = 0xABCD;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(manager.readGPIOState(&state, 1, 0x00F0), HVManagerStatusFailed);
    EXPECT_GE(msSince(t0), 1000);
    EXPECT_EQ(state, 0xABCD);
    // The next operations get their own answers, during and after the late one.
    uint32_t bits = 0;
    EXPECT_EQ(manager.getCapabilities(&bits), HVManagerStatusSuccess);
    EXPECT_EQ(bits, 3u);
    EXPECT_TRUE(waitUntil([&] { return wire().count("manager", sim::Direction::Sent) >= 2; }));
    EXPECT_EQ(manager.resetCounters(), HVManagerStatusSuccess);
}

// Time-outs do not depend on the transport: these run in process only.
class ManagerTimingTest : public ManagerTest {};

TEST_P(ManagerTimingTest, AnAnswerArrivingAsTheWaitEndsGivesOneWholeOutcome) {
    // Answers due right at the 1 s time-out: each operation either sees its answer whole or
    // fails, and the next one is never disturbed.
    for (int i = 0; i < 3; ++i) {
        service().faults().add(Fault::delayBy(999ms + std::chrono::milliseconds(i)).on(0xE9));
        uint16_t state = 0xABCD;
        const HVManagerStatus status = manager.readGPIOState(&state, 1, 0x00F0);
        if (status == HVManagerStatusSuccess)
            EXPECT_EQ(state, 0x00F0);
        else
            EXPECT_EQ(state, 0xABCD);
        uint32_t bits = 0;
        EXPECT_EQ(manager.getCapabilities(&bits), HVManagerStatusSuccess);
        EXPECT_EQ(bits, 3u);
    }
}

TEST_P(ManagerTimingTest, UnansweredRequestsTimeOutAfterTheirTime) {
    ScopedCapture capture;
    service().faults().add(Fault::drop().on(0xE9));
    uint16_t state = 0;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(manager.readGPIOState(&state, 1, 1), HVManagerStatusFailed);
    auto ms = msSince(t0);
    EXPECT_GE(ms, 1000);
    EXPECT_LT(ms, 1800);

    service().faults().add(Fault::drop().on(0xDE));
    uint32_t bits = 0;
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(manager.getCapabilities(&bits), HVManagerStatusFailed);
    ms = msSince(t0);
    EXPECT_GE(ms, 2000);
    EXPECT_LT(ms, 2800);
    EXPECT_EQ(capture.logger().count("] Operation completed."), 2u);

    // A truncated answer never completes: the same time-out.
    service().faults().add(Fault::truncate(4).on(0xDE));
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(manager.getCapabilities(&bits), HVManagerStatusFailed);
    EXPECT_GE(msSince(t0), 2000);
}

TEST_P(ManagerTest, OperationsFromManyThreadsAreSerialisedAndEachGetsItsAnswer) {
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 5; ++i) {
                if (t % 2 == 0) {
                    uint32_t bits = 0;
                    if (manager.getCapabilities(&bits) != 0 || bits != 3) ++failures;
                } else {
                    char value[HVManager::kPropertyValueCapacity];
                    if (manager.readPropertyValue(value, "colour") != 0 ||
                        std::string(value) != "blue")
                        ++failures;
                }
            }
        });
    }
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(managerSessions(), 20u);
}

HV_CASE_BACKENDS(ManagerTest);
INSTANTIATE_TEST_SUITE_P(Backends, ManagerTimingTest, ::testing::Values(CaseBackend::InProcess),
                         caseBackendName);

}  // namespace
}  // namespace hv::test
