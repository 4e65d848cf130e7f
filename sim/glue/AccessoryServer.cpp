// Glue between simulated accessories and the library's socket transport: like the in-process
// link, this file knows the library's wire (and nothing else of it).
#include "vorasel/sim/AccessoryServer.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Platform/Linux/AccessoryWire.h"
#include "Platform/Linux/UnixSocket.h"
#include "SocketSessionPort.h"
#include "vorasel/sim/DaemonWire.h"

namespace hv::sim {

namespace us = hv::platform::unixsocket;
namespace wire = hv::platform::wire;

namespace {

constexpr size_t kMaxHelloLine = 4096;

bool hasGroup(gid_t want, uid_t uid, const ucred &cred, int fd) {
    if (cred.gid == want) return true;
    gid_t groups[64];
    socklen_t len = sizeof groups;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups, &len) == 0) {
        return std::find(groups, groups + len / sizeof(gid_t), want) !=
               groups + len / sizeof(gid_t);
    }
    // Older kernels, or more groups than fit above: ask the group database.
    passwd pw, *found = nullptr;
    char buf[4096];
    if (::getpwuid_r(uid, &pw, buf, sizeof buf, &found) != 0 || !found) return false;
    int n = 256;
    std::vector<gid_t> list(static_cast<size_t>(n));
    if (::getgrouplist(pw.pw_name, pw.pw_gid, list.data(), &n) < 0) return false;
    return std::find(list.begin(), list.begin() + n, want) != list.begin() + n;
}

}  // namespace

struct AccessoryServer::Connection {
    enum class Kind { Hello, Control, Command };
    int fd = -1;
    Kind kind = Kind::Hello;
    Clock::time_point helloDeadline;
    std::string out;
    bool closeAfterFlush = false;
};

struct AccessoryServer::SessionWorker {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> done{false};
};

AccessoryServer::AccessoryServer(std::string socketPath) : path_(std::move(socketPath)) {
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
}

AccessoryServer::~AccessoryServer() {
    stop();
    us::closeQuietly(epollFd_);
    us::closeQuietly(wakeFd_);
}

bool AccessoryServer::start() {
    auto socket = ServerSocket::bindTo(path_, group_, error_);
    if (!socket) return false;
    return start(std::move(*socket));
}

bool AccessoryServer::start(ServerSocket socket) {
    if (started_ || epollFd_ < 0 || wakeFd_ < 0 || socket.fd() < 0) {
        if (error_.empty()) error_ = "cannot start the server";
        return false;
    }
    socket_ = std::move(socket);
    if (!socket_.path().empty()) path_ = socket_.path();
    ::fcntl(socket_.fd(), F_SETFL, ::fcntl(socket_.fd(), F_GETFL) | O_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = socket_.fd();
    ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, socket_.fd(), &ev);
    ev.data.fd = wakeFd_;
    ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &ev);
    started_ = true;
    loopThread_ = std::thread([this] { loop(); });
    return true;
}

void AccessoryServer::stop() {
    if (stopping_.exchange(true)) return;
    wake();
    if (loopThread_.joinable()) loopThread_.join();
    std::list<std::shared_ptr<SessionWorker>> sessions;
    std::vector<std::pair<std::string, std::shared_ptr<SimAccessory>>> accessories;
    std::vector<std::weak_ptr<SessionPort>> direct;
    {
        std::lock_guard lock(mutex_);
        for (auto &w : sessions_)
            ::shutdown(w->fd, SHUT_RDWR);
        sessions.swap(sessions_);
        direct.swap(directPorts_);
        accessories = accessories_;
    }
    for (auto &weak : direct)
        if (auto port = weak.lock()) port->close();
    for (auto &[id, a] : accessories) {
        a->setAttachListener(nullptr);
        a->detach();  // ends every session, so relays waiting on pipes return
    }
    for (auto &w : sessions) {
        if (w->thread.joinable()) w->thread.join();
        ::close(w->fd);
    }
    socket_.close();
}

void AccessoryServer::wake() {
    const uint64_t one = 1;
    if (wakeFd_ >= 0) [[maybe_unused]]
        auto n = ::write(wakeFd_, &one, sizeof one);
}

void AccessoryServer::addAccessory(const std::shared_ptr<SimAccessory> &accessory) {
    {
        std::lock_guard lock(mutex_);
        accessories_.emplace_back(std::to_string(accessories_.size() + 1), accessory);
    }
    accessory->setAttachListener(this);
}

void AccessoryServer::setCommandHandler(CommandHandler handler) {
    std::lock_guard lock(mutex_);
    commandHandler_ = std::move(handler);
}

size_t AccessoryServer::sessionThreads() const {
    std::lock_guard lock(mutex_);
    return sessions_.size();
}

std::string AccessoryServer::attachLine(const std::string &id, SimAccessory &accessory) const {
    const AccessoryIdentity i = accessory.identity();
    std::string protocols;
    for (const auto &p : accessory.protocolStrings())
        protocols += (protocols.empty() ? "" : ",") + p;
    return "ATTACH " + id + "\t" + i.name + "\t" + i.manufacturer + "\t" + i.modelNumber + "\t" +
           i.serialNumber + "\t" + i.firmwareRevision + "\t" + i.hardwareRevision + "\t" +
           protocols + "\n";
}

// Attach and detach may come from any thread; the loop hands the lines out.
void AccessoryServer::accessoryAttached(SimAccessory &accessory) {
    {
        std::lock_guard lock(mutex_);
        for (auto &[id, a] : accessories_)
            if (a.get() == &accessory) pendingLines_.push_back(attachLine(id, accessory));
    }
    wake();
}

void AccessoryServer::accessoryDetached(SimAccessory &accessory) {
    {
        std::lock_guard lock(mutex_);
        for (auto &[id, a] : accessories_)
            if (a.get() == &accessory) pendingLines_.push_back("DETACH " + id + "\n");
    }
    wake();
}

std::shared_ptr<SimAccessory> AccessoryServer::find(const std::string &id, std::string *prefix) {
    std::lock_guard lock(mutex_);
    for (auto &[i, a] : accessories_) {
        if (i != id) continue;
        *prefix = a->identity().protocolPrefix + ".";
        return a;
    }
    return nullptr;
}

bool AccessoryServer::peerAllowed(int fd) const {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
    if (cred.uid == ::geteuid() || cred.uid == 0) return true;
    return group_ && hasGroup(*group_, cred.uid, cred, fd);
}

void AccessoryServer::loop() {
    epoll_event events[64];
    while (!stopping_.load()) {
        int timeout = -1;
        const auto now = Clock::now();
        if (acceptResumes_) {
            if (*acceptResumes_ <= now) {
                epoll_event ev{};
                ev.events = EPOLLIN;
                ev.data.fd = socket_.fd();
                ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, socket_.fd(), &ev);
                acceptResumes_.reset();
            } else {
                timeout = static_cast<int>(
                    std::chrono::ceil<std::chrono::milliseconds>(*acceptResumes_ - now).count());
            }
        }
        for (auto &[fd, c] : connections_) {
            if (c->kind != Connection::Kind::Hello) continue;
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(c->helloDeadline - now);
            const int ms = static_cast<int>(std::max<long long>(0, left.count()));
            timeout = timeout < 0 ? ms : std::min(timeout, ms);
        }
        const int n = ::epoll_wait(epollFd_, events, 64, timeout);
        if (n < 0 && errno != EINTR) break;
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == socket_.fd()) {
                accept();
            } else if (fd == wakeFd_) {
                uint64_t count;
                [[maybe_unused]] auto r = ::read(wakeFd_, &count, sizeof count);
                broadcastPending();
                reapSessions();
            } else if (auto it = connections_.find(fd); it != connections_.end()) {
                Connection &c = *it->second;
                if (events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) onReadable(c);
                if (connections_.count(fd) && (events[i].events & EPOLLOUT)) flush(c);
            }
        }
        // Whoever has not named its use in time is dropped.
        const auto later = Clock::now();
        std::vector<int> expired;
        for (auto &[fd, c] : connections_)
            if (c->kind == Connection::Kind::Hello && c->helloDeadline <= later)
                expired.push_back(fd);
        for (int fd : expired)
            drop(fd);
    }
    std::vector<int> all;
    for (auto &[fd, c] : connections_)
        all.push_back(fd);
    for (int fd : all)
        drop(fd);
}

void AccessoryServer::accept() {
    for (;;) {
        const int fd = ::accept4(socket_.fd(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: the waiting connection would wake the loop at once, again
                // and again. Stop listening for a moment instead of spinning.
                epoll_event ev{};
                ev.data.fd = socket_.fd();
                ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, socket_.fd(), &ev);
                acceptResumes_ = Clock::now() + std::chrono::milliseconds(100);
            }
            return;
        }
        if (!peerAllowed(fd) || connections_.size() >= limits_.maxConnections) {
            ::close(fd);
            continue;
        }
        auto c = std::make_unique<Connection>();
        c->fd = fd;
        c->helloDeadline = Clock::now() + limits_.helloTimeout;
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        ev.data.fd = fd;
        if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
            ::close(fd);
            continue;
        }
        connections_.emplace(fd, std::move(c));
    }
}

void AccessoryServer::drop(int fd) {
    ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
    ::close(fd);
    connections_.erase(fd);
}

void AccessoryServer::onReadable(Connection &c) {
    const int fd = c.fd;
    if (c.kind == Connection::Kind::Hello) {
        // Peeked, not read: after a session's line come its frames, which are not ours.
        char buf[kMaxHelloLine + 1];
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_PEEK | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n <= 0) return drop(fd);
        const auto *end = static_cast<const char *>(std::memchr(buf, '\n', size_t(n)));
        if (!end) {
            if (size_t(n) > kMaxHelloLine) drop(fd);
            return;  // the rest of the line comes with the next edge
        }
        const size_t length = size_t(end - buf);
        [[maybe_unused]] auto taken = ::recv(fd, buf, length + 1, MSG_DONTWAIT);
        return onHello(c, std::string(buf, length));
    }
    // Control and command clients have nothing more to say; only their hang-up counts.
    char sink[512];
    for (;;) {
        const ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n > 0) continue;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return;
        return drop(fd);
    }
}

void AccessoryServer::onHello(Connection &c, const std::string &line) {
    Hello hello = parseHello(line);
    switch (hello.kind) {
        case Hello::Kind::Control: {
            broadcastPending();  // earlier changes are not this client's news
            c.kind = Connection::Kind::Control;
            {
                std::lock_guard lock(mutex_);
                for (auto &[id, a] : accessories_)
                    if (a->isAttached()) c.out += attachLine(id, *a);
            }
            c.out += "SYNC\n";
            return flush(c);
        }
        case Hello::Kind::Session: {
            const int fd = c.fd;
            ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
            connections_.erase(fd);
            return startSession(fd, hello.accessoryId, hello.protocol);
        }
        case Hello::Kind::Command:
            c.kind = Connection::Kind::Command;
            c.out = runCommand(hello.words) + "\n";
            c.closeAfterFlush = true;
            return flush(c);
        case Hello::Kind::Invalid:
            break;
    }
    drop(c.fd);
}

void AccessoryServer::flush(Connection &c) {
    while (!c.out.empty()) {
        const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return;  // EPOLLOUT brings us back
        if (n <= 0) return drop(c.fd);
        c.out.erase(0, size_t(n));
    }
    if (c.closeAfterFlush) drop(c.fd);
}

void AccessoryServer::broadcastPending() {
    std::vector<std::string> lines;
    {
        std::lock_guard lock(mutex_);
        lines.swap(pendingLines_);
    }
    if (lines.empty()) return;
    std::vector<int> controls;
    for (auto &[fd, c] : connections_)
        if (c->kind == Connection::Kind::Control) controls.push_back(fd);
    for (int fd : controls) {
        Connection &c = *connections_.at(fd);
        for (const auto &l : lines)
            c.out += l;
        // A client that does not read is dropped; nobody else waits for it.
        if (c.out.size() > limits_.controlBuffer)
            drop(fd);
        else
            flush(c);
    }
}

std::string AccessoryServer::runCommand(const std::vector<std::string> &words) {
    if (!words.empty() && (words[0] == "attach" || words[0] == "detach")) {
        std::vector<std::shared_ptr<SimAccessory>> all;
        {
            std::lock_guard lock(mutex_);
            for (auto &[id, a] : accessories_)
                all.push_back(a);
        }
        for (auto &a : all)
            words[0] == "attach" ? a->attach() : a->detach();
        return "OK";
    }
    CommandHandler handler;
    {
        std::lock_guard lock(mutex_);
        handler = commandHandler_;
    }
    return handler ? handler(words) : "ERR unknown command";
}

namespace {

uint8_t encodeOpen(SimSession::OpenState s) {
    return s == SimSession::OpenState::Open ? 1 : s == SimSession::OpenState::Failed ? 2 : 0;
}

bool sendFrame(int fd, char type, const uint8_t *payload, size_t length) {
    auto f = wire::frame(type, payload, length);
    return us::writeAll(fd, f.data(), f.size());
}

}  // namespace

void AccessoryServer::reapSessions() {
    std::vector<std::shared_ptr<SessionWorker>> ended;
    {
        std::lock_guard lock(mutex_);
        for (auto it = sessions_.begin(); it != sessions_.end();) {
            if ((*it)->done.load(std::memory_order_acquire)) {
                ended.push_back(*it);
                it = sessions_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto &w : ended) {
        w->thread.join();
        ::close(w->fd);
    }
}

size_t AccessoryServer::liveSessionsLocked() {
    std::erase_if(directPorts_, [](const auto &weak) {
        auto port = weak.lock();
        return !port || !port->isOpen();
    });
    return sessions_.size() + directPorts_.size();
}

// On the loop's thread, the only one that adds sessions.
void AccessoryServer::startSession(int fd, const std::string &id,
                                   const std::string &protocolString) {
    reapSessions();
    bool full;
    {
        std::lock_guard lock(mutex_);
        full = liveSessionsLocked() >= limits_.maxSessions;
    }
    std::string prefix;
    auto accessory = full ? nullptr : find(id, &prefix);
    if (!accessory || protocolString.rfind(prefix, 0) != 0) {
        sendFrame(fd, 'R', nullptr, 0);
        ::close(fd);
        return;
    }
    // The devices serve the socket themselves unless the session is to be shaped or recorded.
    const std::string suffix = protocolString.substr(prefix.size());
    if (!accessory->sessionsShaped(suffix)) {
        auto port = std::make_shared<SocketSessionPort>(fd, suffix);
        if (!accessory->openDirectSession(suffix, port, [&] { port->announceOpen(); })) {
            port->refuse();
            return;  // the port closes the descriptor
        }
        std::lock_guard lock(mutex_);
        directPorts_.push_back(port);
        return;
    }
    auto w = std::make_shared<SessionWorker>();
    w->fd = fd;
    w->thread = std::thread([this, w, id, protocolString] {
        serveSession(w->fd, id, protocolString);
        w->done.store(true, std::memory_order_release);
        wake();  // the loop joins it
    });
    std::lock_guard lock(mutex_);
    sessions_.push_back(std::move(w));
}

namespace {

// Wakes a session's relay from the device's threads. Shared with the session's listener, which
// a device thread may still be calling after the relay has ended: the descriptor lives as long
// as the last holder.
struct Waker {
    int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ~Waker() { us::closeQuietly(fd); }
    void raise() const {
        const uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(fd, &one, sizeof one);
    }
    void drain() const {
        uint64_t count;
        [[maybe_unused]] auto n = ::read(fd, &count, sizeof count);
    }
};

// Frames for the host, appended to a buffer that is reused for the whole session.
void appendFrame(std::vector<uint8_t> &out, char type, const uint8_t *payload, size_t length) {
    const size_t at = out.size();
    out.resize(at + wire::kHeaderSize + length);
    wire::putHeader(out.data() + at, type, static_cast<uint32_t>(length));
    if (length) std::memcpy(out.data() + at + wire::kHeaderSize, payload, length);
}

}  // namespace

// One thread relays both ways: it sleeps in poll on the socket and on the session's waker, so
// an idle session costs nothing and an answer goes out the moment the device writes it.
void AccessoryServer::serveSession(int fd, const std::string &id,
                                   const std::string &protocolString) {
    std::string prefix;
    auto accessory = find(id, &prefix);
    std::shared_ptr<SimSession> session;
    if (accessory && protocolString.rfind(prefix, 0) == 0)
        session = accessory->openSession(protocolString.substr(prefix.size()));
    if (!session) {
        sendFrame(fd, 'R', nullptr, 0);
        return;
    }
    auto waker = std::make_shared<Waker>();
    if (waker->fd < 0) {
        session->hostClose();
        return;
    }
    session->setListener([waker] { waker->raise(); });
    // Keep the socket's own buffering small, so that the session's bounded pipes, not the
    // kernel, decide when the host must wait.
    const int small = 2048;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);

    constexpr size_t kChunk = 16384;
    constexpr size_t kOutLimit = 4 * kChunk;  // past this, the device waits for the host
    std::vector<uint8_t> out;
    out.reserve(kOutLimit + kChunk + 64);
    size_t outSent = 0;
    std::vector<uint8_t> in(kChunk);
    size_t inPos = 0, inLen = 0;
    FrameReader frames(wire::kMaxPayload);
    bool inFlight = false;  // a data frame partly handed to the device
    size_t written = 0;
    bool hostEnded = false, deviceInputGone = false, deviceEnded = false, shutDown = false;

    uint8_t lastStates[2] = {encodeOpen(session->openState(true)),
                             encodeOpen(session->openState(false))};
    appendFrame(out, 'O', lastStates, 2);
    bool sentErrorIn = false, sentErrorOut = false, sentClosed = false;

    for (;;) {
        // Host to device: as much as the pipe takes; the rest waits for the device to read.
        for (;;) {
            if (inFlight) {
                const auto payload = frames.payload();
                const ptrdiff_t n = deviceInputGone ? -1
                                                    : session->relayWrite(payload.data() + written,
                                                                          payload.size() - written);
                if (n < 0) {
                    deviceInputGone = true;
                    inFlight = false;
                } else {
                    written += static_cast<size_t>(n);
                    if (written < payload.size()) break;
                    inFlight = false;
                }
            }
            if (inPos == inLen) break;
            std::span<const uint8_t> rest(in.data() + inPos, inLen - inPos);
            const auto status = frames.next(rest);
            inPos = inLen - rest.size();
            if (status == FrameReader::Status::TooLong) {
                // A length past the protocol's bound: a broken peer, and the end of it.
                session->toDevice().close();
                session->setListener(nullptr);
                session->hostClose();
                return;
            }
            if (status == FrameReader::Status::Frame && frames.type() == 'D' &&
                !frames.payload().empty()) {
                inFlight = true;
                written = 0;
            }
        }

        // The host's half-close ends the device input, once what came before it is through.
        if (hostEnded && !inFlight && inPos == inLen && !deviceInputGone) {
            session->toDevice().close();
            deviceInputGone = true;
        }

        // Device to host, while the host keeps up.
        while (!deviceEnded && out.size() - outSent < kOutLimit &&
               (session->toHost().available() > 0 || session->toHost().isClosed())) {
            bool separate = false;
            const size_t at = out.size();
            out.resize(at + wire::kHeaderSize + kChunk);
            const ptrdiff_t n = session->hostReadPiece(out.data() + at + wire::kHeaderSize, kChunk,
                                                       Clock::now(), &separate);
            if (n > 0) {
                out.resize(at + wire::kHeaderSize + static_cast<size_t>(n));
                wire::putHeader(out.data() + at, separate ? 'P' : 'D', static_cast<uint32_t>(n));
            } else {
                out.resize(at);
                if (n < 0) deviceEnded = true;
                break;
            }
        }
        const uint8_t now[2] = {encodeOpen(session->openState(true)),
                                encodeOpen(session->openState(false))};
        if (now[0] != lastStates[0] || now[1] != lastStates[1]) {
            lastStates[0] = now[0];
            lastStates[1] = now[1];
            appendFrame(out, 'O', now, 2);
        }
        for (bool input : {true, false}) {
            bool &sent = input ? sentErrorIn : sentErrorOut;
            if (sent) continue;
            if (auto e = session->error(input);
                e && session->openState(input) != SimSession::OpenState::Failed) {
                std::vector<uint8_t> p{
                    static_cast<uint8_t>(input ? 0 : 1), static_cast<uint8_t>(e->code >> 24),
                    static_cast<uint8_t>(e->code >> 16), static_cast<uint8_t>(e->code >> 8),
                    static_cast<uint8_t>(e->code)};
                p.insert(p.end(), e->description.begin(), e->description.end());
                appendFrame(out, 'E', p.data(), p.size());
                sent = true;
            }
        }
        if (!sentClosed && session->toDevice().isClosed()) {
            appendFrame(out, 'C', nullptr, 0);
            sentClosed = true;
        }

        // Out to the host, as far as the socket takes it.
        bool hostGone = false;
        while (outSent < out.size()) {
            const ssize_t n =
                ::send(fd, out.data() + outSent, out.size() - outSent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                outSent += static_cast<size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                hostGone = !(n < 0 && errno == EAGAIN);
                break;
            }
        }
        if (outSent == out.size()) {
            out.clear();
            outSent = 0;
        }
        if (hostGone) break;
        if (deviceEnded && out.empty() && !shutDown) {
            ::shutdown(fd, SHUT_WR);  // the device ended: the host sees end of stream
            shutDown = true;
        }
        if (shutDown && hostEnded) break;

        const bool wantInput = !hostEnded && inPos == inLen && !inFlight;
        pollfd p[2] = {{fd, short((wantInput ? POLLIN : 0) | (out.empty() ? 0 : POLLOUT)), 0},
                       {waker->fd, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno != EINTR) break;
        if (p[1].revents & POLLIN) waker->drain();
        if (p[0].revents & (POLLHUP | POLLERR)) break;  // the host is gone
        if (p[0].revents & POLLIN) {
            const ssize_t n = ::recv(fd, in.data(), in.size(), MSG_DONTWAIT);
            if (n > 0) {
                inPos = 0;
                inLen = static_cast<size_t>(n);
            } else if (n == 0) {
                hostEnded = true;
            } else if (errno != EAGAIN && errno != EINTR) {
                break;
            }
        }
    }
    session->setListener(nullptr);
    session->hostClose();
}

}  // namespace hv::sim
