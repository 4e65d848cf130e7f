// Serves simulated accessories to another process over a Unix-domain socket: attach and
// detach on control connections, one connection per protocol session, and commands.
// The wire is the one the library's socket transport speaks.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vorasel/sim/SimAccessory.h"

namespace hv::sim {

class AccessoryServer final : public SimAccessory::AttachListener {
public:
    // Answers a "COMMAND <words>" connection: "OK[ text]" or "ERR <text>".
    using CommandHandler = std::function<std::string(const std::vector<std::string> &words)>;

    explicit AccessoryServer(std::string socketPath);
    ~AccessoryServer() override;

    bool start();
    void stop();
    const std::string &socketPath() const { return path_; }

    void addAccessory(const std::shared_ptr<SimAccessory> &accessory);
    void setCommandHandler(CommandHandler handler);

    void accessoryAttached(SimAccessory &accessory) override;
    void accessoryDetached(SimAccessory &accessory) override;

private:
    void acceptLoop();
    void serve(int fd);
    void serveControl(int fd);
    void serveSession(int fd, const std::string &id, const std::string &protocolString);
    void serveCommand(int fd, const std::string &line);
    std::string attachLine(const std::string &id, SimAccessory &accessory) const;
    std::shared_ptr<SimAccessory> find(const std::string &id, std::string *prefix);
    void track(std::thread thread);

    const std::string path_;
    int listenFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread acceptThread_;
    std::mutex mutex_;
    std::vector<std::pair<std::string, std::shared_ptr<SimAccessory>>> accessories_;
    std::vector<int> controlFds_;
    std::vector<int> openFds_;
    std::vector<std::thread> threads_;
    CommandHandler commandHandler_;
};

}  // namespace hv::sim
