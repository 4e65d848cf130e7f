// The accessory transport to an accessory daemon in another process, over Unix-domain sockets
// (wire format in AccessoryWire.h).
//
// A control connection reports the daemon's accessories attaching and detaching to
// EAAccessoryManager; every session is a connection of its own (SocketChannel). The provider
// follows the daemon: when it goes away its accessories detach, and when a daemon listens on
// the same path again (seen through inotify on the socket's directory, not by polling) its
// accessories attach again. Selected by the host, e.g. through the environment variable
// VORASEL_ACCESSORYD_SOCKET (see EAAccessoryManager).
#pragma once

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "Platform/ExternalAccessory/AccessoryProvider.h"

namespace hv::platform {

class EAAccessoryManager;

class SocketAccessoryProvider final : public AccessoryProvider,
                                      public std::enable_shared_from_this<SocketAccessoryProvider> {
public:
    static constexpr const char *SocketEnvironmentVariable = "VORASEL_ACCESSORYD_SOCKET";
    // How long a handshake with the daemon may take before the daemon counts as not answering.
    static constexpr auto kHandshakeTimeout = std::chrono::milliseconds(500);

    // Connects to the daemon and waits (briefly) until its current accessories are known.
    // Null when the daemon cannot be reached, unless `evenIfAbsent`: the provider then waits
    // for a daemon to appear on the path.
    static std::shared_ptr<SocketAccessoryProvider> connect(const std::string &socketPath,
                                                            EAAccessoryManager &manager,
                                                            size_t outputCapacity = 512,
                                                            bool evenIfAbsent = false);
    ~SocketAccessoryProvider() override;

    std::unique_ptr<SessionChannel> openSession(uint32_t connectionID,
                                                const std::string &protocolString) override;
    // Ends the control connection and stops following the daemon; its accessories detach.
    void stop();
    // Whether the control connection is up now: false while the daemon is away, and after
    // stop().
    bool isConnected() const { return connected_.load(); }
    // Whether the provider still follows its daemon (stop() has not been called).
    bool isFollowing() const;
    const std::string &socketPath() const { return path_; }

private:
    SocketAccessoryProvider(std::string path, EAAccessoryManager &manager, size_t outputCapacity);
    void controlLoop(int fd);
    // One control line from the daemon.
    void handleLine(const std::string &line);
    void detachAll();
    void markSynced();

    const std::string path_;
    EAAccessoryManager &manager_;
    const size_t outputCapacity_;
    const int stopFd_;
    std::atomic<bool> connected_{false};
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::map<uint32_t, std::string> daemonIds_;  // our connection ID -> the daemon's id
    std::promise<void> controlDone_;
    std::shared_future<void> controlFinished_ = controlDone_.get_future().share();
    static thread_local bool inControlLoop_;
    std::once_flag syncedOnce_;
    std::promise<void> synced_;
    std::shared_future<void> syncedFuture_ = synced_.get_future().share();
};

}  // namespace hv::platform
