#include "TransportProcess.h"

#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>

#include "Platform/Linux/AccessoryWire.h"
#include "Platform/Linux/UnixSocket.h"
#include "Wait.h"

extern char **environ;

namespace hv::test::transport {

namespace unixsocket = hv::platform::unixsocket;

ScratchDir::ScratchDir() {
    char name[] = "/tmp/hv-transport-XXXXXX";
    if (char *made = ::mkdtemp(name)) dir_ = made;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

DaemonProcess::DaemonProcess(std::string socketPath, std::vector<std::string> extraArgs)
    : socketPath_(std::move(socketPath)), args_(std::move(extraArgs)) {}

DaemonProcess::~DaemonProcess() {
    kill(SIGKILL);
}

bool DaemonProcess::start() {
    std::vector<std::string> args = {VORASEL_ACCESSORYD_PATH, "--socket", socketPath_};
    args.insert(args.end(), args_.begin(), args_.end());
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        pid_ = -1;
        return false;
    }
    return waitUntil([&] {
        const int fd = unixsocket::connectTo(socketPath_);
        unixsocket::closeQuietly(fd);
        return fd >= 0;
    });
}

void DaemonProcess::signal(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
}

bool DaemonProcess::stop() {
    signal(SIGSTOP);
    return waitUntil([&] {
        std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
        std::string pid, name, state;
        stat >> pid >> name >> state;  // the daemon's name has no spaces
        return state == "T";
    });
}

void DaemonProcess::kill(int sig) {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGCONT);  // a stopped daemon must be able to die of a catchable signal
    ::kill(pid_, sig);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

FakeDaemon::FakeDaemon(std::string socketPath, std::function<void(int)> onSession)
    : socketPath_(std::move(socketPath)), onSession_(std::move(onSession)) {}

FakeDaemon::~FakeDaemon() {
    stop();
}

bool FakeDaemon::start() {
    listenFd_ = unixsocket::listenOn(socketPath_);
    if (listenFd_ < 0 || ::pipe(stopPipe_) != 0) return false;
    thread_ = std::thread([this] { serve(); });
    return true;
}

void FakeDaemon::stop() {
    if (!thread_.joinable()) return;
    [[maybe_unused]] ssize_t n = ::write(stopPipe_[1], "x", 1);
    thread_.join();
    for (auto &t : sessions_)
        t.join();
    sessions_.clear();
    for (int fd : controls_)
        ::close(fd);
    controls_.clear();
    ::close(listenFd_);
    ::close(stopPipe_[0]);
    ::close(stopPipe_[1]);
    ::unlink(socketPath_.c_str());
}

void FakeDaemon::serve() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) return;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) serveOne(fd);
    }
}

void FakeDaemon::serveOne(int fd) {
    auto hello = unixsocket::readLine(fd);
    if (hello && *hello == "CONTROL") {
        std::string lines = "ATTACH fake-1\tFake\tVorasel\tVF1\t0001\t1.0\t1\t";
        lines += kProtocol;
        lines += "\nSYNC\n";
        unixsocket::writeAll(fd, lines.data(), lines.size());
        controls_.push_back(fd);
        return;
    }
    if (hello && hello->rfind("SESSION ", 0) == 0) {
        const uint8_t open[] = {'O', 0, 0, 0, 2, 1, 1};
        unixsocket::writeAll(fd, open, sizeof open);
        // The session's script runs apart, so that the control connection stays served.
        sessions_.emplace_back([this, fd] {
            onSession_(fd);
            ::close(fd);
        });
        return;
    }
    ::close(fd);
}

std::chrono::microseconds processCpuTime() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::duration_cast<std::chrono::microseconds>(
                                                 std::chrono::nanoseconds(ts.tv_nsec));
}

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kib = 0;
            status >> kib;
            return kib;
        }
        status.ignore(4096, '\n');
    }
    return 0;
}

bool finishesWithin(std::chrono::milliseconds limit, std::function<void()> work) {
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    std::thread([done, work = std::move(work)] {
        work();
        done->set_value();
    }).detach();
    return finished.wait_for(limit) == std::future_status::ready;
}

}  // namespace hv::test::transport
