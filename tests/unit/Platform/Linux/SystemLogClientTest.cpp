#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "Platform/Linux/SystemLogClient.h"

using hv::platform::SystemLogClient;

namespace {

// A stand-in for the system log daemon: a datagram socket bound in a temporary folder.
class FakeDaemon {
public:
    FakeDaemon() {
        path_ = (std::filesystem::temp_directory_path() /
                 ("hv-syslog-" + std::to_string(::getpid()) + ".sock"))
                    .string();
        ::unlink(path_.c_str());
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path_.copy(address.sun_path, sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        timeval timeout{5, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~FakeDaemon() {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    const std::string &path() const { return path_; }
    std::string receive() {
        char buf[16384];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }

private:
    std::string path_;
    int fd_ = -1;
};

}  // namespace

TEST(SystemLogClient, SendsSyslogLinesWithUserFacilityTagAndProcess) {
    FakeDaemon daemon;
    SystemLogClient client(daemon.path());
    client.send(3, "unit_tests", "HVInfo: f [Line 1] hello");
    client.send(1, "unit_tests", "second");
    const std::string pid = std::to_string(::getpid());
    const std::regex first("<11>[A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d unit_tests\\[" + pid +
                           "\\]: HVInfo: f \\[Line 1\\] hello");
    const std::string line = daemon.receive();
    EXPECT_TRUE(std::regex_match(line, first)) << line;
    const std::string second = daemon.receive();
    EXPECT_EQ(second.rfind("<9>", 0), 0u) << second;
    EXPECT_EQ(client.dropped(), 0u);
}

TEST(SystemLogClient, NoDaemonDropsLinesWithoutWaiting) {
    SystemLogClient client("/nonexistent/hv/log");
    for (int i = 0; i < 100; ++i)
        client.send(3, "t", "nobody listens");
    EXPECT_EQ(client.dropped(), 100u);
}

TEST(SystemLogClient, OverlongLinesAreCutNotRefused) {
    FakeDaemon daemon;
    SystemLogClient client(daemon.path());
    client.send(5, "t", std::string(100000, 'x'));
    const std::string line = daemon.receive();
    EXPECT_GT(line.size(), 8192u);
    EXPECT_LT(line.size(), 8192u + 128u);
    EXPECT_EQ(client.dropped(), 0u);
}
