// Helpers for the transport's process-level tests: a real accessory daemon in a child process,
// a scripted fake daemon on a socket, and the process's own CPU time and memory.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace hv::test::transport {

// A directory of its own for the test's socket, removed with everything in it.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    std::string path(const std::string &name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
};

// vorasel-accessoryd in a child process. Killed (and reaped) on destruction.
class DaemonProcess {
public:
    DaemonProcess(std::string socketPath, std::vector<std::string> extraArgs = {"--card", "t1"});
    ~DaemonProcess();
    // Starts it and waits until it answers on its socket; false if it does not within 5 s.
    bool start();
    void signal(int sig);
    // Stops it and waits until it is stopped (a signal takes effect some time after it is sent).
    bool stop();
    // Kills it (if it runs) and reaps it.
    void kill(int sig = SIGKILL);
    pid_t pid() const { return pid_; }

private:
    std::string socketPath_;
    std::vector<std::string> args_;
    pid_t pid_ = -1;
};

// A daemon that speaks the wire's handshakes and then does what the test says: one listening
// socket served by one thread. The control connection announces one accessory offering
// `protocol`; every session is acknowledged as open and then handed to `onSession` with its
// socket (closed when the function returns).
class FakeDaemon {
public:
    static constexpr const char *kProtocol = "com.vorasel.test.hostile";

    FakeDaemon(std::string socketPath, std::function<void(int fd)> onSession);
    ~FakeDaemon();
    bool start();
    void stop();

private:
    void serve();
    void serveOne(int fd);

    std::string socketPath_;
    std::function<void(int)> onSession_;
    int listenFd_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::vector<int> controls_;  // kept open for the fake daemon's life
    std::vector<std::thread> sessions_;
    std::thread thread_;
};

// CPU time (user + system) the whole process has used.
std::chrono::microseconds processCpuTime();
// The process's resident set now, in KiB.
long residentKiB();
// Runs `work` on a thread of its own and waits at most `limit` for it; true when it ended in
// time. A call that hangs is left behind (detached) so that the test can report it.
bool finishesWithin(std::chrono::milliseconds limit, std::function<void()> work);

}  // namespace hv::test::transport
