// The reader driver end to end against the simulated case in process: transmitToICC of a
// 5-byte ECHO APDU under T=1 and T=0, the bare transport echo round trip of the same CCID
// message sizes, a 64 KiB extended APDU chained over T=1, power-on with PPS and SetParameters,
// and heap allocations per APDU (a counting allocator: every thread, and the calling thread
// alone). Medians and 99th percentiles are counters of each benchmark.
//
// When a pcscd with the vpcd reader driver is reachable (PCSCLITE_CSOCK_NAME, and the vpcd
// port in VORASEL_BENCH_VPCD_PORT), the same 5-byte APDU through pcsc-lite's SCardTransmit to
// an echo card on vpcd is measured in the same run. scripts/bench-reader-driver.sh sets that
// up with a private pcscd.
//
//   build/default/bench/bench_reader_driver
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "Accessory/HVSessionProtocolDriver.h"
#include "Platform/RunLoop.h"
#include "Smartcard/IFDH/HVIFDH.h"
#include "vorasel/sim/CardCatalogue.h"
#include "vorasel/sim/EchoDevice.h"
#include "vorasel/sim/InProcessLink.h"
#include "vorasel/sim/VoraselCase.h"
#include "vorasel/t1.h"

using hv::platform::SteadyClock;
using namespace std::chrono_literals;

// --- Counting allocator ---------------------------------------------------------------------

namespace {
std::atomic<uint64_t> allocations{0};
std::atomic<uint64_t> callerAllocations{0};
thread_local bool isCaller = false;

void *counted(size_t n) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (isCaller) callerAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void *p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void *countedAligned(size_t n, std::align_val_t a) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (isCaller) callerAllocations.fetch_add(1, std::memory_order_relaxed);
    void *p = nullptr;
    if (posix_memalign(&p, std::max(sizeof(void *), static_cast<size_t>(a)), n ? n : 1) == 0)
        return p;
    throw std::bad_alloc();
}
}  // namespace

void *operator new(size_t n) {
    return counted(n);
}
void *operator new[](size_t n) {
    return counted(n);
}
void *operator new(size_t n, const std::nothrow_t &) noexcept {
    try {
        return counted(n);
    } catch (...) {
        return nullptr;
    }
}
void *operator new[](size_t n, const std::nothrow_t &) noexcept {
    try {
        return counted(n);
    } catch (...) {
        return nullptr;
    }
}
void *operator new(size_t n, std::align_val_t a) {
    return countedAligned(n, a);
}
void *operator new[](size_t n, std::align_val_t a) {
    return countedAligned(n, a);
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
void operator delete(void *p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void *p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void *p, size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void *p, size_t, std::align_val_t) noexcept {
    std::free(p);
}

namespace {

// --- The simulated case ---------------------------------------------------------------------

using Bytes = std::vector<uint8_t>;

// The case with its CCID reader, and a second accessory with a bare echo device on "trace",
// both in process; nothing recorded on the way.
struct Rig {
    Rig() {
        for (auto *a : {&kase.accessory(), &echoAccessory()}) {
            auto lock = a->lock();
            for (const char *p : {"ccidbulk", "ccidinterrupt", "trace"})
                a->faults(p).record = false;
        }
        kase.recorder().setEnabled(false);
        hv::sim::inprocess::connect(kase.sharedAccessory());
        kase.accessory().attach();
        echo = std::make_shared<hv::sim::EchoDevice>();
        echoAccessory().addDevice(echo, {"trace"});
        hv::sim::inprocess::connect(echoShared);
        echoAccessory().attach();
        if (HVIFDH::sharedInstance().open() != HVIFDHStatusSuccess) std::abort();
    }
    hv::sim::SimAccessory &echoAccessory() { return *echoShared; }

    hv::sim::VoraselCase kase;
    std::shared_ptr<hv::sim::SimAccessory> echoShared = [] {
        hv::sim::AccessoryIdentity id;
        id.serialNumber = "SIM-ECHO";
        id.protocols = {"trace"};
        return hv::sim::SimAccessory::create(id);
    }();
    std::shared_ptr<hv::sim::EchoDevice> echo;
    std::string cardKind;
};

Rig &rig() {
    static Rig *r = new Rig;
    return *r;
}

HVIFDH &driver() {
    return HVIFDH::sharedInstance();
}

// Puts a card of this kind in the slot, powered, its protocol set (1 T=0, 2 T=1).
bool readyCard(const std::string &kind, uint8_t protocol) {
    Rig &r = rig();
    if (r.cardKind != kind) {
        driver().setSlot_state(HVIFDHSlotStateUnknown);
        r.kase.insertCard(hv::sim::makeCard(kind));
        r.cardKind = kind;
        // The swap's slot changes reach the driver first: a removal would end the power-on.
        const std::function<bool()> inserted = [] {
            return driver().slot_state() == HVIFDHSlotStateSwallowed;
        };
        hv::platform::runCurrentLoopUntil(SteadyClock::now() + 2s, inserted, 1ms);
    }
    return driver().powerOnICC() == HVIFDHStatusSuccess &&
           driver().setProtocolParameters(protocol, 0, 0, 0, 0) == HVIFDHStatusSuccess;
}

void percentiles(benchmark::State &state, std::vector<double> &micros, const char *unit = "us",
                 double scale = 1.0) {
    if (micros.empty()) return;
    std::sort(micros.begin(), micros.end());
    state.counters[std::string("median_") + unit] = micros[micros.size() / 2] * scale;
    state.counters[std::string("p99_") + unit] = micros[micros.size() * 99 / 100] * scale;
}

double microsSince(SteadyClock::time_point t0) {
    return std::chrono::duration<double, std::micro>(SteadyClock::now() - t0).count();
}

// --- transmitToICC of a 5-byte ECHO APDU ------------------------------------------------------

// ECHO (INS EE) of P1-P2 = 5 pattern bytes, Le 5: a 5-byte command, 7 bytes back.
const uint8_t kEcho5[5] = {0x00, 0xEE, 0x00, 0x05, 0x05};

void transmitEcho5(benchmark::State &state, const std::string &kind, uint32_t protocol) {
    if (!readyCard(kind, static_cast<uint8_t>(protocol))) {
        state.SkipWithError("card not ready");
        return;
    }
    const uint8_t *rsp = nullptr;
    uint32_t len = 0;
    // The first APDU after the reset negotiates IFSD over T=1.
    driver().transmitToICC(kEcho5, 5, protocol, &rsp, &len);
    std::vector<double> micros;
    micros.reserve(1 << 20);
    isCaller = true;
    const uint64_t all0 = allocations.load(), caller0 = callerAllocations.load();
    for (auto _ : state) {
        const auto t0 = SteadyClock::now();
        if (driver().transmitToICC(kEcho5, 5, protocol, &rsp, &len) != HVIFDHStatusSuccess ||
            len < 2 || rsp[len - 2] != 0x90) {
            state.SkipWithError("transmit failed");
            break;
        }
        micros.push_back(microsSince(t0));
    }
    const double n = static_cast<double>(micros.size() ? micros.size() : 1);
    state.counters["allocs_per_apdu"] = static_cast<double>(allocations.load() - all0) / n;
    state.counters["caller_allocs_per_apdu"] =
        static_cast<double>(callerAllocations.load() - caller0) / n;
    isCaller = false;
    percentiles(state, micros);
}

void BM_TransmitToICC_T1_Echo5(benchmark::State &state) {
    transmitEcho5(state, "t1", 2);
}
BENCHMARK(BM_TransmitToICC_T1_Echo5)->Iterations(20000)->UseRealTime();

void BM_TransmitToICC_T0_Echo5(benchmark::State &state) {
    transmitEcho5(state, "t0", 1);
}
BENCHMARK(BM_TransmitToICC_T0_Echo5)->Iterations(20000)->UseRealTime();

// --- The driver alone -----------------------------------------------------------------------

// A reader that answers every block transfer from within the driver's write, with the T=1
// block the card would send: the driver's own cost and allocations, without any transport.
HVSessionReceiveCallback fakeBulk = nullptr;
Bytes fakeAnswer;

HVSessionStatus fakeStart(int32_t protocol, HVSessionReceiveCallback callback) {
    if (protocol == HVAccessoryProtocolCCIDBulk) fakeBulk = callback;
    return HVSessionStatusSuccess;
}
HVSessionStatus fakeEnd(int32_t) {
    return HVSessionStatusSuccess;
}
HVSessionStatus fakeWrite(const uint8_t *data, uint16_t length, int32_t) {
    if (!length) return HVSessionStatusSuccess;
    if (data[11] == 0xC1) {  // S(IFS request): confirmed
        uint8_t ifs[14] = {0x80, 5, 0, 0, 0, 0, data[6], 0, 0, 0, 0x00, 0xE1, 0x01, data[13]};
        uint8_t withLrc[15];
        std::memcpy(withLrc, ifs, sizeof ifs);
        withLrc[14] = static_cast<uint8_t>(0xE1 ^ 0x01 ^ data[13]);
        fakeBulk(withLrc, sizeof withLrc);
        return HVSessionStatusSuccess;
    }
    // The card's I-block answers with the N(S) the device expects next.
    const uint8_t ns = data[11] & 0x40;
    fakeAnswer[6] = data[6];
    fakeAnswer[11] = ns;
    uint8_t lrc = 0;
    for (size_t i = 10; i + 1 < fakeAnswer.size(); ++i)
        lrc ^= fakeAnswer[i];
    fakeAnswer.back() = lrc;
    fakeBulk(fakeAnswer.data(), static_cast<uint16_t>(fakeAnswer.size()));
    return HVSessionStatusSuccess;
}

void BM_TransmitToICC_T1_Echo5_DriverAlone(benchmark::State &state) {
    rig();
    driver().close();
    static const HVIFDHSessionOps fake = {fakeStart, fakeEnd, fakeWrite, true};
    HVIFDH::setSessionOps(&fake);
    // RDR_to_PC_DataBlock with the I-block 00 00 07 [5 bytes] 90 00 [LRC].
    fakeAnswer = {0x80, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0x07, 0, 1, 2, 3, 4, 0x90, 0x00, 0};
    if (driver().open() != HVIFDHStatusSuccess) {
        state.SkipWithError("open failed");
        return;
    }
    t1_on_reset(254, 0);
    // Past the IFS request.
    const uint8_t *rsp = nullptr;
    uint32_t len = 0;
    driver().transmitToICC(kEcho5, 5, 2, &rsp, &len);
    std::vector<double> micros;
    micros.reserve(1 << 20);
    isCaller = true;
    const uint64_t all0 = allocations.load();
    for (auto _ : state) {
        const auto t0 = SteadyClock::now();
        if (driver().transmitToICC(kEcho5, 5, 2, &rsp, &len) != HVIFDHStatusSuccess || len != 7) {
            state.SkipWithError("transmit failed");
            break;
        }
        micros.push_back(microsSince(t0));
    }
    state.counters["allocs_per_apdu"] =
        static_cast<double>(allocations.load() - all0) / static_cast<double>(micros.size());
    isCaller = false;
    driver().close();
    HVIFDH::setSessionOps(nullptr);
    if (driver().open() != HVIFDHStatusSuccess) std::abort();
    rig().cardKind.clear();
    percentiles(state, micros);
}
BENCHMARK(BM_TransmitToICC_T1_Echo5_DriverAlone)->Iterations(200000)->UseRealTime();

// --- The bare transport echo ------------------------------------------------------------------

// What a driver exchange waits for, without the driver: bytes written through the registry,
// the same bytes back through the receive callback, the waiting thread woken by it.
std::atomic<size_t> echoed{0};
std::atomic<hv::platform::RunLoop *> echoWaiter{nullptr};

void onEcho(uint8_t *data, uint16_t length) {
    if (!data) return;
    echoed.fetch_add(length, std::memory_order_release);
    if (auto *loop = echoWaiter.load()) loop->wakeUp();
}

void bareEcho(benchmark::State &state) {
    rig();
    const auto size = static_cast<uint16_t>(state.range(0));
    auto &registry = HVSessionProtocolDriver::sharedClass();
    if (registry.startSessionWithProtocol(HVAccessoryProtocolTrace, onEcho) != 0) {
        state.SkipWithError("no echo session");
        return;
    }
    echoWaiter.store(&hv::platform::RunLoop::current());
    Bytes message(size, 0x5A);
    std::vector<double> micros;
    micros.reserve(1 << 20);
    size_t target = echoed.load();
    const std::function<bool()> done = [&] {
        return echoed.load(std::memory_order_acquire) >= target;
    };
    isCaller = true;
    const uint64_t all0 = allocations.load(), caller0 = callerAllocations.load();
    for (auto _ : state) {
        target += size;
        const auto t0 = SteadyClock::now();
        if (registry.writeData(message.data(), size, HVAccessoryProtocolTrace) != 0 ||
            !hv::platform::runCurrentLoopUntil(SteadyClock::now() + 2s, done, 10ms)) {
            state.SkipWithError("echo failed");
            break;
        }
        micros.push_back(microsSince(t0));
    }
    const double n = static_cast<double>(micros.size() ? micros.size() : 1);
    state.counters["allocs_per_round_trip"] = static_cast<double>(allocations.load() - all0) / n;
    state.counters["caller_allocs_per_round_trip"] =
        static_cast<double>(callerAllocations.load() - caller0) / n;
    isCaller = false;
    echoWaiter.store(nullptr);
    registry.endSessionWithProtocol(HVAccessoryProtocolTrace);
    percentiles(state, micros);
}
// The CCID messages of the 5-byte ECHO: T=1 19 bytes out (10 + a 9-byte I-block), 21 back;
// T=0 15 out, 18 back.
BENCHMARK(bareEcho)
    ->Name("BM_BareTransportEcho")
    ->Arg(15)
    ->Arg(19)
    ->Arg(21)
    ->Iterations(20000)
    ->UseRealTime();

// --- The same CCID messages without the driver ---------------------------------------------------

// The case's reader and card exactly as transmitToICC uses them, but the XfrBlocks built and
// their answers awaited by hand: what is left of an APDU's time when the driver is taken away.
struct RawBulk {
    std::mutex mutex;
    Bytes bytes;
    std::atomic<bool> complete{false};
    uint8_t seq = 0;
};
RawBulk raw;

void onRawBulk(uint8_t *data, uint16_t length) {
    if (!data) return;
    bool whole = false;
    {
        std::lock_guard lock(raw.mutex);
        raw.bytes.insert(raw.bytes.end(), data, data + length);
        // Whole messages with the awaited bSeq that are not time extensions.
        while (raw.bytes.size() >= 10) {
            const size_t total = 10 + (raw.bytes[1] | raw.bytes[2] << 8);
            if (raw.bytes.size() < total) break;
            if (raw.bytes[6] == raw.seq && (raw.bytes[7] >> 6) != 2) {
                whole = true;
                break;
            }
            raw.bytes.erase(raw.bytes.begin(), raw.bytes.begin() + static_cast<ptrdiff_t>(total));
        }
    }
    if (whole) {
        raw.complete.store(true, std::memory_order_release);
        if (auto *loop = echoWaiter.load()) loop->wakeUp();
    }
}

// One command out, its whole answer back; false on a time-out.
bool rawExchange(Bytes &command, uint8_t seq, Bytes &answer) {
    {
        std::lock_guard lock(raw.mutex);
        raw.bytes.clear();
        raw.seq = seq;
        raw.complete.store(false);
    }
    command[6] = seq;
    static const std::function<bool()> done = [] { return raw.complete.load(); };
    if (HVSessionProtocolDriver::sharedClass().writeData(command.data(),
                                                         static_cast<uint16_t>(command.size()),
                                                         HVAccessoryProtocolCCIDBulk) != 0 ||
        !hv::platform::runCurrentLoopUntil(SteadyClock::now() + 2s, done, 10ms))
        return false;
    std::lock_guard lock(raw.mutex);
    answer.assign(raw.bytes.begin(), raw.bytes.begin() + 10 + (raw.bytes[1] | raw.bytes[2] << 8));
    return true;
}

void BM_RawCcid_T1_Echo5_NoDriver(benchmark::State &state) {
    Rig &r = rig();
    driver().close();
    r.kase.insertCard(hv::sim::makeCard("t1"));
    r.cardKind.clear();
    auto &registry = HVSessionProtocolDriver::sharedClass();
    if (registry.startSessionWithProtocol(HVAccessoryProtocolCCIDBulk, onRawBulk) != 0) {
        state.SkipWithError("no bulk session");
        return;
    }
    echoWaiter.store(&hv::platform::RunLoop::current());
    uint8_t seq = 0x40;
    Bytes answer;
    Bytes powerOn = {0x62, 0, 0, 0, 0, 0, 0, 0x01, 0, 0};
    Bytes parameters = {0x61, 7,    0,    0,    0,    0,    0,    0x01, 0,
                        0,    0x11, 0x00, 0xFF, 0x4D, 0x00, 0xFE, 0x00};
    if (!rawExchange(powerOn, seq++, answer) || !rawExchange(parameters, seq++, answer)) {
        state.SkipWithError("card not ready");
        return;
    }
    // I-blocks 00 (N(S)) 05 [ECHO of 5] LRC, no IFS negotiation.
    Bytes block = {0x6F, 9,    0,    0,    0,    0,    0,    0,    0, 0,
                   0x00, 0x00, 0x05, 0x00, 0xEE, 0x00, 0x05, 0x05, 0};
    uint8_t ns = 0;
    std::vector<double> micros;
    micros.reserve(1 << 20);
    for (auto _ : state) {
        block[11] = static_cast<uint8_t>(ns << 6);
        uint8_t lrc = 0;
        for (size_t i = 10; i + 1 < block.size(); ++i)
            lrc ^= block[i];
        block.back() = lrc;
        const auto t0 = SteadyClock::now();
        if (!rawExchange(block, seq++, answer) || answer.size() != 10 + 11) {
            state.SkipWithError("exchange failed");
            break;
        }
        micros.push_back(microsSince(t0));
        ns ^= 1;
    }
    echoWaiter.store(nullptr);
    registry.endSessionWithProtocol(HVAccessoryProtocolCCIDBulk);
    if (driver().open() != HVIFDHStatusSuccess) std::abort();
    percentiles(state, micros);
}
BENCHMARK(BM_RawCcid_T1_Echo5_NoDriver)->Iterations(20000)->UseRealTime();

// --- The driver's overhead, interleaved ---------------------------------------------------------

// One transmitToICC, then one bare round trip of the same command size, alternately, so that
// both see the same load on a shared machine; the ratio of their medians is the driver's cost.
void overheadInterleaved(benchmark::State &state, const std::string &kind, uint32_t protocol,
                         uint16_t size) {
    if (!readyCard(kind, static_cast<uint8_t>(protocol))) {
        state.SkipWithError("card not ready");
        return;
    }
    auto &registry = HVSessionProtocolDriver::sharedClass();
    if (registry.startSessionWithProtocol(HVAccessoryProtocolTrace, onEcho) != 0) {
        state.SkipWithError("no echo session");
        return;
    }
    echoWaiter.store(&hv::platform::RunLoop::current());
    const uint8_t *rsp = nullptr;
    uint32_t len = 0;
    driver().transmitToICC(kEcho5, 5, protocol, &rsp, &len);
    Bytes message(size, 0x5A);
    size_t target = echoed.load();
    const std::function<bool()> done = [&] {
        return echoed.load(std::memory_order_acquire) >= target;
    };
    std::vector<double> apdu, bare;
    apdu.reserve(1 << 20);
    bare.reserve(1 << 20);
    for (auto _ : state) {
        auto t0 = SteadyClock::now();
        if (driver().transmitToICC(kEcho5, 5, protocol, &rsp, &len) != HVIFDHStatusSuccess) {
            state.SkipWithError("transmit failed");
            break;
        }
        apdu.push_back(microsSince(t0));
        target += size;
        t0 = SteadyClock::now();
        if (registry.writeData(message.data(), size, HVAccessoryProtocolTrace) != 0 ||
            !hv::platform::runCurrentLoopUntil(SteadyClock::now() + 2s, done, 10ms)) {
            state.SkipWithError("echo failed");
            break;
        }
        bare.push_back(microsSince(t0));
    }
    echoWaiter.store(nullptr);
    registry.endSessionWithProtocol(HVAccessoryProtocolTrace);
    if (apdu.empty() || bare.empty()) return;
    std::sort(apdu.begin(), apdu.end());
    std::sort(bare.begin(), bare.end());
    const double apduMedian = apdu[apdu.size() / 2], bareMedian = bare[bare.size() / 2];
    state.counters["apdu_median_us"] = apduMedian;
    state.counters["apdu_p99_us"] = apdu[apdu.size() * 99 / 100];
    state.counters["bare_median_us"] = bareMedian;
    state.counters["bare_p99_us"] = bare[bare.size() * 99 / 100];
    state.counters["median_ratio"] = apduMedian / bareMedian;
}

void BM_Overhead_T1_Echo5_vs_Bare19(benchmark::State &state) {
    overheadInterleaved(state, "t1", 2, 19);
}
BENCHMARK(BM_Overhead_T1_Echo5_vs_Bare19)->Iterations(20000)->UseRealTime();

void BM_Overhead_T0_Echo5_vs_Bare15(benchmark::State &state) {
    overheadInterleaved(state, "t0", 1, 15);
}
BENCHMARK(BM_Overhead_T0_Echo5_vs_Bare15)->Iterations(20000)->UseRealTime();

// --- A 64 KiB extended APDU over T=1 chaining -----------------------------------------------

void BM_TransmitToICC_T1_Extended64KiB(benchmark::State &state) {
    if (!readyCard("t1", 2)) {
        state.SkipWithError("card not ready");
        return;
    }
    // ECHO of 65,535 bytes: chained both ways in blocks of 254 bytes.
    Bytes apdu = {0x00, 0xEE, 0x00, 0x00, 0x00, 0xFF, 0xFF};
    for (size_t i = 0; i < 65535; ++i)
        apdu.push_back(static_cast<uint8_t>(i));
    apdu.insert(apdu.end(), {0x00, 0x00});
    const uint8_t *rsp = nullptr;
    uint32_t len = 0;
    std::vector<double> micros;
    for (auto _ : state) {
        const auto t0 = SteadyClock::now();
        if (driver().transmitToICC(apdu.data(), static_cast<uint32_t>(apdu.size()), 2, &rsp,
                                   &len) != HVIFDHStatusSuccess ||
            len != 65537) {
            state.SkipWithError("transmit failed");
            break;
        }
        micros.push_back(microsSince(t0));
    }
    percentiles(state, micros, "ms", 1e-3);
}
BENCHMARK(BM_TransmitToICC_T1_Extended64KiB)->Iterations(100)->UseRealTime();

// --- Power-on, PPS and SetParameters -----------------------------------------------------------

void BM_PowerOnPpsSetParameters(benchmark::State &state) {
    rig();
    std::vector<double> micros;
    for (auto _ : state) {
        const auto t0 = SteadyClock::now();
        // "fast" has TA1 0x13: every connection negotiates its rate by PPS.
        if (!readyCard("fast", 2)) {
            state.SkipWithError("power-on or protocol setting failed");
            break;
        }
        micros.push_back(microsSince(t0));
    }
    percentiles(state, micros);
}
BENCHMARK(BM_PowerOnPpsSetParameters)->Iterations(2000)->UseRealTime();

// --- The peer: pcsc-lite's SCardTransmit to an echo card on vpcd ------------------------------

// A vpcd client card: 2-byte big-endian lengths; one-byte control messages (4: send the ATR);
// anything longer an APDU, answered for ECHO with P1-P2 pattern bytes and 90 00.
class VpcdEchoCard {
public:
    bool connect(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            return false;
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        thread_ = std::thread([this] { serve(); });
        return true;
    }
    ~VpcdEchoCard() {
        if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) ::close(fd_);
    }

private:
    bool readAll(uint8_t *p, size_t n) {
        while (n) {
            const ssize_t r = ::read(fd_, p, n);
            if (r <= 0) return false;
            p += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }
    void reply(const uint8_t *p, size_t n) {
        uint8_t out[2 + 300];
        out[0] = static_cast<uint8_t>(n >> 8);
        out[1] = static_cast<uint8_t>(n);
        std::memcpy(out + 2, p, n);
        if (::write(fd_, out, n + 2) < 0) return;
    }
    void serve() {
        static const uint8_t atr[] = {0x3B, 0x80, 0x80, 0x01, 0x01};
        uint8_t in[65536 + 16];
        for (;;) {
            uint8_t h[2];
            if (!readAll(h, 2)) return;
            // vpcd writes the length and the payload apart, without TCP_NODELAY: acknowledged
            // at once, the payload is not held back for a delayed ACK (about 40 ms).
            int quick = 1;
            setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &quick, sizeof quick);
            const size_t n = size_t{h[0]} << 8 | h[1];
            if (!readAll(in, n)) return;
            setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &quick, sizeof quick);
            if (n == 1) {
                if (in[0] == 4) reply(atr, sizeof atr);
                continue;
            }
            uint8_t r[258];
            const size_t count = n >= 4 ? std::min<size_t>(size_t{in[2]} << 8 | in[3], 256) : 0;
            for (size_t i = 0; i < count; ++i)
                r[i] = static_cast<uint8_t>(i);
            r[count] = 0x90;
            r[count + 1] = 0x00;
            reply(r, count + 2);
        }
    }
    int fd_ = -1;
    std::thread thread_;
};

// pcsc-lite, loaded at run time so that the benchmark needs it only for this case.
struct PcscLite {
    using Establish = long (*)(unsigned long, const void *, const void *, long *);
    using ListReaders = long (*)(long, const char *, char *, unsigned long *);
    using Connect = long (*)(long, const char *, unsigned long, unsigned long, long *,
                             unsigned long *);
    using Transmit = long (*)(long, const void *, const uint8_t *, unsigned long, void *, uint8_t *,
                              unsigned long *);
    using Disconnect = long (*)(long, unsigned long);
    using Release = long (*)(long);
    void *lib = dlopen("libpcsclite.so.1", RTLD_NOW | RTLD_LOCAL);
    Establish establish = sym<Establish>("SCardEstablishContext");
    ListReaders list = sym<ListReaders>("SCardListReaders");
    Connect connect = sym<Connect>("SCardConnect");
    Transmit transmit = sym<Transmit>("SCardTransmit");
    Disconnect disconnect = sym<Disconnect>("SCardDisconnect");
    Release release = sym<Release>("SCardReleaseContext");
    const void *t1Pci = lib ? dlsym(lib, "g_rgSCardT1Pci") : nullptr;
    template <typename F>
    F sym(const char *name) {
        return lib ? reinterpret_cast<F>(dlsym(lib, name)) : nullptr;
    }
    bool usable() const { return lib && establish && transmit && t1Pci; }
};

void BM_Peer_PcscLite_SCardTransmit_Echo5(benchmark::State &state) {
    const char *socket = std::getenv("PCSCLITE_CSOCK_NAME");
    const char *port = std::getenv("VORASEL_BENCH_VPCD_PORT");
    if (!socket || !port) {
        state.SkipWithError("no pcscd with vpcd (run scripts/bench-reader-driver.sh)");
        return;
    }
    PcscLite pcsc;
    VpcdEchoCard card;
    if (!pcsc.usable() || !card.connect(std::atoi(port))) {
        state.SkipWithError("pcsc-lite or vpcd not reachable");
        return;
    }
    long context = 0, handle = 0;
    unsigned long active = 0;
    char readers[1024];
    unsigned long readersLength = sizeof readers;
    constexpr unsigned long kScopeSystem = 2, kShareShared = 2, kProtocolT1 = 2, kLeave = 0;
    if (pcsc.establish(kScopeSystem, nullptr, nullptr, &context) != 0 ||
        pcsc.list(context, nullptr, readers, &readersLength) != 0) {
        state.SkipWithError("pcscd not answering");
        return;
    }
    // The card is seen after pcscd's next presence poll.
    long connected = -1;
    for (int i = 0; i < 100 && connected != 0; ++i) {
        connected = pcsc.connect(context, readers, kShareShared, kProtocolT1, &handle, &active);
        if (connected != 0) std::this_thread::sleep_for(20ms);
    }
    if (connected != 0) {
        state.SkipWithError("no card on vpcd");
        pcsc.release(context);
        return;
    }
    uint8_t rsp[300];
    std::vector<double> micros;
    micros.reserve(1 << 20);
    for (auto _ : state) {
        unsigned long len = sizeof rsp;
        const auto t0 = SteadyClock::now();
        if (pcsc.transmit(handle, pcsc.t1Pci, kEcho5, 5, nullptr, rsp, &len) != 0 || len != 7) {
            state.SkipWithError("SCardTransmit failed");
            break;
        }
        micros.push_back(microsSince(t0));
    }
    pcsc.disconnect(handle, kLeave);
    pcsc.release(context);
    percentiles(state, micros);
}
BENCHMARK(BM_Peer_PcscLite_SCardTransmit_Echo5)->Iterations(20000)->UseRealTime();

}  // namespace
