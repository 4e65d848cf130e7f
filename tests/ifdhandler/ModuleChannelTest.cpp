// The module's channel and card presence, as pcscd drives them: a channel that opens at once
// whatever the case is doing, insertions and removals seen through the waiting function, and
// a case (or daemon) that goes and comes back by itself.
#include <cstdlib>
#include <thread>

#include "ModuleFixture.h"

namespace hv::ifdhandler::test {
namespace {

using Clock = std::chrono::steady_clock;

TEST_F(ModuleTest, OpensAtOnceBeforeTheDaemonIsUpAndFindsTheCaseWhenItComes) {
    const auto t0 = Clock::now();
    ASSERT_EQ(openChannel(deviceName()), IFD_SUCCESS);
    EXPECT_LT(Clock::now() - t0, 100ms);
    // pcscd drops a reader whose first presence check fails: no card, not an error.
    EXPECT_EQ(module().iccPresence(kLun), IFD_ICC_NOT_PRESENT);
    ASSERT_TRUE(daemon->start());
    EXPECT_TRUE(waitForPresence(true));
    RESPONSECODE rc;
    EXPECT_FALSE(powerUp(&rc).empty());
    EXPECT_EQ(rc, IFD_SUCCESS);
}

TEST_F(ModuleTest, WithoutADeviceNameTheDaemonComesFromTheEnvironment) {
    ASSERT_TRUE(daemon->start({"--card", "dual"}));
    // Read when the channel is created.
    ASSERT_EQ(setenv("VORASEL_ACCESSORYD_SOCKET", daemon->socketPath().c_str(), 1), 0);
    ASSERT_EQ(openChannelWithoutName(), IFD_SUCCESS);
    EXPECT_TRUE(waitForPresence(true));
    RESPONSECODE rc;
    EXPECT_FALSE(powerUp(&rc).empty());
    EXPECT_EQ(rc, IFD_SUCCESS);
}

TEST_F(ModuleTest, InsertionAndRemovalEndTheWait) {
    ASSERT_TRUE(daemon->start({}));
    ASSERT_EQ(openChannel(deviceName()), IFD_SUCCESS);
    ASSERT_TRUE(readerReachedEmpty());
    for (int round = 0; round < 3; ++round) {
        ASSERT_FALSE(present());
        std::thread insert([&] { EXPECT_EQ(daemon->command("insert t1"), "OK"); });
        const auto t0 = Clock::now();
        EXPECT_EQ(waitFunction()(kLun, 10000), IFD_SUCCESS);
        EXPECT_LT(Clock::now() - t0, 5s);
        insert.join();
        EXPECT_TRUE(waitForPresence(true));
        std::thread remove([&] { EXPECT_EQ(daemon->command("remove"), "OK"); });
        EXPECT_EQ(waitFunction()(kLun, 10000), IFD_SUCCESS);
        remove.join();
        EXPECT_TRUE(waitForPresence(false));
    }
}

TEST_F(ModuleTest, ACardSwappedBetweenTwoChecksIsToldAsRemovedThenInserted) {
    openWithCard();
    // The daemon answers each command after the reader has taken the card in or out.
    ASSERT_EQ(daemon->command("remove"), "OK");
    ASSERT_EQ(daemon->command("insert t1"), "OK");
    // Both changes arrive; the first check after them tells the removal.
    bool sawAbsent = false;
    const auto deadline = Clock::now() + 10s;
    while (Clock::now() < deadline) {
        if (!present()) {
            sawAbsent = true;
            break;
        }
        waitFunction()(kLun, 200);
    }
    EXPECT_TRUE(sawAbsent);
    EXPECT_TRUE(waitForPresence(true));
    RESPONSECODE rc;
    powerUp(&rc);
    EXPECT_EQ(rc, IFD_SUCCESS);
}

TEST_F(ModuleTest, TheWaitHonoursItsTimeOutAndTheStopFunction) {
    openWithCard();
    // Once the reader has settled, a wait with nothing to tell lasts its whole time-out.
    bool quiet = false;
    for (int i = 0; i < 50 && !quiet; ++i) {
        present();
        const auto t0 = Clock::now();
        ASSERT_EQ(waitFunction()(kLun, 100), IFD_SUCCESS);
        const auto took = Clock::now() - t0;
        EXPECT_LT(took, 5s);
        quiet = took >= 100ms;
    }
    EXPECT_TRUE(quiet);

    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        present();
        waitFunction()(kLun, 600000);
        returned = true;
    });
    // Given the time to begin waiting, the stop still ends the wait, now or when it begins.
    EXPECT_FALSE(hv::test::waitUntil([&] { return returned.load(); }, 50ms));
    EXPECT_EQ(stopFunction()(kLun), IFD_SUCCESS);
    EXPECT_TRUE(hv::test::waitUntil([&] { return returned.load(); }, 5s));
    waiter.join();
}

TEST_F(ModuleTest, ADetachedCaseReadsAsNoCardAndComesBackByItself) {
    openWithCard();
    ASSERT_FALSE(powerUp().empty());
    ASSERT_EQ(daemon->command("detach"), "OK");
    EXPECT_TRUE(waitForPresence(false));
    EXPECT_EQ(transmit(echoApdu(4), 1).rc, IFD_COMMUNICATION_ERROR);
    ASSERT_EQ(daemon->command("attach"), "OK");
    EXPECT_TRUE(waitForPresence(true));
    RESPONSECODE rc;
    EXPECT_FALSE(powerUp(&rc).empty());
    ASSERT_EQ(rc, IFD_SUCCESS);
    ASSERT_EQ(module().setProtocolParameters(kLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
    EXPECT_EQ(transmit(echoApdu(4), 1).response, echoAnswer(4));
}

TEST_F(ModuleTest, ADaemonThatRestartsIsFoundAgain) {
    openWithCard();
    daemon->stop();
    EXPECT_TRUE(waitForPresence(false));
    ASSERT_TRUE(daemon->start());
    // A card the reader held before the driver opened announces nothing: it is still seen.
    EXPECT_TRUE(waitForPresence(true));
    RESPONSECODE rc;
    EXPECT_FALSE(powerUp(&rc).empty());
    EXPECT_EQ(rc, IFD_SUCCESS);
}

TEST_F(ModuleTest, ACardAlreadyReportedToAnotherHostIsSeen) {
    openWithCard();
    // A second pcscd after the first one: the daemon's reader announced its card long ago.
    ASSERT_EQ(closeChannel(), IFD_SUCCESS);
    ASSERT_EQ(openChannel(deviceName()), IFD_SUCCESS);
    EXPECT_TRUE(waitForPresence(true));
}

TEST_F(ModuleTest, OneChannelAtATimeAndOnlyItsLun) {
    openWithCard();
    std::string name = deviceName();
    EXPECT_EQ(module().createChannelByName(kLun + 0x10000, name.data()), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(module().createChannel(kLun + 0x10000, 0), IFD_COMMUNICATION_ERROR);
    const DWORD other = kLun + 1;
    UCHAR buffer[64];
    DWORD length = sizeof buffer;
    EXPECT_EQ(module().iccPresence(other), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(module().powerICC(other, IFD_POWER_UP, buffer, &length), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(module().getCapabilities(other, TAG_IFD_SLOTS_NUMBER, &length, buffer),
              IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(module().setProtocolParameters(other, SCARD_PROTOCOL_T1, 0, 0, 0, 0),
              IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(module().closeChannel(other), IFD_COMMUNICATION_ERROR);
    EXPECT_TRUE(present());
}

TEST_F(ModuleTest, AfterCloseTheLunIsUnknownAndTheCaseLetGo) {
    openWithCard();
    ASSERT_EQ(closeChannel(), IFD_SUCCESS);
    EXPECT_EQ(module().iccPresence(kLun), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(transmit(echoApdu(4), 1).rc, IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(module().closeChannel(kLun), IFD_COMMUNICATION_ERROR);
    // A new channel reaches the same daemon again.
    ASSERT_EQ(openChannel(deviceName()), IFD_SUCCESS);
    EXPECT_TRUE(waitForPresence(true));
}

TEST_F(ModuleTest, UnusableDeviceNamesAreRefused) {
    for (std::string name : {"", "/dev/null", "vorasel-accessoryd:relative.sock",
                             "vorasel-simulated:no-such-card", "usb:1234/5678"}) {
        EXPECT_EQ(module().createChannelByName(kLun, name.data()), IFD_COMMUNICATION_ERROR) << name;
    }
    EXPECT_EQ(module().createChannelByName(kLun, nullptr), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(module().iccPresence(kLun), IFD_COMMUNICATION_ERROR);
}

TEST_F(ModuleTest, TheSimulatedCaseInsidePcscd) {
    ASSERT_EQ(openChannel("vorasel-simulated:t1"), IFD_SUCCESS);
    ASSERT_TRUE(waitForPresence(true));
    RESPONSECODE rc;
    const Bytes atr = powerUp(&rc);
    ASSERT_EQ(rc, IFD_SUCCESS);
    EXPECT_EQ(atr.front(), 0x3B);
    ASSERT_EQ(module().setProtocolParameters(kLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
    EXPECT_EQ(transmit(echoApdu(200), 1).response, echoAnswer(200));
    ASSERT_EQ(closeChannel(), IFD_SUCCESS);
    // Closed, the simulated case has left; an empty one can come in its place.
    ASSERT_EQ(openChannel("vorasel-simulated:"), IFD_SUCCESS);
    EXPECT_TRUE(readerReachedEmpty());
    EXPECT_FALSE(present());
}

}  // namespace
}  // namespace hv::ifdhandler::test
