// Soak of the PC/SC interface: a million APDUs (or --apdus N) through SCardTransmit to a card
// in the simulated case, with faults now and then: answers split, stale, duplicated or with a
// corrupt T=1 block, the card answering with a corrupt block, the card pulled and put back
// every few thousand APDUs, and the whole case detached and attached again every fifty
// thousand. Every answer that comes back is checked against what was sent.
//
// The case runs in a child process (an accessory server on a socket, driven by commands), so
// that the resident memory measured here is the library's alone: the simulator keeps a record
// of every message it carried. Reports the resident memory after the warm-up and at the end, a
// count of every result code, and any answer that came back wrong. Exit status 1 when an
// answer was wrong, a failure carried no PC/SC code, or the connection was lost for good.
//
//   pcsc_soak [--apdus N]
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Linux/UnixSocket.h"
#include "vorasel/HVAccessory.h"
#include "vorasel/HVHost.h"
#include "vorasel/sim/AccessoryServer.h"
#include "vorasel/sim/CardCatalogue.h"
#include "vorasel/sim/VoraselCase.h"
#include "vorasel/winscard.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;
using hv::sim::Fault;

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kib = 0;
            status >> kib;
            return kib;
        }
        status.ignore(4096, '\n');
    }
    return -1;
}

const char *name(LONG rv) {
    switch (rv) {
        case SCARD_S_SUCCESS:
            return "SCARD_S_SUCCESS";
        case SCARD_E_INVALID_HANDLE:
            return "SCARD_E_INVALID_HANDLE";
        case SCARD_E_NOT_READY:
            return "SCARD_E_NOT_READY";
        case SCARD_E_PROTO_MISMATCH:
            return "SCARD_E_PROTO_MISMATCH";
        case SCARD_E_INVALID_VALUE:
            return "SCARD_E_INVALID_VALUE";
        case SCARD_W_UNRESPONSIVE_CARD:
            return "SCARD_W_UNRESPONSIVE_CARD";
        case SCARD_W_REMOVED_CARD:
            return "SCARD_W_REMOVED_CARD";
        case SCARD_W_UNPOWERED_CARD:
            return "SCARD_W_UNPOWERED_CARD";
        case SCARD_E_READER_UNAVAILABLE:
            return "SCARD_E_READER_UNAVAILABLE";
        case SCARD_F_COMM_ERROR:
            return "SCARD_F_COMM_ERROR";
        case SCARD_E_UNEXPECTED:
            return "SCARD_E_UNEXPECTED";
        case SCARD_E_INSUFFICIENT_BUFFER:
            return "SCARD_E_INSUFFICIENT_BUFFER";
        case SCARD_E_NO_SMARTCARD:
            return "SCARD_E_NO_SMARTCARD";
        case SCARD_E_SHARING_VIOLATION:
            return "SCARD_E_SHARING_VIOLATION";
        default:
            return "other";
    }
}

// The child: the case on a socket, with commands for the faults the soak injects.
[[noreturn]] void serveCase(const std::string &path) {
    hv::sim::VoraselCase kase;
    kase.recorder().setEnabled(false);
    std::shared_ptr<hv::sim::VirtualCard> card = hv::sim::makeCard("t1");
    kase.insertCard(card);
    hv::sim::AccessoryServer server(path);
    std::mutex mutex;
    server.setCommandHandler([&](const std::vector<std::string> &words) -> std::string {
        std::lock_guard lock(mutex);
        const std::string what = words.empty() ? "" : words[0];
        auto &reader = kase.reader().faults();
        if (what == "split")
            reader.add(Fault::splitRandom(4, static_cast<uint32_t>(std::rand())).on(0x6F));
        else if (what == "stale")
            reader.add(Fault::stale().on(0x6F));
        else if (what == "corrupt")
            reader.add(Fault::corrupt(-1, 0x01).on(0x6F));
        else if (what == "duplicate")
            reader.add(Fault::duplicate().on(0x6F));
        else if (what == "card-corrupt")
            card->arm(hv::sim::FaultPlan(hv::sim::CardFault::CorruptReply));
        else if (what == "remove")
            kase.removeCard();
        else if (what == "insert")
            kase.insertCard(card = hv::sim::makeCard("t1"));
        else
            return "ERR unknown command";
        return "OK";
    });
    server.addAccessory(kase.sharedAccessory());
    kase.accessory().attach();
    if (!server.start()) std::_Exit(1);
    for (;;)
        pause();
}

// One command to the child's case; true when it answered OK.
bool caseCommand(const std::string &path, const std::string &words) {
    namespace unixsocket = hv::platform::unixsocket;
    const int fd = unixsocket::connectTo(path);
    if (fd < 0) return false;
    const std::string line = "COMMAND " + words + "\n";
    unixsocket::writeAll(fd, line.data(), line.size());
    const auto answer = unixsocket::readLine(fd);
    unixsocket::closeQuietly(fd);
    return answer && answer->rfind("OK", 0) == 0;
}

class Soak {
public:
    Soak(long apdus, std::string path) : apdus_(apdus), path_(std::move(path)) {}

    int run() {
        if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context_) !=
                SCARD_S_SUCCESS ||
            !reconnect())
            return fail("no first connection");
        // Warm-up, then a first cycle of the case, so that both readings find the same state.
        for (int i = 0; i < 2000; ++i)
            exchange(i);
        if (!cycleCase()) return fail("the case did not come back");
        const long startKiB = residentKiB();
        const auto t0 = Clock::now();
        counts_.clear();
        for (long i = 1; i <= apdus_; ++i) {
            injectFaults(i);
            exchange(i);
            if (i % 100000 == 0)
                std::fprintf(stderr, "  %ld APDUs, %ld KiB resident\n", i, residentKiB());
            if (lost_) return fail("the connection could not be made again");
        }
        if (!cycleCase()) return fail("the case did not come back");
        const long endKiB = residentKiB();
        const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();

        std::printf("APDUs: %ld in %.1f s (%.0f per second)\n", apdus_, seconds,
                    static_cast<double>(apdus_) / seconds);
        std::printf("resident memory: %ld KiB after the warm-up, %ld KiB at the end (%+ld KiB)\n",
                    startKiB, endKiB, endKiB - startKiB);
        std::printf(
            "faults: %ld reader answers shaped, %ld corrupt card blocks, %ld card "
            "swaps, %ld case detaches\n",
            readerFaults_, cardFaults_, swaps_, detaches_);
        std::printf("result codes of SCardTransmit:\n");
        for (const auto &[rv, n] : counts_)
            std::printf("  %-28s 0x%08X  %ld\n", name(rv), static_cast<unsigned>(rv), n);
        std::printf("answers wrong: %ld\n", wrong_);
        SCardReleaseContext(context_);
        // Every failure must carry a PC/SC code of its own.
        bool allNamed = true;
        for (const auto &[rv, n] : counts_)
            if (std::string(name(rv)) == "other") allNamed = false;
        return wrong_ == 0 && allNamed ? 0 : 1;
    }

private:
    int fail(const char *why) {
        std::fprintf(stderr, "pcsc_soak: %s\n", why);
        return 1;
    }

    Bytes command(long i) const {
        const size_t n = 1 + static_cast<size_t>(i % 300);
        Bytes apdu = {0x00, 0xEE, 0x00, 0x00, static_cast<uint8_t>(n > 255 ? 0 : n)};
        if (n > 255)
            apdu.insert(apdu.end(), {static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
        for (size_t k = 0; k < n; ++k)
            apdu.push_back(static_cast<uint8_t>(i + k));
        apdu.insert(apdu.end(), n > 255 ? 2 : 1, 0x00);
        return apdu;
    }

    void exchange(long i) {
        const Bytes apdu = command(i);
        DWORD length = sizeof response_;
        const LONG rv = SCardTransmit(card_, SCARD_PCI_T1, apdu.data(),
                                      static_cast<DWORD>(apdu.size()), nullptr, response_, &length);
        ++counts_[rv];
        if (rv == SCARD_S_SUCCESS) {
            const size_t header = apdu[4] == 0 ? 7 : 5;
            const size_t n = apdu.size() - header - (apdu[4] == 0 ? 2 : 1);
            const bool right = length == n + 2 && response_[n] == 0x90 && response_[n + 1] == 0 &&
                               std::equal(apdu.begin() + static_cast<long>(header),
                                          apdu.begin() + static_cast<long>(header + n), response_);
            if (!right) ++wrong_;
            return;
        }
        // The card or the connection went away: connect again, as an application would.
        if (!reconnect()) lost_ = true;
    }

    bool waitFor(DWORD bits) {
        const auto deadline = Clock::now() + 10s;
        while (Clock::now() < deadline) {
            SCARD_READERSTATE s = {};
            s.szReader = sc_reader_name;
            s.dwCurrentState = known_;
            const LONG rv = SCardGetStatusChange(context_, 500, &s, 1);
            if (rv == SCARD_S_SUCCESS)
                known_ = s.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
            else if (rv != SCARD_E_TIMEOUT)
                known_ = SCARD_STATE_UNAWARE;
            if (rv == SCARD_E_UNKNOWN_READER) std::this_thread::sleep_for(5ms);
            if ((known_ & bits) == bits) return true;
        }
        return false;
    }

    bool reconnect() {
        SCardDisconnect(card_, SCARD_LEAVE_CARD);
        const auto deadline = Clock::now() + 10s;
        while (Clock::now() < deadline) {
            waitFor(SCARD_STATE_PRESENT);
            DWORD protocol = 0;
            if (SCardConnect(context_, sc_reader_name, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T1,
                             &card_, &protocol) == SCARD_S_SUCCESS)
                return true;
        }
        return false;
    }

    bool cycleCase() {
        ++detaches_;
        if (!caseCommand(path_, "detach")) return false;
        const auto deadline = Clock::now() + 10s;
        while (HVAccessory::sharedClass().isConnected() && Clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        return caseCommand(path_, "attach") && reconnect();
    }

    void injectFaults(long i) {
        static const std::pair<long, const char *> readerFaults[] = {
            {997, "split"}, {1009, "stale"}, {1013, "corrupt"}, {1021, "duplicate"}};
        for (const auto &[every, what] : readerFaults)
            if (i % every == 0 && caseCommand(path_, what)) ++readerFaults_;
        if (i % 1019 == 0 && caseCommand(path_, "card-corrupt")) ++cardFaults_;
        if (i % 3001 == 0) {
            ++swaps_;
            caseCommand(path_, "remove");
            waitFor(SCARD_STATE_EMPTY);
            caseCommand(path_, "insert");
        }
        if (i % 50021 == 0 && !cycleCase()) lost_ = true;
    }

    const long apdus_;
    const std::string path_;
    SCARDCONTEXT context_ = 0;
    SCARDHANDLE card_ = 0;
    DWORD known_ = SCARD_STATE_UNAWARE;
    uint8_t response_[1024];
    std::map<LONG, long> counts_;
    long wrong_ = 0, readerFaults_ = 0, cardFaults_ = 0, swaps_ = 0, detaches_ = 0;
    bool lost_ = false;
};

}  // namespace

int main(int argc, char **argv) {
    long apdus = 1000000;
    for (int i = 1; i + 1 < argc; i += 2)
        if (std::string(argv[i]) == "--apdus") apdus = std::atol(argv[i + 1]);
    const std::string path = "/tmp/hv-soak-" + std::to_string(::getpid()) + ".sock";
    const pid_t child = fork();
    if (child < 0) return 1;
    if (child == 0) serveCase(path);
    // The library takes the child's case as it takes a daemon's.
    const auto deadline = Clock::now() + 10s;
    while (!HVHost::useAccessoryDaemon(path) && Clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    const int status = Soak(apdus, path).run();
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ::unlink(path.c_str());
    return status;
}
