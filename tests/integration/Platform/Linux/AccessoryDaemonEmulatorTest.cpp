// The accessory daemon with a vpcd port: the emulator's card is in its reader exactly while an
// emulator is connected, and `status` says whether one is.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FakeEmulator.h"
#include "Platform/Linux/UnixSocket.h"
#include "Wait.h"

extern char **environ;

#ifdef VORASEL_ACCESSORYD_PATH

namespace {

namespace us = hv::platform::unixsocket;

class DaemonEmulator : public ::testing::Test {
protected:
    void TearDown() override {
        if (daemon > 0) {
            kill(daemon, SIGTERM);
            int status = 0;
            waitpid(daemon, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        ::unlink(logPath.c_str());
    }

    // Starts the daemon with a vpcd port of its choice; the port, or 0.
    uint16_t start(std::vector<std::string> extra) {
        const std::string tag = std::to_string(::getpid());
        socketPath = "/tmp/hv-accessoryd-emulator-" + tag + ".sock";
        logPath = "/tmp/hv-accessoryd-emulator-" + tag + ".log";
        std::vector<std::string> args = {VORASEL_ACCESSORYD_PATH, "--socket", socketPath,
                                         "--vpcd-port", "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        const int spawned = posix_spawn(&daemon, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) return 0;
        uint16_t port = 0;
        hv::test::waitUntil([&] {
            std::ifstream log(logPath);
            std::stringstream text;
            text << log.rdbuf();
            std::smatch m;
            const std::string s = text.str();
            if (std::regex_search(s, m, std::regex("vpcd bridge on 127\\.0\\.0\\.1:([0-9]+)")))
                port = static_cast<uint16_t>(std::stoi(m[1]));
            const int fd = us::connectTo(socketPath);
            us::closeQuietly(fd);
            return port != 0 && fd >= 0;
        });
        return port;
    }

    std::string command(const std::string &words) {
        const int fd = us::connectTo(socketPath);
        if (fd < 0) return "no daemon";
        const std::string line = "COMMAND " + words + "\n";
        us::writeAll(fd, line.data(), line.size());
        auto answer = us::readLine(fd);
        us::closeQuietly(fd);
        return answer.value_or("no answer");
    }
    bool statusBecomes(const std::string &want) {
        return hv::test::waitUntil([&] { return command("status") == want; });
    }

    pid_t daemon = -1;
    std::string socketPath, logPath;
};

std::optional<hv::test::FakeEmulator::Bytes> ok(const hv::test::FakeEmulator::Bytes &) {
    return hv::test::FakeEmulator::Bytes{0x90, 0x00};
}
const hv::test::FakeEmulator::Bytes kAtr = {0x3B, 0x00};

TEST_F(DaemonEmulator, WithoutACardChosenTheSlotFollowsTheEmulator) {
    const uint16_t port = start({});
    ASSERT_NE(port, 0);
    EXPECT_EQ(command("status"), "OK attached=1 card=0 emulator=0");
    for (int round = 0; round < 2; ++round) {
        hv::test::FakeEmulator emulator(port, kAtr, ok);
        ASSERT_TRUE(emulator.connected());
        EXPECT_TRUE(statusBecomes("OK attached=1 card=1 emulator=1")) << command("status");
        emulator.hangUp();
        EXPECT_TRUE(statusBecomes("OK attached=1 card=0 emulator=0")) << command("status");
    }
}

TEST_F(DaemonEmulator, AnotherCardTakesTheSlotBackAndInsertVpcdGivesItAgain) {
    const uint16_t port = start({"--card", "t1"});
    ASSERT_NE(port, 0);
    hv::test::FakeEmulator first(port, kAtr, ok);
    ASSERT_TRUE(statusBecomes("OK attached=1 card=1 emulator=1"));
    first.hangUp();  // the t1 card stays: the slot is not the emulator's
    EXPECT_TRUE(statusBecomes("OK attached=1 card=1 emulator=0"));
    EXPECT_EQ(command("insert vpcd"), "OK");
    EXPECT_EQ(command("status"), "OK attached=1 card=0 emulator=0");
    hv::test::FakeEmulator second(port, kAtr, ok);
    EXPECT_TRUE(statusBecomes("OK attached=1 card=1 emulator=1"));
    EXPECT_EQ(command("remove"), "OK");
    second.hangUp();
    EXPECT_TRUE(statusBecomes("OK attached=1 card=0 emulator=0"));
    hv::test::FakeEmulator third(port, kAtr, ok);
    EXPECT_TRUE(statusBecomes("OK attached=1 card=0 emulator=1"));
}

}  // namespace

#endif
