// HVAccessory's capability queries against the simulated case.
#include <gtest/gtest.h>

#include "CaptureLogger.h"
#include "Management/CaseFixture.h"
#include "vorasel/HVAccessory.h"

namespace hv::test {
namespace {

class CapabilitiesTest : public CaseTest {
protected:
    void SetUp() override {
        CaseTest::SetUp();
        ASSERT_TRUE(runLoopUntil([] { return HVAccessory::sharedClass().isConnected(); }));
    }
    HVAccessory &accessory = HVAccessory::sharedClass();
};

TEST_P(CapabilitiesTest, EachWordGivesItsBitsAndIsAskedEveryTime) {
    ScopedCapture capture;
    const struct {
        uint32_t word;
        bool fingerprint, reader;
    } cases[] = {{0, false, false}, {1, true, false}, {2, false, true}, {3, true, true}};
    for (const auto &c : cases) {
        service().setCapabilities(c.word);
        EXPECT_EQ(accessory.hasFingerprintSensor(), c.fingerprint) << c.word;
        EXPECT_EQ(accessory.hasSmartCardReader(), c.reader) << c.word;
    }
    // Nothing is cached: one exchange per query.
    EXPECT_EQ(managerSessions(), 8u);
    EXPECT_EQ(capture.logger().count("] Received capabilities: "), 8u);
    EXPECT_TRUE(capture.logger().contains("] Received capabilities: 3"));
}

TEST_P(CapabilitiesTest, AnAttachedCaseThatCannotBeAskedHasBoth) {
    ScopedCapture capture;
    service().setCapabilities(0);
    refuseSessions();
    EXPECT_TRUE(accessory.hasFingerprintSensor());
    EXPECT_TRUE(accessory.hasSmartCardReader());
    EXPECT_TRUE(capture.logger().contains("] Failed to retrieve capabilites"));
    EXPECT_TRUE(capture.logger().contains("] Failed to retrieve capabilities"));

    // The same when the case answers something else, or drops the session.
    refuseSessions(0);
    service().faults().add(sim::Fault::replace({0xD0, 0x01, 0x01}).on(0xDE));
    service().faults().add(sim::Fault::endSession().on(0xDE).after(1));
    EXPECT_TRUE(accessory.hasFingerprintSensor());
    EXPECT_TRUE(accessory.hasSmartCardReader());
    EXPECT_EQ(service().faults().armed(), 0u);
}

TEST_P(CapabilitiesTest, ADetachedCaseHasNeither) {
    simCase->accessory().detach();
    ASSERT_TRUE(runLoopUntil([&] { return !accessory.isConnected(); }));
    EXPECT_FALSE(accessory.hasFingerprintSensor());
    EXPECT_FALSE(accessory.hasSmartCardReader());
}

TEST_P(CapabilitiesTest, NoQueryOfAContactlessReaderReachesTheCase) {
    const size_t sessions = managerSessions();
    EXPECT_FALSE(accessory.hasContactlessReader());
    simCase->accessory().detach();
    EXPECT_FALSE(accessory.hasContactlessReader());
    EXPECT_EQ(managerSessions(), sessions);
}

HV_CASE_BACKENDS(CapabilitiesTest);

}  // namespace
}  // namespace hv::test
