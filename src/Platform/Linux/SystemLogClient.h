// A client of the system log daemon's datagram socket (/dev/log), in syslog's own line format:
// "<PRI>Mmm dd hh:mm:ss TAG[PID]: MESSAGE".
//
// Unlike syslog(3), it never blocks and never costs more than one system call per line when
// there is no daemon: a missing socket is tried again at most every few seconds, and a line the
// daemon has no room for is dropped (and counted) rather than waited for.
//
// Thread rules: send() may be called from any thread; lines are sent one at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace hv::platform {

class SystemLogClient {
public:
    explicit SystemLogClient(std::string socketPath = "/dev/log");
    ~SystemLogClient();
    SystemLogClient(const SystemLogClient &) = delete;
    SystemLogClient &operator=(const SystemLogClient &) = delete;

    // `priority` 0..7 on syslog's scale; the facility is "user".
    void send(int priority, const std::string &tag, const std::string &text);
    uint64_t dropped() const;

private:
    bool connectLocked(std::chrono::steady_clock::time_point now);

    const std::string socketPath_;
    mutable std::mutex mutex_;
    int fd_ = -1;
    std::chrono::steady_clock::time_point nextAttempt_{};
    uint64_t dropped_ = 0;
};

}  // namespace hv::platform
