// Session start and end, a short echo round trip, and bulk throughput through a small pipe,
// against the in-process simulated accessory.
#include <algorithm>
#include <atomic>
#include <vector>

#include <benchmark/benchmark.h>

#include "Accessory/HVSessionProtocolDriver.h"
#include "Platform/RunLoop.h"
#include "Platform/Semaphore.h"
#include "vorasel/sim/EchoDevice.h"
#include "vorasel/sim/InProcessLink.h"
#include "vorasel/sim/SimAccessory.h"
#include "vorasel/sim/SinkDevice.h"

using hv::platform::RunLoop;
using hv::platform::Semaphore;
using hv::platform::SteadyClock;
using namespace std::chrono_literals;

namespace {

// Counts what arrives from the accessory and wakes the benchmark thread.
std::atomic<size_t> receivedBytes{0};
Semaphore *arrival = nullptr;
void onReceive(uint8_t *data, uint16_t length) {
    if (!data) return;
    receivedBytes += length;
    if (arrival) arrival->signal();
}

struct Rig {
    Rig() {
        accessory = hv::sim::SimAccessory::create();
        echo = std::make_shared<hv::sim::EchoDevice>();
        sink = std::make_shared<hv::sim::SinkDevice>();
        accessory->addDevice(echo, {"ccidbulk"});
        accessory->addDevice(sink, {"manager"});
        hv::sim::inprocess::connect(accessory);
        accessory->attach();
    }
    ~Rig() { hv::sim::inprocess::disconnect(accessory); }
    std::shared_ptr<hv::sim::SimAccessory> accessory;
    std::shared_ptr<hv::sim::EchoDevice> echo;
    std::shared_ptr<hv::sim::SinkDevice> sink;
};

Rig &rig() {
    static Rig *r = new Rig;
    return *r;
}

void report(benchmark::State &state, std::vector<double> &micros) {
    std::sort(micros.begin(), micros.end());
    if (micros.empty()) return;
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
}

void BM_SessionStartAndEnd(benchmark::State &state) {
    rig();
    auto &registry = HVSessionProtocolDriver::sharedClass();
    std::vector<double> starts, ends;
    for (auto _ : state) {
        const auto t0 = SteadyClock::now();
        if (registry.startSessionWithProtocol(2, onReceive) != 0) state.SkipWithError("start");
        const auto t1 = SteadyClock::now();
        registry.endSessionWithProtocol(2);
        const auto t2 = SteadyClock::now();
        starts.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        ends.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
    }
    std::sort(starts.begin(), starts.end());
    std::sort(ends.begin(), ends.end());
    state.counters["start_median_us"] = starts[starts.size() / 2];
    state.counters["end_median_us"] = ends[ends.size() / 2];
}
BENCHMARK(BM_SessionStartAndEnd)->Iterations(300)->UseRealTime();

void BM_EchoRoundTrip10Bytes(benchmark::State &state) {
    rig();
    auto &registry = HVSessionProtocolDriver::sharedClass();
    Semaphore got;
    arrival = &got;
    registry.startSessionWithProtocol(2, onReceive);
    const uint8_t msg[10] = {0x6F, 0, 0, 0, 0, 0, 1, 0, 0, 0};
    std::vector<double> micros;
    for (auto _ : state) {
        const size_t target = receivedBytes.load() + sizeof msg;
        const auto t0 = SteadyClock::now();
        registry.writeData(msg, sizeof msg, 2);
        while (receivedBytes.load() < target)
            got.wait();
        micros.push_back(
            std::chrono::duration<double, std::micro>(SteadyClock::now() - t0).count());
    }
    registry.endSessionWithProtocol(2);
    arrival = nullptr;
    report(state, micros);
}
BENCHMARK(BM_EchoRoundTrip10Bytes)->Iterations(5000)->UseRealTime();

void BM_BulkTransfer1MiB(benchmark::State &state) {
    Rig &r = rig();
    auto &registry = HVSessionProtocolDriver::sharedClass();
    registry.startSessionWithProtocol(5, onReceive);
    std::vector<uint8_t> block(65535, 0x5A);
    constexpr size_t kTotal = 1 << 20;
    for (auto _ : state) {
        const size_t target = r.sink->consumed() + kTotal;
        size_t sent = 0;
        while (sent < kTotal) {
            const auto n = static_cast<uint16_t>(std::min(block.size(), kTotal - sent));
            // Refused while the previous write is still pending: let the session flush it.
            while (registry.writeData(block.data(), n, 5) != 0)
                RunLoop::current().runUntil(SteadyClock::now() + 200us);
            sent += n;
        }
        while (r.sink->consumed() < target)
            std::this_thread::yield();
    }
    registry.endSessionWithProtocol(5);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}
BENCHMARK(BM_BulkTransfer1MiB)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace
