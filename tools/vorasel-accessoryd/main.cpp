// Serves the simulated Vorasel case to other processes over a Unix-domain socket. A program
// linked with the library uses it when VORASEL_ACCESSORYD_SOCKET names the socket.
//
//   vorasel-accessoryd --socket PATH [--detached] [--reattach-delay MS]
//
// Commands (one per connection, "COMMAND <words>\n"; `vorasel` tools and tests send them):
//   attach | detach | remove | status
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "vorasel/sim/AccessoryServer.h"
#include "vorasel/sim/VoraselCase.h"

namespace {

std::atomic<bool> stopRequested{false};

void onSignal(int) { stopRequested.store(true); }

int usage() {
    std::fprintf(stderr,
                 "usage: vorasel-accessoryd --socket PATH [--detached] [--reattach-delay MS]\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    std::string socketPath;
    bool attach = true;
    hv::sim::VoraselCaseConfig config;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--socket" && i + 1 < argc) {
            socketPath = argv[++i];
        } else if (arg == "--detached") {
            attach = false;
        } else if (arg == "--reattach-delay" && i + 1 < argc) {
            char *end = nullptr;
            const long ms = std::strtol(argv[++i], &end, 10);
            if (!end || *end || ms < 0) return usage();
            config.reattachDelay = std::chrono::milliseconds(ms);
        } else {
            return usage();
        }
    }
    if (socketPath.empty()) return usage();

    hv::sim::VoraselCase voraselCase(config);
    hv::sim::AccessoryServer server(socketPath);
    server.addAccessory(voraselCase.sharedAccessory());
    server.setCommandHandler([&](const std::vector<std::string> &words) -> std::string {
        if (words.empty()) return "ERR empty command";
        if (words[0] == "remove") {
            voraselCase.removeCard();
            return "OK";
        }
        if (words[0] == "status") {
            return std::string("OK attached=") +
                   (voraselCase.accessory().isAttached() ? "1" : "0") +
                   " card=" + (voraselCase.reader().hasCard() ? "1" : "0");
        }
        return "ERR unknown command " + words[0];
    });
    if (!server.start()) {
        std::fprintf(stderr, "vorasel-accessoryd: cannot listen on %s\n", socketPath.c_str());
        return 1;
    }
    if (attach) voraselCase.accessory().attach();
    std::fprintf(stderr, "vorasel-accessoryd: serving on %s\n", socketPath.c_str());

    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    signal(SIGPIPE, SIG_IGN);
    while (!stopRequested.load()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    server.stop();
    return 0;
}
