// The PC/SC interface end to end against the simulated case embedded in the process (and, for
// comparison, over the accessory daemon's socket wire): SCardTransmit of a short ECHO over T=1
// and T=0, of a 260-byte command and of a 64 KiB extended APDU; insertion and removal seen by a
// waiting SCardGetStatusChange, from the moment the reader sends its slot change; and the heap
// allocations one SCardTransmit makes.
//
// Allocations are counted on the threads that carry an APDU through the library: the calling
// thread and the library's own ("hv.*": sessions, event thread, main loop). The simulator's
// threads stand for the accessory and are not counted ("all threads" shows them too).
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "Platform/ExternalAccessory/EAAccessoryManager.h"
#include "Platform/Linux/SocketAccessoryProvider.h"
#include "Smartcard/winscard/CallTrace.h"
#include "Smartcard/winscard/Calls.h"
#include "vorasel/HVAccessory.h"
#include "vorasel/HVHost.h"
#include "vorasel/sim/AccessoryServer.h"
#include "vorasel/sim/InProcessLink.h"
#include "vorasel/sim/IsoCard.h"
#include "vorasel/sim/VirtualCard.h"
#include "vorasel/sim/VoraselCase.h"
#include "vorasel/winscard.h"

extern char **environ;

// --- Allocation counting ---

namespace {

std::atomic<uint64_t> libraryAllocations{0};
std::atomic<uint64_t> allAllocations{0};
thread_local int threadKind = -1;  // 1: counted as the library's, 0: not, -1: not yet known
std::atomic<bool> benchThreadKnown{false};
thread_local bool isBenchThread = false;

void countAllocation() {
    allAllocations.fetch_add(1, std::memory_order_relaxed);
    if (threadKind < 0) {
        char name[32] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        threadKind = std::strncmp(name, "hv.", 3) == 0 ? 1 : 0;
    }
    if (threadKind == 1 || isBenchThread)
        libraryAllocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

// The replacements below pair malloc with free; GCC cannot see that through the inlined
// operator new of the standard library's headers.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void *operator new(size_t n) {
    countAllocation();
    if (void *p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void *operator new[](size_t n) {
    countAllocation();
    if (void *p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void *operator new(size_t n, const std::nothrow_t &) noexcept {
    countAllocation();
    return std::malloc(n ? n : 1);
}
void *operator new[](size_t n, const std::nothrow_t &) noexcept {
    countAllocation();
    return std::malloc(n ? n : 1);
}
void operator delete(void *p) noexcept {
    std::free(p);
}
void operator delete[](void *p) noexcept {
    std::free(p);
}
void operator delete(void *p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void *p, size_t) noexcept {
    std::free(p);
}

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

void reportMicros(benchmark::State &state, std::vector<double> &micros) {
    std::sort(micros.begin(), micros.end());
    if (micros.empty()) return;
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
}

Bytes echoCommand(size_t n, bool withLe) {
    Bytes apdu = {0x00, 0xEE, 0x00, 0x00};
    if (n > 255)
        apdu.insert(apdu.end(), {0x00, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
    else
        apdu.push_back(static_cast<uint8_t>(n));
    for (size_t i = 0; i < n; ++i)
        apdu.push_back(static_cast<uint8_t>(i * 7 + 1));
    if (withLe) apdu.insert(apdu.end(), n > 255 ? 2 : 1, 0x00);
    return apdu;
}

std::shared_ptr<hv::sim::VirtualCard> dualCard() {
    hv::sim::CardConfig config;
    config.atr.t0 = true;
    config.atr.t1 = true;
    config.atr.ifsc = 254;
    return std::make_shared<hv::sim::VirtualCard>(config, std::make_shared<hv::sim::IsoCard>());
}

enum Transport { kInProcess = 0, kSocket = 1, kDaemon = 2 };

// The simulated case with a context and the reader open. In process: the case's pipes in this
// process. Socket: an accessory server in this process, reached over the daemon's socket wire.
// Daemon: vorasel-accessoryd in a process of its own, with a T=1 card in its reader, so that
// every allocation counted in this process is the library's.
class Rig {
public:
    explicit Rig(int transport) : transport_(transport) {
        {
            auto lock = kase_.accessory().lock();
            for (const char *p : {"ccidbulk", "ccidinterrupt"})
                kase_.accessory().faults(p).record = false;
        }
        kase_.recorder().setEnabled(false);
        path_ = "/tmp/hv-bench-pcsc-" + std::to_string(::getpid()) + ".sock";
        if (transport_ == kSocket) {
            server_ = std::make_unique<hv::sim::AccessoryServer>(path_);
            server_->start();
            server_->addAccessory(kase_.sharedAccessory());
            kase_.accessory().attach();
            auto &manager = hv::platform::EAAccessoryManager::sharedAccessoryManager();
            provider_ = hv::platform::SocketAccessoryProvider::connect(path_, manager);
            manager.setProvider(provider_);
        } else if (transport_ == kDaemon) {
            startDaemon();
        } else {
            hv::sim::inprocess::connect(kase_.sharedAccessory());
            kase_.accessory().attach();
        }
        SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context_);
    }
    ~Rig() {
        if (connected_) SCardDisconnect(card_, SCARD_UNPOWER_CARD);
        SCardReleaseContext(context_);
        auto &manager = hv::platform::EAAccessoryManager::sharedAccessoryManager();
        if (transport_ == kInProcess) {
            hv::sim::inprocess::disconnect(kase_.sharedAccessory());
        } else {
            if (auto socket = std::dynamic_pointer_cast<hv::platform::SocketAccessoryProvider>(
                    manager.provider()))
                socket->stop();
            manager.setProvider(nullptr);
            if (server_) server_->stop();
            if (daemon_ > 0) {
                kill(daemon_, SIGTERM);
                waitpid(daemon_, nullptr, 0);
            }
        }
        // The next rig starts from a reader the driver has let go of.
        const auto deadline = Clock::now() + 3s;
        while (HVAccessory::sharedClass().isConnected() && Clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
    }

    bool ok() const { return context_ != 0; }

    // Waits (at most 5 s) for the reader state to have `bits`.
    bool waitFor(DWORD bits) {
        const auto deadline = Clock::now() + 5s;
        while (Clock::now() < deadline) {
            SCARD_READERSTATE s = {};
            s.szReader = sc_reader_name;
            s.dwCurrentState = known_;
            if (SCardGetStatusChange(context_, 500, &s, 1) == SCARD_S_SUCCESS)
                known_ = s.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
            if ((known_ & bits) == bits) return true;
        }
        return false;
    }

    bool connect(DWORD protocol) {
        if (transport_ != kDaemon) kase_.insertCard(dualCard());
        if (!waitFor(SCARD_STATE_PRESENT)) return false;
        DWORD active = 0;
        connected_ = SCardConnect(context_, sc_reader_name, SCARD_SHARE_SHARED, protocol, &card_,
                                  &active) == SCARD_S_SUCCESS;
        return connected_ && active == protocol;
    }

    hv::sim::VoraselCase &kase() { return kase_; }
    SCARDCONTEXT context() const { return context_; }
    SCARDHANDLE card() const { return card_; }
    DWORD &known() { return known_; }

private:
    void startDaemon() {
#ifdef VORASEL_ACCESSORYD_PATH
        std::vector<std::string> args = {VORASEL_ACCESSORYD_PATH, "--socket", path_, "--card",
                                         "t1"};
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&daemon_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return;
        const auto deadline = Clock::now() + 5s;
        while (!HVHost::useAccessoryDaemon(path_) && Clock::now() < deadline)
            std::this_thread::sleep_for(2ms);
#endif
    }

    const int transport_;
    hv::sim::VoraselCase kase_;
    std::string path_;
    std::unique_ptr<hv::sim::AccessoryServer> server_;
    std::shared_ptr<hv::platform::SocketAccessoryProvider> provider_;
    pid_t daemon_ = -1;
    SCARDCONTEXT context_ = 0;
    SCARDHANDLE card_ = 0;
    bool connected_ = false;
    DWORD known_ = SCARD_STATE_UNAWARE;
};

void runTransmit(benchmark::State &state, size_t n, bool withLe, DWORD protocol, int transport) {
    Rig rig(transport);
    if (!rig.ok() || !rig.connect(protocol)) {
        state.SkipWithError("no connection");
        return;
    }
    const Bytes command = echoCommand(n, withLe);
    const SCARD_IO_REQUEST *pci = protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    std::vector<uint8_t> response(65536 + 16);
    auto once = [&] {
        DWORD length = static_cast<DWORD>(response.size());
        const LONG rv =
            SCardTransmit(rig.card(), pci, command.data(), static_cast<DWORD>(command.size()),
                          nullptr, response.data(), &length);
        return rv == SCARD_S_SUCCESS && length >= 2;
    };
    for (int i = 0; i < 20; ++i)
        once();  // warm-up: buffers reach their working size
    isBenchThread = true;
    const uint64_t libraryBefore = libraryAllocations.load(), allBefore = allAllocations.load();
    std::vector<double> micros;
    micros.reserve(1 << 16);
    for (auto _ : state) {
        const auto t0 = Clock::now();
        if (!once()) {
            state.SkipWithError("transmit failed");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    isBenchThread = false;
    const double iterations = static_cast<double>(std::max<int64_t>(1, state.iterations()));
    state.counters["allocs_per_apdu"] =
        static_cast<double>(libraryAllocations.load() - libraryBefore) / iterations;
    state.counters["allocs_all_threads"] =
        static_cast<double>(allAllocations.load() - allBefore) / iterations;
    reportMicros(state, micros);
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(command.size()));
}

// Arguments: command data bytes, Le present, protocol, transport.
void BM_Transmit(benchmark::State &state) {
    runTransmit(state, static_cast<size_t>(state.range(0)), state.range(1) != 0,
                static_cast<DWORD>(state.range(2)), static_cast<int>(state.range(3)));
}

// The short T=1 ECHO with the PC/SC call trace off (0) and on (1, written to a file), in the
// same run: off, a call costs one branch more than the implementation alone.
void BM_TransmitTraced(benchmark::State &state) {
    const bool on = state.range(0) != 0;
    const std::string path = "/tmp/hv-bench-pcsc-trace-" + std::to_string(::getpid()) + ".txt";
    hv::pcsc::trace::setDestination(on ? path.c_str() : nullptr);
    runTransmit(state, 4, true, SCARD_PROTOCOL_T1, kInProcess);
    hv::pcsc::trace::setDestination(nullptr);
    ::unlink(path.c_str());
}

// One PC/SC call that does next to nothing (SCardIsValidContext of a live context): the
// implementation called directly (0), through the exported name with the trace off (1), and
// with the trace on, written to /dev/null (2).
void BM_CallTraceOverhead(benchmark::State &state) {
    const int mode = static_cast<int>(state.range(0));
    Rig rig(kInProcess);
    hv::pcsc::trace::setDestination(mode == 2 ? "/dev/null" : nullptr);
    const SCARDCONTEXT context = rig.context();
    LONG failures = 0;
    for (auto _ : state) {
        const LONG rv = mode == 0 ? hv::pcsc::calls::SCardIsValidContext(context)
                                  : SCardIsValidContext(context);
        failures += rv != SCARD_S_SUCCESS;
        benchmark::DoNotOptimize(failures);
    }
    hv::pcsc::trace::setDestination(nullptr);
    if (failures) state.SkipWithError("SCardIsValidContext failed");
}

// One change per iteration: the card put in (range 0 = 1) or taken out, while another thread
// waits in SCardGetStatusChange. Timed from the slot-change message the reader sends (or, as
// a second figure, from the call into the simulator) to the wait's return.
void BM_StatusChange(benchmark::State &state) {
    const bool insertion = state.range(0) != 0;
    Rig rig(static_cast<int>(state.range(1)));
    rig.kase().recorder().setEnabled(true);
    if (!insertion) {
        rig.kase().insertCard(dualCard());
        rig.waitFor(SCARD_STATE_PRESENT);
    } else {
        rig.kase().insertCard(dualCard());
        rig.waitFor(SCARD_STATE_PRESENT);
        rig.kase().removeCard();
        rig.waitFor(SCARD_STATE_EMPTY);
    }
    std::vector<double> fromWire, fromCall;
    for (auto _ : state) {
        const DWORD current = rig.known();
        std::atomic<bool> waiting{false};
        Clock::time_point returnedAt;
        LONG rv = 0;
        SCARD_READERSTATE s = {};
        std::thread waiter([&] {
            s.szReader = sc_reader_name;
            s.dwCurrentState = current;
            waiting.store(true);
            rv = SCardGetStatusChange(rig.context(), 10000, &s, 1);
            returnedAt = Clock::now();
        });
        while (!waiting.load())
            std::this_thread::yield();
        std::this_thread::sleep_for(5ms);  // let the waiter block
        rig.kase().recorder().clear();
        const auto calledAt = Clock::now();
        if (insertion)
            rig.kase().insertCard(dualCard());
        else
            rig.kase().removeCard();
        waiter.join();
        const DWORD want = insertion ? SCARD_STATE_PRESENT : SCARD_STATE_EMPTY;
        if (rv != SCARD_S_SUCCESS || !(s.dwEventState & want)) {
            state.SkipWithError("the change was not reported");
            break;
        }
        rig.known() = s.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
        Clock::time_point sentAt = calledAt;
        for (const auto &e :
             rig.kase().recorder().select("ccidinterrupt", hv::sim::Direction::Sent))
            if (!e.bytes.empty() && e.bytes[0] == 0x50) sentAt = e.time;
        const double wire = std::chrono::duration<double, std::micro>(returnedAt - sentAt).count();
        const double call =
            std::chrono::duration<double, std::micro>(returnedAt - calledAt).count();
        fromWire.push_back(wire);
        fromCall.push_back(call);
        state.SetIterationTime(wire / 1e6);
        // Back to the starting state, untimed.
        if (insertion) {
            rig.kase().removeCard();
            rig.waitFor(SCARD_STATE_EMPTY);
        } else {
            rig.kase().insertCard(dualCard());
            rig.waitFor(SCARD_STATE_PRESENT);
        }
    }
    std::sort(fromCall.begin(), fromCall.end());
    if (!fromCall.empty()) {
        state.counters["from_call_median_us"] = fromCall[fromCall.size() / 2];
        state.counters["from_call_p99_us"] =
            fromCall[std::min(fromCall.size() - 1, fromCall.size() * 99 / 100)];
    }
    reportMicros(state, fromWire);
}

}  // namespace

// Short ECHO (4 bytes and Le) over T=1; 4 bytes without Le over T=0 (a valid T=0 TPDU);
// a 260-byte command (255 data bytes); a 64 KiB extended APDU (65,535 bytes in all: 65,526
// data bytes, 3-byte Lc and 2-byte Le), as the peer comparison sends it.
BENCHMARK(BM_Transmit)
    ->ArgNames({"data", "le", "protocol", "transport"})
    ->Args({4, 1, SCARD_PROTOCOL_T1, kInProcess})
    ->Args({4, 0, SCARD_PROTOCOL_T0, kInProcess})
    ->Args({255, 0, SCARD_PROTOCOL_T1, kInProcess})
    ->Args({65526, 1, SCARD_PROTOCOL_T1, kInProcess})
    ->Args({4, 1, SCARD_PROTOCOL_T1, kSocket})
    ->Args({255, 0, SCARD_PROTOCOL_T1, kSocket})
#ifdef VORASEL_ACCESSORYD_PATH
    ->Args({4, 1, SCARD_PROTOCOL_T1, kDaemon})
    ->Args({255, 0, SCARD_PROTOCOL_T1, kDaemon})
    ->Args({65526, 1, SCARD_PROTOCOL_T1, kDaemon})
#endif
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TransmitTraced)->ArgName("trace")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CallTraceOverhead)->ArgName("mode")->Arg(0)->Arg(1)->Arg(2);
BENCHMARK(BM_StatusChange)
    ->ArgNames({"insertion", "transport"})
    ->Args({1, kInProcess})
    ->Args({0, kInProcess})
    ->Args({1, kSocket})
    ->Args({0, kSocket})
    ->Iterations(60)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
