// The accessory transport to an accessory daemon in another process, over Unix-domain sockets
// (wire format in AccessoryWire.h).
//
// A control connection reports the daemon's accessories attaching and detaching to
// EAAccessoryManager; every session is a connection of its own, served by one I/O thread that
// moves frames between the socket and two bounded buffers. Selected by the host, e.g. through
// the environment variable VORASEL_ACCESSORYD_SOCKET (see EAAccessoryManager).
#pragma once

#include <atomic>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Platform/ExternalAccessory/AccessoryProvider.h"

namespace hv::platform {

class EAAccessoryManager;

class SocketAccessoryProvider final : public AccessoryProvider,
                                      public std::enable_shared_from_this<SocketAccessoryProvider> {
public:
    static constexpr const char *SocketEnvironmentVariable = "VORASEL_ACCESSORYD_SOCKET";

    // Connects to the daemon and waits (briefly) until its current accessories are known.
    // Null when the daemon cannot be reached.
    static std::shared_ptr<SocketAccessoryProvider> connect(const std::string &socketPath,
                                                            EAAccessoryManager &manager,
                                                            size_t outputCapacity = 512);
    ~SocketAccessoryProvider() override;

    std::unique_ptr<SessionChannel> openSession(uint32_t connectionID,
                                                const std::string &protocolString) override;
    // Ends the control connection; the daemon's accessories detach.
    void stop();
    // Whether the control connection still runs: false once the daemon has gone away (its
    // accessories have then detached) or stop() was called.
    bool isConnected() const;
    const std::string &socketPath() const { return path_; }

private:
    SocketAccessoryProvider(std::string path, EAAccessoryManager &manager, size_t outputCapacity);
    void controlLoop(int fd);
    void detachAll();

    const std::string path_;
    EAAccessoryManager &manager_;
    const size_t outputCapacity_;
    std::mutex mutex_;
    std::map<uint32_t, std::string> daemonIds_;  // our connection ID -> the daemon's id
    int controlFd_ = -1;
    std::promise<void> controlDone_;
    std::shared_future<void> controlFinished_ = controlDone_.get_future().share();
    static thread_local bool inControlLoop_;
    void markSynced();
    std::once_flag syncedOnce_;
    std::promise<void> synced_;
    std::shared_future<void> syncedFuture_ = synced_.get_future().share();
};

}  // namespace hv::platform
