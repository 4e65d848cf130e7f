// The library against the accessory daemon in another process, chosen through the host API as
// a host would (the environment variable does the same only before first use, so it serves
// processes of their own: the tool and C program tests).
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Accessory/HVSessionProtocolDriver.h"
#include "Platform/ExternalAccessory/EAAccessoryManager.h"
#include "Platform/Linux/SocketAccessoryProvider.h"
#include "Platform/Linux/UnixSocket.h"
#include "SessionReceiver.h"
#include "Wait.h"
#include "vorasel/HVHost.h"

extern char **environ;

#ifdef VORASEL_ACCESSORYD_PATH

namespace {

using namespace std::chrono_literals;

class AccessoryDaemonTest : public ::testing::Test {
protected:
    void SetUp() override {
        socketPath = "/tmp/hv-accessoryd-" + std::to_string(::getpid()) + ".sock";
        std::vector<std::string> args = {VORASEL_ACCESSORYD_PATH, "--socket", socketPath,
                                         "--reattach-delay", "100"};
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ASSERT_EQ(posix_spawn(&daemon, argv[0], nullptr, nullptr, argv.data(), environ), 0);
        ASSERT_TRUE(hv::test::waitUntil([&] {
            const int fd = hv::platform::unixsocket::connectTo(socketPath);
            hv::platform::unixsocket::closeQuietly(fd);
            return fd >= 0;
        }));
        ASSERT_TRUE(HVHost::useAccessoryDaemon(socketPath));
    }
    void TearDown() override {
        auto &registry = HVSessionProtocolDriver::sharedClass();
        for (int p = 0; p < 6; ++p)
            if (registry.sessionForProtocol(p)) registry.endSessionWithProtocol(p);
        if (daemon > 0) {
            kill(daemon, SIGTERM);
            int status = 0;
            waitpid(daemon, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << "daemon did not stop cleanly";
        }
        // The daemon's accessories leave with it, before the next test.
        EXPECT_TRUE(hv::test::waitUntil([] {
            return hv::platform::EAAccessoryManager::sharedAccessoryManager()
                .connectedAccessories()
                .empty();
        }));
    }

    std::string command(const std::string &words) {
        const int fd = hv::platform::unixsocket::connectTo(socketPath);
        if (fd < 0) return "no daemon";
        const std::string line = "COMMAND " + words + "\n";
        hv::platform::unixsocket::writeAll(fd, line.data(), line.size());
        auto answer = hv::platform::unixsocket::readLine(fd);
        hv::platform::unixsocket::closeQuietly(fd);
        return answer.value_or("no answer");
    }

    pid_t daemon = -1;
    std::string socketPath;
};

}  // namespace

TEST_F(AccessoryDaemonTest, HostSeesTheCaseAndTalksCcidToItsReader) {
    auto accessories =
        hv::platform::EAAccessoryManager::sharedAccessoryManager().connectedAccessories();
    ASSERT_EQ(accessories.size(), 1u);
    EXPECT_TRUE(accessories[0]->offersProtocol("com.vorasel.manager"));
    EXPECT_TRUE(accessories[0]->offersProtocol("com.vorasel.ccidbulk"));

    auto &registry = HVSessionProtocolDriver::sharedClass();
    auto &received = hv::test::SessionReceiver::of(2);
    ASSERT_EQ(registry.startSessionWithProtocol(2, hv::test::SessionReceiver::callback(2)), 0);
    // PC_to_RDR_GetSlotStatus, bSeq 7: the empty slot answers bmICCStatus 2 (no card).
    const uint8_t getSlotStatus[10] = {0x65, 0, 0, 0, 0, 0, 7, 0, 0, 0};
    ASSERT_EQ(registry.writeData(getSlotStatus, sizeof getSlotStatus, 2), 0);
    ASSERT_TRUE(hv::test::waitUntil([&] { return received.bytes().size() >= 10; }));
    const auto reply = received.bytes();
    EXPECT_EQ(reply[0], 0x81);  // RDR_to_PC_SlotStatus
    EXPECT_EQ(reply[6], 7);     // bSeq echoed
    EXPECT_EQ(reply[7] & 0x03, 2);
    EXPECT_EQ(command("status"), "OK attached=1 card=0 emulator=0");

    // A card inserted by command powers up with its ATR.
    EXPECT_EQ(command("insert t1"), "OK");
    EXPECT_EQ(command("status"), "OK attached=1 card=1 emulator=0");
    received.clear();
    const uint8_t powerOn[10] = {0x62, 0, 0, 0, 0, 0, 8, 1, 0, 0};
    ASSERT_EQ(registry.writeData(powerOn, sizeof powerOn, 2), 0);
    ASSERT_TRUE(hv::test::waitUntil([&] {
        const auto b = received.bytes();
        return b.size() >= 10 && b.size() >= 10u + b[1];
    }));
    const auto atr = received.bytes();
    EXPECT_EQ(atr[0], 0x80);  // RDR_to_PC_DataBlock
    EXPECT_EQ(atr[6], 8);
    EXPECT_EQ(atr[7] & 0x03, 0);
    EXPECT_EQ(atr[10], 0x3B);  // TS, direct convention
    EXPECT_EQ(command("insert nonsense"), "ERR no such card");
}

TEST_F(AccessoryDaemonTest, DetachAndAttachCommandsReachTheHost) {
    auto &manager = hv::platform::EAAccessoryManager::sharedAccessoryManager();
    ASSERT_TRUE(hv::test::waitUntil([&] { return manager.connectedAccessories().size() == 1; }));
    EXPECT_EQ(command("detach"), "OK");
    EXPECT_TRUE(hv::test::waitUntil([&] { return manager.connectedAccessories().empty(); }));
    EXPECT_EQ(command("attach"), "OK");
    EXPECT_TRUE(hv::test::waitUntil([&] { return manager.connectedAccessories().size() == 1; }));
    EXPECT_EQ(command("nonsense"), "ERR unknown command nonsense");
}

TEST_F(AccessoryDaemonTest, ProviderReportsTheDaemonGoingAway) {
    auto &manager = hv::platform::EAAccessoryManager::sharedAccessoryManager();
    auto provider =
        std::dynamic_pointer_cast<hv::platform::SocketAccessoryProvider>(manager.provider());
    ASSERT_NE(provider, nullptr);
    EXPECT_TRUE(provider->isConnected());
    kill(daemon, SIGTERM);
    waitpid(daemon, nullptr, 0);
    daemon = -1;
    EXPECT_TRUE(hv::test::waitUntil([&] { return !provider->isConnected(); }));
    EXPECT_TRUE(manager.connectedAccessories().empty());
}

#endif
