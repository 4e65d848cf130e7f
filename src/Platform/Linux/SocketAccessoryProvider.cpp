#include "Platform/Linux/SocketAccessoryProvider.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "Platform/ExternalAccessory/EAAccessoryManager.h"
#include "Platform/Linux/AccessoryWire.h"
#include "Platform/Linux/SocketChannel.h"
#include "Platform/Linux/UnixSocket.h"
#include "Platform/ThreadName.h"

namespace hv::platform {
namespace {

using Clock = std::chrono::steady_clock;

// A control line longer than this is a broken peer.
constexpr size_t kMaxControlLine = 4096;
// After the socket's file changes, a daemon may still be between bind() and listen(): keep
// trying for this long, every kRetryStep.
constexpr auto kRetryWindow = std::chrono::milliseconds(1000);
constexpr auto kRetryStep = std::chrono::milliseconds(20);
// Without inotify (the directory is missing), looking again this often is the fallback.
constexpr auto kBlindRetry = std::chrono::milliseconds(1000);

// A control connection past its hello, or -1.
int openControl(const std::string &path) {
    const auto deadline = Clock::now() + SocketAccessoryProvider::kHandshakeTimeout;
    const int fd = unixsocket::connectBy(path, deadline);
    if (fd < 0) return -1;
    static const char hello[] = "CONTROL\n";
    if (!unixsocket::writeAllBy(fd, hello, sizeof hello - 1, deadline)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string directoryOf(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseNameOf(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Reads what inotify has; true when an event names `name`.
bool drainWatch(int fd, const std::string &name) {
    alignas(inotify_event) char buf[4096];
    bool named = false;
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) return named;
        for (ssize_t at = 0; at < n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buf + at);
            if (event->len && name == event->name) named = true;
            // A directory that went away takes the watch with it; lost events may be ours.
            if (event->mask & (IN_IGNORED | IN_Q_OVERFLOW)) named = true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

}  // namespace

std::shared_ptr<SocketAccessoryProvider> SocketAccessoryProvider::connect(
    const std::string &socketPath, EAAccessoryManager &manager, size_t outputCapacity,
    bool evenIfAbsent) {
    const int fd = openControl(socketPath);
    if (fd < 0 && !evenIfAbsent) return nullptr;
    std::shared_ptr<SocketAccessoryProvider> provider(
        new SocketAccessoryProvider(socketPath, manager, outputCapacity));
    if (provider->stopFd_ < 0) {
        if (fd >= 0) ::close(fd);
        return nullptr;
    }
    provider->connected_ = fd >= 0;
    // Detached: a process-wide provider may outlive main(); stop() waits for the loop instead.
    std::thread([p = provider, fd] {
        p->controlLoop(fd);
        p->controlDone_.set_value();
    }).detach();
    // The daemon first lists what is attached, then says so.
    if (fd >= 0) provider->syncedFuture_.wait_for(std::chrono::seconds(1));
    return provider;
}

thread_local bool SocketAccessoryProvider::inControlLoop_ = false;

void SocketAccessoryProvider::markSynced() {
    std::call_once(syncedOnce_, [this] { synced_.set_value(); });
}

SocketAccessoryProvider::SocketAccessoryProvider(std::string path, EAAccessoryManager &manager,
                                                 size_t outputCapacity)
    : path_(std::move(path)),
      manager_(manager),
      outputCapacity_(outputCapacity),
      stopFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

SocketAccessoryProvider::~SocketAccessoryProvider() {
    stop();
    if (stopFd_ >= 0) ::close(stopFd_);
}

void SocketAccessoryProvider::stop() {
    if (stopping_.exchange(true)) return;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(stopFd_, &one, sizeof one);
    // The loop's accessories have detached when it ends; from inside it, it ends right after.
    if (!inControlLoop_) controlFinished_.wait();
}

bool SocketAccessoryProvider::isFollowing() const {
    return !stopping_.load();
}

void SocketAccessoryProvider::controlLoop(int fd) {
    inControlLoop_ = true;
    setCurrentThreadName("vorasel-control");
    const std::string name = baseNameOf(path_);
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    auto addWatch = [&] {
        return watch >= 0 &&
               inotify_add_watch(watch, directoryOf(path_).c_str(),
                                 IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_ONLYDIR) >= 0;
    };
    bool watching = addWatch();
    Clock::time_point retryUntil{};  // while ahead, connecting is tried every kRetryStep
    Clock::time_point nextBlind = Clock::now() + kBlindRetry;
    std::string pending;  // an unfinished control line
    char buf[2048];

    for (;;) {
        const auto now = Clock::now();
        int timeout = -1;
        if (fd < 0) {
            if (now < retryUntil)
                timeout = static_cast<int>(kRetryStep.count());
            else if (!watching)
                timeout = static_cast<int>(
                    std::chrono::ceil<std::chrono::milliseconds>(nextBlind - now).count());
        }
        pollfd fds[2] = {{stopFd_, POLLIN, 0}, {fd >= 0 ? fd : watch, POLLIN, 0}};
        const int ready = ::poll(fds, 2, timeout < 0 ? -1 : std::max(timeout, 0));
        if (ready < 0 && errno != EINTR) break;
        if (fds[0].revents & POLLIN) break;

        if (fd >= 0) {
            if (!(fds[1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
            bool lost = n <= 0;
            for (ssize_t i = 0; i < n && !lost; ++i) {
                if (buf[i] != '\n') {
                    pending.push_back(buf[i]);
                    lost = pending.size() > kMaxControlLine;
                    continue;
                }
                handleLine(pending);
                pending.clear();
            }
            if (!lost) continue;
            // The daemon went away (or broke the protocol): its accessories leave with it, and
            // the path is watched for its return.
            ::close(fd);
            fd = -1;
            pending.clear();
            connected_ = false;
            markSynced();
            detachAll();
            // A daemon that came back while this one was being served has already made its
            // socket anew: the watch holds that news.
            if (watch >= 0 && drainWatch(watch, name)) retryUntil = Clock::now() + kRetryWindow;
            nextBlind = Clock::now() + kBlindRetry;
        } else {
            if (watching && (fds[1].revents & POLLIN) && drainWatch(watch, name)) {
                retryUntil = Clock::now() + kRetryWindow;
                watching = addWatch();
            }
            const auto at = Clock::now();
            const bool due = at <= retryUntil || (!watching && at >= nextBlind);
            if (!due) continue;
            if (!watching && at >= nextBlind) {
                nextBlind = at + kBlindRetry;
                watching = addWatch();
            }
            fd = openControl(path_);
            if (fd >= 0) {
                retryUntil = {};
                connected_ = true;
            }
        }
    }
    if (fd >= 0) ::close(fd);
    if (watch >= 0) ::close(watch);
    connected_ = false;
    markSynced();
    detachAll();
}

void SocketAccessoryProvider::handleLine(const std::string &line) {
    auto message = wire::parseControlLine(line);
    if (!message) return;
    switch (message->kind) {
        case wire::ControlLine::Kind::Sync:
            markSynced();
            break;
        case wire::ControlLine::Kind::Attach: {
            {
                // An attach that races the initial listing may be announced twice.
                std::lock_guard lock(mutex_);
                for (const auto &[ours, theirs] : daemonIds_)
                    if (theirs == message->id) return;
            }
            auto accessory = manager_.accessoryAttached(std::move(message->info));
            std::lock_guard lock(mutex_);
            daemonIds_[accessory->connectionID()] = message->id;
            break;
        }
        case wire::ControlLine::Kind::Detach: {
            uint32_t ours = 0;
            {
                std::lock_guard lock(mutex_);
                for (auto it = daemonIds_.begin(); it != daemonIds_.end(); ++it) {
                    if (it->second == message->id) {
                        ours = it->first;
                        daemonIds_.erase(it);
                        break;
                    }
                }
            }
            if (ours) manager_.accessoryDetached(ours);
            break;
        }
    }
}

void SocketAccessoryProvider::detachAll() {
    std::map<uint32_t, std::string> ids;
    {
        std::lock_guard lock(mutex_);
        ids.swap(daemonIds_);
    }
    for (const auto &[ours, theirs] : ids)
        manager_.accessoryDetached(ours);
}

std::unique_ptr<SessionChannel> SocketAccessoryProvider::openSession(
    uint32_t connectionID, const std::string &protocolString) {
    std::string daemonId;
    {
        std::lock_guard lock(mutex_);
        auto it = daemonIds_.find(connectionID);
        if (it == daemonIds_.end()) return nullptr;
        daemonId = it->second;
    }
    const auto deadline = Clock::now() + kHandshakeTimeout;
    const int fd = unixsocket::connectBy(path_, deadline);
    if (fd < 0) return nullptr;
    // Small kernel buffers: the channel's own bounded buffers decide when the writer waits.
    const int small = 2048;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const std::string hello = "SESSION " + daemonId + " " + protocolString + "\n";
    // The daemon answers the name with 'R' (refused) or the open states.
    uint8_t answer[wire::kHeaderSize + 2];
    if (!unixsocket::writeAllBy(fd, hello.data(), hello.size(), deadline) ||
        !unixsocket::readExactBy(fd, answer, wire::kHeaderSize, deadline) || answer[0] != 'O' ||
        wire::payloadLength(answer) != 2 ||
        !unixsocket::readExactBy(fd, answer + wire::kHeaderSize, 2, deadline)) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<SocketChannel>(fd, outputCapacity_, answer[wire::kHeaderSize],
                                           answer[wire::kHeaderSize + 1]);
}

}  // namespace hv::platform
