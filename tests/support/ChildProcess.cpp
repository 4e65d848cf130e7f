#include "ChildProcess.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace hv::test {

extern "C" char **environ;

ChildProcess::~ChildProcess() {
    kill();
}

bool ChildProcess::start(const std::vector<std::string> &argv, const Options &options) {
    // Everything the child needs is built before fork: after it, only async-signal-safe calls.
    std::vector<std::string> envStrings;
    for (char **e = environ; *e; ++e)
        envStrings.emplace_back(*e);
    for (const auto &e : options.env)
        envStrings.push_back(e);
    std::vector<char *> envp, args;
    for (auto &e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argvCopy = argv;
    for (auto &a : argvCopy)
        args.push_back(a.data());
    args.push_back(nullptr);
    const int devNull = options.quiet ? ::open("/dev/null", O_WRONLY | O_CLOEXEC) : -1;

    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        if (options.passFd >= 0) {
            if (options.passFd == 3)
                ::fcntl(3, F_SETFD, 0);
            else
                ::dup2(options.passFd, 3);
        }
        if (devNull >= 0) ::dup2(devNull, 2);
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    if (devNull >= 0) ::close(devNull);
    pid_ = pid;
    status_.reset();
    return true;
}

bool ChildProcess::running() {
    if (pid_ < 0 || status_) return false;
    return !wait(std::chrono::milliseconds(0));
}

bool ChildProcess::signal(int signal) const {
    return pid_ > 0 && ::kill(pid_, signal) == 0;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (status_ || pid_ < 0) return status_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return status_;
        }
        if (r < 0 || std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void ChildProcess::kill() {
    if (pid_ < 0 || status_) return;
    ::kill(pid_, SIGKILL);
    ::kill(pid_, SIGCONT);
    wait(std::chrono::seconds(10));
}

long ChildProcess::statusField(const char *field) const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    const size_t n = std::strlen(field);
    while (std::getline(in, line))
        if (line.compare(0, n, field) == 0) return std::strtol(line.c_str() + n, nullptr, 10);
    return -1;
}

long ChildProcess::mappings() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/maps");
    if (!in) return -1;
    long count = 0;
    std::string line;
    while (std::getline(in, line))
        ++count;
    return count;
}

long ChildProcess::openFds() const {
    std::error_code ec;
    long count = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++count;
    return ec ? -1 : count;
}

namespace {

template <typename Probe>
bool waitAtMost(Probe probe, long atMost, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const long n = probe();
        if (n >= 0 && n <= atMost) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

bool waitUntilThreads(const ChildProcess &p, long atMost, std::chrono::milliseconds timeout) {
    return waitAtMost([&] { return p.threads(); }, atMost, timeout);
}

bool waitUntilFds(const ChildProcess &p, long atMost, std::chrono::milliseconds timeout) {
    return waitAtMost([&] { return p.openFds(); }, atMost, timeout);
}

DaemonProcess::DaemonProcess(std::vector<std::string> args, const char *program)
    : program_(program), args_(std::move(args)) {
    char pattern[] = "/tmp/vorasel-daemon-XXXXXX";
    if (::mkdtemp(pattern)) dir_ = pattern;
    socket_ = dir_ + "/accessoryd.sock";
}

DaemonProcess::~DaemonProcess() {
    if (process_.pid() > 0 && process_.running()) {
        process_.signal(SIGTERM);
        if (!process_.wait(std::chrono::seconds(5))) process_.kill();
    }
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

bool DaemonProcess::start(ChildProcess::Options options) {
    if (dir_.empty() || !program_) return false;
    std::vector<std::string> argv{program_, "--socket", socket_};
    argv.insert(argv.end(), args_.begin(), args_.end());
    if (!process_.start(argv, options)) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket_.c_str(), sizeof addr.sun_path - 1);
    while (std::chrono::steady_clock::now() < deadline) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
        ::close(fd);
        if (ok) return true;
        if (!process_.running()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

}  // namespace hv::test
