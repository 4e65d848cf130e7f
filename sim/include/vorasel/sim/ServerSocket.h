// The daemon's listening Unix-domain socket: created with tight permissions, never put over
// anything but a stale socket, removed on exit only if it is still the one this process made.
// Or the socket a service manager passed at start-up (LISTEN_PID/LISTEN_FDS, fd 3).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace hv::sim {

class ServerSocket {
public:
    ServerSocket() = default;
    ServerSocket(ServerSocket &&other) noexcept;
    ServerSocket &operator=(ServerSocket &&other) noexcept;
    ServerSocket(const ServerSocket &) = delete;
    ServerSocket &operator=(const ServerSocket &) = delete;
    ~ServerSocket();

    // Binds and listens on `path`: mode 0600, or 0660 owned by `group` when one is given.
    // A socket nobody listens on is replaced; anything else there is an error.
    static std::optional<ServerSocket> bindTo(const std::string &path, std::optional<gid_t> group,
                                              std::string &error);
    // The socket passed by the service manager, if the environment says one was passed to this
    // process; nothing otherwise (and `error` set when it was passed but is unusable).
    static std::optional<ServerSocket> fromActivation(std::string &error);

    // $XDG_RUNTIME_DIR/vorasel/accessoryd.sock, or /run/vorasel/accessoryd.sock for root
    // without one; empty when neither applies. Creates the directory when missing.
    static std::string defaultPath(std::string &error);

    int fd() const { return fd_; }
    const std::string &path() const { return path_; }
    bool activated() const { return activated_; }
    // Stops listening and removes the path if it is still this socket.
    void close();

private:
    int fd_ = -1;
    std::string path_;
    bool activated_ = false;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

}  // namespace hv::sim
