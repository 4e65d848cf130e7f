// Glue between simulated accessories and the library's socket transport: like the in-process
// link, this file knows the library's wire (and nothing else of it).
#include "vorasel/sim/AccessoryServer.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "Platform/Linux/AccessoryWire.h"
#include "Platform/Linux/UnixSocket.h"

namespace hv::sim {

namespace us = hv::platform::unixsocket;
namespace wire = hv::platform::wire;

AccessoryServer::AccessoryServer(std::string socketPath) : path_(std::move(socketPath)) {}

AccessoryServer::~AccessoryServer() {
    stop();
}

bool AccessoryServer::start() {
    listenFd_ = us::listenOn(path_);
    if (listenFd_ < 0) return false;
    acceptThread_ = std::thread([this] { acceptLoop(); });
    return true;
}

void AccessoryServer::stop() {
    if (stopping_.exchange(true)) return;
    if (listenFd_ >= 0) ::shutdown(listenFd_, SHUT_RDWR);
    if (acceptThread_.joinable()) acceptThread_.join();
    us::closeQuietly(listenFd_);
    std::vector<std::thread> threads;
    std::vector<std::pair<std::string, std::shared_ptr<SimAccessory>>> accessories;
    {
        std::lock_guard lock(mutex_);
        for (int fd : openFds_)
            ::shutdown(fd, SHUT_RDWR);
        threads.swap(threads_);
        accessories = accessories_;
    }
    for (auto &[id, a] : accessories) {
        a->setAttachListener(nullptr);
        a->detach();  // ends every session, so relays waiting on pipes return
    }
    for (auto &t : threads)
        t.join();
    ::unlink(path_.c_str());
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

std::string AccessoryServer::attachLine(const std::string &id, SimAccessory &accessory) const {
    const AccessoryIdentity i = accessory.identity();
    std::string protocols;
    for (const auto &p : accessory.protocolStrings())
        protocols += (protocols.empty() ? "" : ",") + p;
    return "ATTACH " + id + "\t" + i.name + "\t" + i.manufacturer + "\t" + i.modelNumber + "\t" +
           i.serialNumber + "\t" + i.firmwareRevision + "\t" + i.hardwareRevision + "\t" +
           protocols + "\n";
}

void AccessoryServer::accessoryAttached(SimAccessory &accessory) {
    std::lock_guard lock(mutex_);
    for (auto &[id, a] : accessories_) {
        if (a.get() != &accessory) continue;
        const std::string line = attachLine(id, accessory);
        for (int fd : controlFds_)
            us::writeAll(fd, line.data(), line.size());
    }
}

void AccessoryServer::accessoryDetached(SimAccessory &accessory) {
    std::lock_guard lock(mutex_);
    for (auto &[id, a] : accessories_) {
        if (a.get() != &accessory) continue;
        const std::string line = "DETACH " + id + "\n";
        for (int fd : controlFds_)
            us::writeAll(fd, line.data(), line.size());
    }
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

void AccessoryServer::track(std::thread thread) {
    std::lock_guard lock(mutex_);
    threads_.push_back(std::move(thread));
}

void AccessoryServer::acceptLoop() {
    while (!stopping_.load()) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (stopping_.load()) return;
            continue;
        }
        {
            std::lock_guard lock(mutex_);
            if (stopping_.load()) {
                ::close(fd);
                return;
            }
            openFds_.push_back(fd);
        }
        track(std::thread([this, fd] { serve(fd); }));
    }
}

void AccessoryServer::serve(int fd) {
    auto line = us::readLine(fd);
    if (line) {
        if (*line == "CONTROL") {
            serveControl(fd);
        } else if (line->rfind("SESSION ", 0) == 0) {
            auto words = wire::split(line->substr(8), ' ');
            if (words.size() == 2) serveSession(fd, words[0], words[1]);
        } else if (line->rfind("COMMAND", 0) == 0) {
            serveCommand(fd, *line);
        }
    }
    {
        std::lock_guard lock(mutex_);
        std::erase(openFds_, fd);
        std::erase(controlFds_, fd);
    }
    ::close(fd);
}

void AccessoryServer::serveControl(int fd) {
    {
        std::lock_guard lock(mutex_);
        std::string lines;
        for (auto &[id, a] : accessories_)
            if (a->isAttached()) lines += attachLine(id, *a);
        lines += "SYNC\n";
        us::writeAll(fd, lines.data(), lines.size());
        controlFds_.push_back(fd);
    }
    // The client never speaks again; its hang-up ends the connection.
    char c;
    while (::read(fd, &c, 1) > 0) {
    }
}

void AccessoryServer::serveCommand(int fd, const std::string &line) {
    auto words = wire::split(line, ' ');
    words.erase(words.begin());
    std::string answer;
    if (!words.empty() && (words[0] == "attach" || words[0] == "detach")) {
        std::vector<std::shared_ptr<SimAccessory>> all;
        {
            std::lock_guard lock(mutex_);
            for (auto &[id, a] : accessories_)
                all.push_back(a);
        }
        for (auto &a : all)
            words[0] == "attach" ? a->attach() : a->detach();
        answer = "OK";
    } else {
        CommandHandler handler;
        {
            std::lock_guard lock(mutex_);
            handler = commandHandler_;
        }
        answer = handler ? handler(words) : "ERR unknown command";
    }
    answer += "\n";
    us::writeAll(fd, answer.data(), answer.size());
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
    // Keep the socket's own buffering small, so that the session's bounded pipes, not the
    // kernel, decide when the host must wait.
    const int small = 2048;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::mutex sendMutex;
    auto send = [&](char type, const uint8_t *p, size_t n) {
        std::lock_guard lock(sendMutex);
        return sendFrame(fd, type, p, n);
    };
    uint8_t states[2] = {encodeOpen(session->openState(true)),
                         encodeOpen(session->openState(false))};
    send('O', states, 2);

    // Host to accessory, on a thread of its own; the host's half-close ends the device input.
    std::thread inbound([&] {
        uint8_t header[wire::kHeaderSize];
        std::vector<uint8_t> payload;
        while (us::readExact(fd, header, sizeof header)) {
            const uint32_t length = wire::payloadLength(header);
            if (length > wire::kMaxPayload) break;
            payload.resize(length);
            if (length && !us::readExact(fd, payload.data(), length)) break;
            if (header[0] == 'D' && length && !session->hostWriteAll(payload.data(), length)) break;
        }
        session->toDevice().close();
    });

    // Accessory to host, plus the session's state changes as they happen.
    bool sentErrorIn = false, sentErrorOut = false, sentClosed = false;
    uint8_t lastStates[2] = {states[0], states[1]};
    std::vector<uint8_t> buf(16384);
    for (;;) {
        bool separate = false;
        const ptrdiff_t n = session->hostReadPiece(
            buf.data(), buf.size(), Clock::now() + std::chrono::milliseconds(10), &separate);
        if (n > 0 && !send(separate ? 'P' : 'D', buf.data(), static_cast<size_t>(n))) break;
        const uint8_t now[2] = {encodeOpen(session->openState(true)),
                                encodeOpen(session->openState(false))};
        if (now[0] != lastStates[0] || now[1] != lastStates[1]) {
            lastStates[0] = now[0];
            lastStates[1] = now[1];
            send('O', now, 2);
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
                send('E', p.data(), p.size());
                sent = true;
            }
        }
        if (!sentClosed && session->toDevice().isClosed()) {
            send('C', nullptr, 0);
            sentClosed = true;
        }
        if (n < 0) {
            ::shutdown(fd, SHUT_WR);  // the device ended: the host sees end of stream
            break;
        }
        pollfd hangup{fd, 0, 0};
        if (::poll(&hangup, 1, 0) > 0 && (hangup.revents & (POLLHUP | POLLERR))) break;
    }
    inbound.join();
    session->hostClose();
}

}  // namespace hv::sim
