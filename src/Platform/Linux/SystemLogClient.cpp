#include "Platform/Linux/SystemLogClient.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace hv::platform {
namespace {

constexpr auto kRetryInterval = std::chrono::seconds(5);
// Longer lines are cut: datagram sockets refuse what exceeds their buffer.
constexpr size_t kLongestLine = 8192;

}  // namespace

SystemLogClient::SystemLogClient(std::string socketPath) : socketPath_(std::move(socketPath)) {}

SystemLogClient::~SystemLogClient() {
    if (fd_ >= 0) ::close(fd_);
}

uint64_t SystemLogClient::dropped() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

bool SystemLogClient::connectLocked(std::chrono::steady_clock::time_point now) {
    if (fd_ >= 0) return true;
    if (now < nextAttempt_) return false;
    nextAttempt_ = now + kRetryInterval;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath_.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

void SystemLogClient::send(int priority, const std::string &tag, const std::string &text) {
    const time_t now = ::time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &local);
    char head[128];
    const int headLength =
        std::snprintf(head, sizeof head, "<%d>%s %.48s[%d]: ", LOG_USER | (priority & LOG_PRIMASK),
                      stamp, tag.c_str(), static_cast<int>(::getpid()));
    if (headLength <= 0) return;
    std::string line(head, static_cast<size_t>(headLength));
    line.append(text, 0, kLongestLine);

    std::lock_guard lock(mutex_);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!connectLocked(std::chrono::steady_clock::now())) {
            ++dropped_;
            return;
        }
        if (::send(fd_, line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) return;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EMSGSIZE) break;
        // The daemon went away (restarted, perhaps): reconnect once at once.
        ::close(fd_);
        fd_ = -1;
        nextAttempt_ = {};
    }
    ++dropped_;
}

}  // namespace hv::platform
