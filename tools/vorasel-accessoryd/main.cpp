// Serves the simulated Vorasel case to other processes over a Unix-domain socket. A program
// linked with the library uses it when VORASEL_ACCESSORYD_SOCKET names the socket.
//
//   vorasel-accessoryd --socket PATH [--detached] [--reattach-delay MS] [--card KIND]
//                      [--vpcd-port PORT] [--capture FILE [--capture-limit BYTES]]
//
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
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "vorasel/sim/AccessoryServer.h"
#include "vorasel/sim/CardCatalogue.h"
#include "vorasel/sim/EmulatorSlot.h"
#include "vorasel/sim/VoraselCase.h"

namespace {

std::atomic<bool> stopRequested{false};

void onSignal(int) {
    stopRequested.store(true);
}

int usage() {
    std::fprintf(stderr,
                 "usage: vorasel-accessoryd --socket PATH [--detached] [--reattach-delay MS]\n"
                 "                          [--card KIND] [--vpcd-port PORT]\n"
                 "                          [--capture FILE [--capture-limit BYTES]]\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    std::string socketPath;
    bool attach = true;
    std::string initialCard;
    long vpcdPort = -1;
    hv::sim::VoraselCaseConfig config;
    std::string capturePath;
    unsigned long long captureLimit = hv::sim::WireCapture::kDefaultLimit;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--socket" && i + 1 < argc) {
            socketPath = argv[++i];
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
    if (socketPath.empty()) return usage();

    std::shared_ptr<hv::sim::VpcdBridge> bridge;
    if (vpcdPort >= 0) {
        hv::sim::VpcdBridge::Options options;
        options.port = static_cast<uint16_t>(vpcdPort);
        bridge = std::make_shared<hv::sim::VpcdBridge>(options);
        std::fprintf(stderr, "vorasel-accessoryd: vpcd bridge on 127.0.0.1:%u\n", bridge->port());
    }
    hv::sim::VoraselCase voraselCase(config);
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
    if (!server.start()) {
        std::fprintf(stderr, "vorasel-accessoryd: cannot listen on %s\n", socketPath.c_str());
        return 1;
    }
    std::fprintf(stderr, "vorasel-accessoryd: serving on %s\n", socketPath.c_str());

    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    signal(SIGPIPE, SIG_IGN);
    while (!stopRequested.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
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
