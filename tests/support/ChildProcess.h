// Another program run by a test: started, signalled, watched through /proc, waited for with
// a deadline, and killed when the test ends.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace hv::test {

class ChildProcess {
public:
    struct Options {
        std::vector<std::string> env;  // "NAME=value" added to the test's environment
        int passFd = -1;               // given to the child as fd 3 (socket activation)
        bool quiet = false;            // stderr to /dev/null
    };

    ChildProcess() = default;
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;
    ~ChildProcess();

    bool start(const std::vector<std::string> &argv, const Options &options);
    bool start(const std::vector<std::string> &argv) { return start(argv, Options{}); }
    pid_t pid() const { return pid_; }
    bool running();

    bool signal(int signal) const;
    // The exit status (or 128 + signal) once it ended within `timeout`; nothing otherwise.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    // SIGKILL and reap.
    void kill();

    // From /proc/PID: "Threads:", "VmRSS:" (KiB), the number of memory mappings and of open
    // file descriptors; -1 when unreadable.
    long statusField(const char *field) const;
    long threads() const { return statusField("Threads:"); }
    long rssKiB() const { return statusField("VmRSS:"); }
    long mappings() const;
    long openFds() const;

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Wait, with a deadline, until the process holds at most so many threads or descriptors.
bool waitUntilThreads(const ChildProcess &p, long atMost,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5));
bool waitUntilFds(const ChildProcess &p, long atMost,
                  std::chrono::milliseconds timeout = std::chrono::seconds(5));

// vorasel-accessoryd on a socket of its own in a fresh directory.
class DaemonProcess {
public:
    explicit DaemonProcess(std::vector<std::string> args = {"--card", "t1"},
                           const char *program = DaemonProcess::program());
    ~DaemonProcess();

    // Starts it and waits (with a deadline) until the socket accepts connections.
    bool start(ChildProcess::Options options = {});
    const std::string &socketPath() const { return socket_; }
    const std::string &directory() const { return dir_; }
    ChildProcess &process() { return process_; }

    // The daemon this test program was built with, unless VORASEL_DAEMON_UNDER_TEST names
    // another (to run the suite against an older build).
    static const char *program() {
        if (const char *other = std::getenv("VORASEL_DAEMON_UNDER_TEST")) return other;
#ifdef VORASEL_ACCESSORYD_PATH
        return VORASEL_ACCESSORYD_PATH;
#else
        return std::getenv("VORASEL_ACCESSORYD_PATH");
#endif
    }

private:
    const char *program_;
    std::vector<std::string> args_;
    std::string dir_;
    std::string socket_;
    ChildProcess process_;
};

}  // namespace hv::test
