// Serves the simulated Vorasel case to other processes over a Unix-domain socket. A program
// linked with the library uses it when VORASEL_ACCESSORYD_SOCKET names the socket.
//
//   vorasel-accessoryd [--socket PATH] [--group NAME] [--record] [--detached]
//                      [--reattach-delay MS] [--card KIND] [--vpcd-port PORT]
//                      [--capture FILE [--capture-limit BYTES]]
//
// The socket is $XDG_RUNTIME_DIR/vorasel/accessoryd.sock unless --socket names one (root
// without XDG_RUNTIME_DIR: /run/vorasel/accessoryd.sock), or the one a service manager passes
// (LISTEN_PID/LISTEN_FDS). It is made 0600; with --group, 0660 and owned by that group, whose
// members may connect too. Other users are refused.
//
// --record keeps a bounded record of the traffic in memory (for debugging); off by default.
// --capture writes the case's wire to FILE as it happens, a pcapng capture Wireshark reads
// (vorasel/sim/WireCapture.h), up to BYTES (64 MiB unless given).
//
// Commands (one per connection, "COMMAND <words>\n"; `vorasel` tools and tests send them):
//   attach | detach | insert KIND | remove | status
// KIND is a card of the simulator's catalogue (t0, t1, t1-crc, dual, fast, vpcd); "vpcd" is
// the card of an external emulator (such as vicc) connected to the vpcd port: it is in the
// reader while an emulator is connected and out when the emulator leaves. With a vpcd port
// and no --card, the slot starts out so. `status` answers
// "OK attached=0|1 card=0|1 emulator=0|1".
#include <grp.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "vorasel/sim/AccessoryServer.h"
#include "vorasel/sim/CardCatalogue.h"
#include "vorasel/sim/EmulatorSlot.h"
#include "vorasel/sim/ServerSocket.h"
#include "vorasel/sim/VoraselCase.h"

namespace {

constexpr const char *kUsage =
    "usage: vorasel-accessoryd [--socket PATH] [--group NAME] [--record] [--detached]\n"
    "                          [--reattach-delay MS] [--card KIND] [--vpcd-port PORT]\n"
    "                          [--capture FILE [--capture-limit BYTES]]\n";

int usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

int help() {
    std::fputs(kUsage, stdout);
    std::fputs(
        "\nServes a simulated Vorasel case over a Unix-domain socket.\n"
        "  --socket PATH        the socket (default $XDG_RUNTIME_DIR/vorasel/accessoryd.sock,\n"
        "                       or /run/vorasel/accessoryd.sock for root); a socket passed\n"
        "                       by the service manager is used when there is one\n"
        "  --group NAME         make the socket 0660 for this group and let its members in\n"
        "  --record             keep a bounded in-memory record of the traffic\n"
        "  --detached           start with the case detached\n"
        "  --reattach-delay MS  how long a reset keeps the case away (1000)\n"
        "  --card KIND          start with a card in the slot (t0, t1, t1-crc, dual, fast, vpcd)\n"
        "  --vpcd-port PORT     accept a card emulator (vicc) on this TCP port of 127.0.0.1\n"
        "  --capture FILE       write the wire to a pcapng capture\n"
        "  --capture-limit N    stop the capture before N bytes (64 MiB)\n",
        stdout);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    // Taken by sigwait below, never by a handler: blocked before any thread starts.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::string socketPath;
    std::optional<gid_t> allowedGroup;
    bool record = false;
    bool attach = true;
    std::string initialCard;
    long vpcdPort = -1;
    hv::sim::VoraselCaseConfig config;
    std::string capturePath;
    unsigned long long captureLimit = hv::sim::WireCapture::kDefaultLimit;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            return help();
        } else if (arg == "--socket" && i + 1 < argc) {
            socketPath = argv[++i];
        } else if (arg == "--group" && i + 1 < argc) {
            const char *name = argv[++i];
            const struct group *g = ::getgrnam(name);
            if (!g) {
                std::fprintf(stderr, "vorasel-accessoryd: no group named %s\n", name);
                return 2;
            }
            allowedGroup = g->gr_gid;
        } else if (arg == "--record") {
            record = true;
        } else if (arg == "--card" && i + 1 < argc) {
            initialCard = argv[++i];
        } else if (arg == "--vpcd-port" && i + 1 < argc) {
            char *end = nullptr;
            vpcdPort = std::strtol(argv[++i], &end, 10);
            if (!end || *end || vpcdPort < 0 || vpcdPort > 65535) return usage();
        } else if (arg == "--capture" && i + 1 < argc) {
            capturePath = argv[++i];
        } else if (arg == "--capture-limit" && i + 1 < argc) {
            char *end = nullptr;
            captureLimit = std::strtoull(argv[++i], &end, 10);
            if (!end || *end || captureLimit == 0 || argv[i][0] == '-') return usage();
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

    std::string error;
    auto activated = hv::sim::ServerSocket::fromActivation(error);
    if (!activated && !error.empty()) {
        std::fprintf(stderr, "vorasel-accessoryd: %s\n", error.c_str());
        return 1;
    }
    if (!activated && socketPath.empty()) {
        socketPath = hv::sim::ServerSocket::defaultPath(error);
        if (socketPath.empty()) {
            std::fprintf(stderr, "vorasel-accessoryd: %s\n", error.c_str());
            return 1;
        }
    }

    std::shared_ptr<hv::sim::VpcdBridge> bridge;
    if (vpcdPort >= 0) {
        hv::sim::VpcdBridge::Options options;
        options.port = static_cast<uint16_t>(vpcdPort);
        bridge = std::make_shared<hv::sim::VpcdBridge>(options);
        std::fprintf(stderr, "vorasel-accessoryd: vpcd bridge on 127.0.0.1:%u\n", bridge->port());
    }
    hv::sim::VoraselCase voraselCase(config);
    // Records grow with traffic: kept only when asked for, and bounded even then.
    voraselCase.recorder().setEnabled(record);
    {
        auto lock = voraselCase.accessory().lock();
        for (const char *protocol : {"ccidbulk", "ccidinterrupt", "manager"})
            voraselCase.accessory().faults(protocol).record = record;
    }
    if (std::string error;
        !capturePath.empty() && !voraselCase.startCapture(capturePath, captureLimit, error)) {
        std::fprintf(stderr, "vorasel-accessoryd: %s\n", error.c_str());
        return 1;
    }
    std::unique_ptr<hv::sim::EmulatorSlot> emulatorSlot;
    if (bridge)
        emulatorSlot = std::make_unique<hv::sim::EmulatorSlot>(voraselCase.sharedReader(), bridge);
    // Puts a card of `kind` in the slot; the emulator's card is the emulator slot's to insert.
    auto insert = [&](const std::string &kind) {
        auto card = hv::sim::makeCard(kind, bridge);
        if (!card) return false;
        if (emulatorSlot) emulatorSlot->stop();
        if (kind == "vpcd") {
            voraselCase.removeCard();
            emulatorSlot->follow();
        } else {
            voraselCase.insertCard(card);
        }
        return true;
    };
    if (!initialCard.empty() && !insert(initialCard)) return usage();
    if (initialCard.empty() && emulatorSlot) emulatorSlot->follow();
    hv::sim::AccessoryServer server(socketPath);
    server.setAllowedGroup(allowedGroup);
    server.addAccessory(voraselCase.sharedAccessory());
    server.setCommandHandler([&](const std::vector<std::string> &words) -> std::string {
        if (words.empty()) return "ERR empty command";
        if (words[0] == "insert") {
            return insert(words.size() > 1 ? words[1] : "t1") ? "OK" : "ERR no such card";
        }
        if (words[0] == "remove") {
            if (emulatorSlot) emulatorSlot->stop();
            voraselCase.removeCard();
            return "OK";
        }
        if (words[0] == "status") {
            return std::string("OK attached=") +
                   (voraselCase.accessory().isAttached() ? "1" : "0") +
                   " card=" + (voraselCase.reader().hasCard() ? "1" : "0") +
                   " emulator=" + (bridge && bridge->connected() ? "1" : "0");
        }
        return "ERR unknown command " + words[0];
    });
    // Attached before anyone can connect, so a host's first look already finds the case.
    if (attach) voraselCase.accessory().attach();
    if (!(activated ? server.start(std::move(*activated)) : server.start())) {
        std::fprintf(stderr, "vorasel-accessoryd: cannot listen on %s: %s\n",
                     server.socketPath().c_str(), server.lastError().c_str());
        return 1;
    }
    std::fprintf(stderr, "vorasel-accessoryd: serving on %s\n", server.socketPath().c_str());

    int signalNumber = 0;
    while (sigwait(&stopSignals, &signalNumber) != 0) {
    }
    server.stop();
    if (const auto capture = voraselCase.capture()) {
        const auto s = capture->stats();
        std::fprintf(stderr, "vorasel-accessoryd: capture: %llu messages, %llu bytes in %s%s\n",
                     static_cast<unsigned long long>(s.messages),
                     static_cast<unsigned long long>(s.bytes), capturePath.c_str(),
                     s.limitReached ? "; stopped at its limit" : "");
    }
    return 0;
}
