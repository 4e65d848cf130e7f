// Cards put in and taken out by vorasel-accessoryd on command (its socket's COMMAND lines):
// the card trigger of every client whose reader is the daemon's case. Include after the PC/SC
// header of the build.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "PcscClient.h"

namespace pcsc_client {

class DaemonCards : public CardTrigger {
public:
    explicit DaemonCards(std::string socket) : socket_(std::move(socket)) {}
    bool insert(DWORD protocol) override {
        return command(protocol == SCARD_PROTOCOL_T0 ? "insert t0" : "insert t1");
    }
    bool remove() override { return command("remove"); }

private:
    bool command(const std::string &words) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        socket_.copy(address.sun_path, sizeof address.sun_path - 1);
        bool ok = false;
        if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
            const std::string line = "COMMAND " + words + "\n";
            char answer[2] = {};
            ok = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) &&
                 ::read(fd, answer, 2) == 2 && answer[0] == 'O' && answer[1] == 'K';
        }
        if (fd >= 0) ::close(fd);
        if (!ok) std::fprintf(stderr, "pcsc client: daemon refused '%s'\n", words.c_str());
        return ok;
    }
    const std::string socket_;
};

}  // namespace pcsc_client
