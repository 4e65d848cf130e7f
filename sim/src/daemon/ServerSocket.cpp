#include "vorasel/sim/ServerSocket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace hv::sim {

namespace {

constexpr int kBacklog = 64;

bool fillAddress(const std::string &path, sockaddr_un &addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

std::string describe(const std::string &what, const std::string &path) {
    return what + " " + path + ": " + std::strerror(errno);
}

// True when `path` holds a socket that nobody accepts on any more.
bool isStaleSocket(const sockaddr_un &addr) {
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    const bool refused =
        ::connect(probe, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 &&
        errno == ECONNREFUSED;
    ::close(probe);
    return refused;
}

bool makeDirectory(const std::string &dir, mode_t mode, std::string &error) {
    if (::mkdir(dir.c_str(), mode) == 0 || errno == EEXIST) return true;
    error = describe("cannot create", dir);
    return false;
}

}  // namespace

ServerSocket::ServerSocket(ServerSocket &&other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      path_(std::move(other.path_)),
      activated_(other.activated_),
      dev_(other.dev_),
      ino_(other.ino_) {}

ServerSocket &ServerSocket::operator=(ServerSocket &&other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
        activated_ = other.activated_;
        dev_ = other.dev_;
        ino_ = other.ino_;
    }
    return *this;
}

ServerSocket::~ServerSocket() {
    close();
}

std::optional<ServerSocket> ServerSocket::bindTo(const std::string &path,
                                                 std::optional<gid_t> group, std::string &error) {
    sockaddr_un addr;
    if (!fillAddress(path, addr)) {
        error = "socket path too long or empty: " + path;
        return std::nullopt;
    }
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            error = path + " exists and is not a socket; not replacing it";
            return std::nullopt;
        }
        if (!isStaleSocket(addr)) {
            error = path + " is a socket in use (another daemon?); not replacing it";
            return std::nullopt;
        }
        ::unlink(path.c_str());
    } else if (errno != ENOENT) {
        error = describe("cannot examine", path);
        return std::nullopt;
    }

    ServerSocket s;
    s.fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s.fd_ < 0) {
        error = describe("cannot create a socket for", path);
        return std::nullopt;
    }
    // The mode is fixed at bind time, whatever the caller's umask: no moment of wider access.
    const mode_t old = ::umask(0177);
    const int bound = ::bind(s.fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    const int bindErrno = errno;
    ::umask(old);
    if (bound != 0) {
        errno = bindErrno;
        error = describe("cannot bind", path);
        return std::nullopt;  // nothing of ours at the path: the destructor leaves it alone
    }
    s.path_ = path;
    if (::lstat(path.c_str(), &st) == 0) {
        s.dev_ = st.st_dev;
        s.ino_ = st.st_ino;
    }
    if (group) {
        if (::chown(path.c_str(), static_cast<uid_t>(-1), *group) != 0 ||
            ::chmod(path.c_str(), 0660) != 0) {
            error = describe("cannot give the group access to", path);
            return std::nullopt;
        }
    } else if (::chmod(path.c_str(), 0600) != 0) {
        error = describe("cannot set the mode of", path);
        return std::nullopt;
    }
    if (::listen(s.fd_, kBacklog) != 0) {
        error = describe("cannot listen on", path);
        return std::nullopt;
    }
    return s;
}

std::optional<ServerSocket> ServerSocket::fromActivation(std::string &error) {
    const char *pid = std::getenv("LISTEN_PID");
    const char *fds = std::getenv("LISTEN_FDS");
    if (!pid || !fds) return std::nullopt;
    char *end = nullptr;
    const long forPid = std::strtol(pid, &end, 10);
    if (!end || *end || forPid != static_cast<long>(::getpid())) return std::nullopt;
    const long count = std::strtol(fds, &end, 10);
    // Not for our children, whatever happens next.
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    if (!end || *end || count < 1) {
        error = "LISTEN_FDS passes no socket";
        return std::nullopt;
    }
    constexpr int kFirst = 3;
    int type = 0, listening = 0;
    socklen_t len = sizeof type;
    sockaddr_un addr{};
    socklen_t addrLen = sizeof addr;
    if (::getsockopt(kFirst, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM ||
        ::getsockopt(kFirst, SOL_SOCKET, SO_ACCEPTCONN, &listening, &(len = sizeof listening)) !=
            0 ||
        !listening || ::getsockname(kFirst, reinterpret_cast<sockaddr *>(&addr), &addrLen) != 0 ||
        addr.sun_family != AF_UNIX) {
        error = "fd 3 is not a listening Unix stream socket";
        return std::nullopt;
    }
    ::fcntl(kFirst, F_SETFD, FD_CLOEXEC);
    ::fcntl(kFirst, F_SETFL, ::fcntl(kFirst, F_GETFL) | O_NONBLOCK);
    ServerSocket s;
    s.fd_ = kFirst;
    s.activated_ = true;
    if (addrLen > offsetof(sockaddr_un, sun_path) && addr.sun_path[0])
        s.path_ = std::string(addr.sun_path, strnlen(addr.sun_path, sizeof addr.sun_path));
    return s;
}

std::string ServerSocket::defaultPath(std::string &error) {
    std::string base;
    mode_t mode = 0700;
    if (const char *runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        base = runtime;
    } else if (::geteuid() == 0) {
        base = "/run";
        mode = 0755;  // the socket's own mode decides who may connect
    } else {
        error = "XDG_RUNTIME_DIR is not set; name the socket with --socket";
        return {};
    }
    const std::string dir = base + "/vorasel";
    if (!makeDirectory(dir, mode, error)) return {};
    return dir + "/accessoryd.sock";
}

void ServerSocket::close() {
    if (fd_ < 0) return;
    if (!activated_ && !path_.empty()) {
        // Only our own socket: another daemon may have taken the path since.
        struct stat st;
        if (::lstat(path_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_dev == dev_ &&
            st.st_ino == ino_)
            ::unlink(path_.c_str());
    }
    ::close(fd_);
    fd_ = -1;
}

}  // namespace hv::sim
