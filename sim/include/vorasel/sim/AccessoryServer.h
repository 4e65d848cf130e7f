// Serves simulated accessories to another process over a Unix-domain socket: attach and
// detach on control connections, one connection per protocol session, and commands.
// The wire is the one the library's socket transport speaks.
//
// One event loop accepts, reads every connection's first line, answers commands and feeds
// the control connections, each through a bounded buffer of its own. A session, once opened,
// is the devices' to serve: they read and write its socket on their own threads. A session
// whose faults or records are wanted (SimAccessory::sessionsShaped) goes through a SimSession
// instead, relayed by a thread of its own that the loop joins when it ends.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "vorasel/sim/ServerSocket.h"
#include "vorasel/sim/SimAccessory.h"

namespace hv::sim {

class AccessoryServer final : public SimAccessory::AttachListener {
public:
    // Answers a "COMMAND <words>" connection: "OK[ text]" or "ERR <text>".
    using CommandHandler = std::function<std::string(const std::vector<std::string> &words)>;

    struct Limits {
        std::chrono::milliseconds helloTimeout{2000};  // for the first line of a connection
        size_t controlBuffer = 64 * 1024;              // unread control lines before a drop
        size_t maxSessions = 64;                       // sessions served at once
        size_t maxConnections = 256;                   // connections not yet in a session
    };

    explicit AccessoryServer(std::string socketPath);
    ~AccessoryServer() override;

    // Peers of this group may connect too (besides this user and root).
    void setAllowedGroup(std::optional<gid_t> group) { group_ = group; }
    void setLimits(Limits limits) { limits_ = limits; }

    // Binds the path given at construction.
    bool start();
    // Serves on a socket made elsewhere (socket activation).
    bool start(ServerSocket socket);
    void stop();
    const std::string &socketPath() const { return path_; }
    const std::string &lastError() const { return error_; }

    void addAccessory(const std::shared_ptr<SimAccessory> &accessory);
    void setCommandHandler(CommandHandler handler);

    void accessoryAttached(SimAccessory &accessory) override;
    void accessoryDetached(SimAccessory &accessory) override;

    // Relay threads running (sessions served through a SimSession).
    size_t sessionThreads() const;

private:
    struct Connection;
    struct SessionWorker;

    void loop();
    void wake();
    void accept();
    void onReadable(Connection &c);
    void onHello(Connection &c, const std::string &line);
    void flush(Connection &c);
    void drop(int fd);
    void broadcastPending();
    void reapSessions();
    size_t liveSessionsLocked();
    bool peerAllowed(int fd) const;
    std::string runCommand(const std::vector<std::string> &words);
    void startSession(int fd, const std::string &id, const std::string &protocolString);
    void serveSession(int fd, const std::string &id, const std::string &protocolString);
    std::string attachLine(const std::string &id, SimAccessory &accessory) const;
    std::shared_ptr<SimAccessory> find(const std::string &id, std::string *prefix);

    std::string path_;
    std::string error_;
    std::optional<gid_t> group_;
    Limits limits_;
    ServerSocket socket_;
    int epollFd_ = -1;
    int wakeFd_ = -1;
    std::atomic<bool> stopping_{false};
    bool started_ = false;
    std::thread loopThread_;
    std::unordered_map<int, std::unique_ptr<Connection>> connections_;  // the loop's own
    std::optional<Clock::time_point> acceptResumes_;  // accepting paused while out of fds

    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, std::shared_ptr<SimAccessory>>> accessories_;
    std::vector<std::string> pendingLines_;  // attach/detach lines for every control client
    std::list<std::shared_ptr<SessionWorker>> sessions_;
    std::vector<std::weak_ptr<SessionPort>> directPorts_;  // sessions the devices serve
    CommandHandler commandHandler_;
};

}  // namespace hv::sim
