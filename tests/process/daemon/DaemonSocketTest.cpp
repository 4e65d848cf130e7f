// Who may reach the daemon's socket, and what the daemon does to the path it is given.
#include <grp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "ChildProcess.h"
#include "WireClient.h"

namespace hv::test {
namespace {

mode_t modeOf(const std::string &path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

int listeningSocket(const std::string &path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string readFile(const std::string &path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(DaemonSocket, IsPrivateWhateverTheUmaskAndSharedOnlyWithItsGroup) {
    const mode_t old = ::umask(0);
    DaemonProcess priv;
    const bool started = priv.start();
    ::umask(old);
    ASSERT_TRUE(started);
    EXPECT_TRUE(S_ISSOCK(modeOf(priv.socketPath())));
    EXPECT_EQ(modeOf(priv.socketPath()) & 07777, 0600u);

    const group *g = ::getgrgid(::getegid());
    ASSERT_NE(g, nullptr);
    DaemonProcess shared({"--group", g->gr_name});
    ASSERT_TRUE(shared.start());
    struct stat st;
    ASSERT_EQ(::lstat(shared.socketPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(st.st_gid, ::getegid());
}

TEST(DaemonSocket, RefusesToReplaceAFileOrALiveSocketAndLeavesThemAlone) {
    DaemonProcess first;
    ASSERT_TRUE(first.start());
    {
        std::ofstream(first.directory() + "/file") << "keep me";
        ChildProcess d;
        ASSERT_TRUE(d.start({DaemonProcess::program(), "--socket", first.directory() + "/file"},
                            {.env = {}, .passFd = -1, .quiet = true}));
        EXPECT_EQ(d.wait(5s), 1);
        EXPECT_EQ(readFile(first.directory() + "/file"), "keep me");
    }
    {
        // A second daemon on a path in use fails and does not delete the first one's socket.
        ChildProcess d;
        ASSERT_TRUE(d.start({DaemonProcess::program(), "--socket", first.socketPath()},
                            {.env = {}, .passFd = -1, .quiet = true}));
        EXPECT_EQ(d.wait(5s), 1);
        EXPECT_TRUE(S_ISSOCK(modeOf(first.socketPath())));
        EXPECT_EQ(command(first.socketPath(), "status"), "OK attached=1 card=1 emulator=0");
    }
}

TEST(DaemonSocket, ReplacesAStaleSocketAndRemovesOnlyItsOwn) {
    DaemonProcess daemon;
    const int stale = listeningSocket(daemon.socketPath());
    ASSERT_GE(stale, 0);
    ::close(stale);  // a socket file nobody listens on
    ASSERT_TRUE(daemon.start());
    EXPECT_EQ(command(daemon.socketPath(), "status"), "OK attached=1 card=1 emulator=0");
    ASSERT_TRUE(daemon.process().signal(SIGTERM));
    EXPECT_EQ(daemon.process().wait(5s), 0);
    EXPECT_FALSE(std::filesystem::exists(daemon.socketPath())) << "its own socket is removed";

    // Someone else took the path while the daemon ran: that socket stays.
    DaemonProcess second;
    ASSERT_TRUE(second.start());
    ASSERT_EQ(::unlink(second.socketPath().c_str()), 0);
    const int other = listeningSocket(second.socketPath());
    ASSERT_GE(other, 0);
    ASSERT_TRUE(second.process().signal(SIGTERM));
    EXPECT_EQ(second.process().wait(5s), 0);
    EXPECT_TRUE(S_ISSOCK(modeOf(second.socketPath())));
    ::close(other);
}

TEST(DaemonSocket, ServesTheSocketItIsHandedOnStartUp) {
    DaemonProcess paths;  // for its directory only
    const std::string path = paths.directory() + "/activated.sock";
    const int fd = listeningSocket(path);
    ASSERT_GE(fd, 0);
    ChildProcess d;
    // The shell keeps its pid through exec, so LISTEN_PID names the daemon.
    ASSERT_TRUE(d.start({"/bin/sh", "-c", "LISTEN_PID=$$ LISTEN_FDS=1 exec \"$0\" --card t1",
                         DaemonProcess::program()},
                        {.env = {}, .passFd = fd, .quiet = true}));
    ::close(fd);
    std::optional<std::string> status;
    for (int i = 0; i < 200 && !status; ++i)
        status = command(path, "status", 100ms);
    EXPECT_EQ(status, "OK attached=1 card=1 emulator=0");
    ASSERT_TRUE(d.signal(SIGTERM));
    EXPECT_EQ(d.wait(5s), 0);
    EXPECT_TRUE(S_ISSOCK(modeOf(path))) << "the service manager's socket is not ours to remove";
}

TEST(DaemonSocket, RefusesPeersOfAnotherUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
    DaemonProcess daemon;
    ASSERT_TRUE(daemon.start());
    // Open the file to everyone, so that only the daemon's own check stands in the way.
    ASSERT_EQ(::chmod(daemon.socketPath().c_str(), 0666), 0);
    ASSERT_EQ(::chmod(daemon.directory().c_str(), 0755), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
        WireClient c(daemon.socketPath());
        if (!c.connected()) ::_exit(4);
        c.send("COMMAND status\n");
        // Refused: the connection ends with no answer.
        ::_exit(c.readLine(2s) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(command(daemon.socketPath(), "status"), "OK attached=1 card=1 emulator=0");
}

}  // namespace
}  // namespace hv::test
