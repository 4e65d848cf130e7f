// Management against the simulated case: one operation whole (session start, request, answer,
// session end), in process and through the accessory daemon's socket, beside the bare session
// exchange it is built on; and the chunk phase of a 1 MiB firmware upgrade. Each prints the
// median and the 99th percentile of its samples.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "Accessory/HVSessionProtocolDriver.h"
#include "Platform/ExternalAccessory/EAAccessoryManager.h"
#include "Platform/Linux/SocketAccessoryProvider.h"
#include "Platform/RunLoop.h"
#include "Platform/Semaphore.h"
#include "vorasel/HVAccessory.h"
#include "vorasel/HVManager.h"
#include "vorasel/sim/AccessoryServer.h"
#include "vorasel/sim/FirmwareReceiver.h"
#include "vorasel/sim/InProcessLink.h"
#include "vorasel/sim/VoraselCase.h"

using hv::platform::SteadyClock;
using namespace std::chrono_literals;

namespace {

void reportMicros(benchmark::State &state, std::vector<double> &micros, const char *prefix = "") {
    if (micros.empty()) return;
    std::sort(micros.begin(), micros.end());
    const std::string p = prefix;
    state.counters[p + "median_us"] = micros[micros.size() / 2];
    state.counters[p + "p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
}

double microsSince(SteadyClock::time_point t0) {
    return std::chrono::duration<double, std::micro>(SteadyClock::now() - t0).count();
}

// The simulated case on one transport; a reset brings it back quickly.
class Rig {
public:
    explicit Rig(bool socket) {
        hv::sim::VoraselCaseConfig config;
        config.detachAfterReset = 5ms;
        config.reattachDelay = 10ms;
        simCase_ = std::make_unique<hv::sim::VoraselCase>(config);
        simCase_->recorder().setEnabled(false);
        HVAccessory::sharedClass();
        auto &manager = hv::platform::EAAccessoryManager::sharedAccessoryManager();
        if (socket) {
            const std::string path = "/tmp/hv-bench-management-" + std::to_string(::getpid());
            server_ = std::make_unique<hv::sim::AccessoryServer>(path);
            server_->start();
            server_->addAccessory(simCase_->sharedAccessory());
            simCase_->accessory().attach();
            provider_ = hv::platform::SocketAccessoryProvider::connect(path, manager);
            manager.setProvider(provider_);
        } else {
            hv::sim::inprocess::connect(simCase_->sharedAccessory());
            simCase_->accessory().attach();
        }
        hv::platform::runCurrentLoopUntil(SteadyClock::now() + 5s,
                                          [] { return HVAccessory::sharedClass().isConnected(); });
    }
    ~Rig() {
        if (provider_) {
            provider_->stop();
            hv::platform::EAAccessoryManager::sharedAccessoryManager().setProvider(nullptr);
            server_->stop();
        } else {
            hv::sim::inprocess::disconnect(simCase_->sharedAccessory());
        }
        simCase_->accessory().detach();
        hv::platform::runCurrentLoopUntil(SteadyClock::now() + 5s,
                                          [] { return !HVAccessory::sharedClass().isConnected(); });
    }

private:
    std::unique_ptr<hv::sim::VoraselCase> simCase_;
    std::unique_ptr<hv::sim::AccessoryServer> server_;
    std::shared_ptr<hv::platform::SocketAccessoryProvider> provider_;
};

void BM_ManagementOperation(benchmark::State &state) {
    Rig rig(state.range(0) != 0);
    state.SetLabel(state.range(0) ? "daemon socket" : "in process");
    HVManager &manager = HVManager::sharedClass();
    std::vector<double> micros;
    for (auto _ : state) {
        uint32_t bits = 0;
        const auto t0 = SteadyClock::now();
        if (manager.getCapabilities(&bits) != HVManagerStatusSuccess) {
            state.SkipWithError("getCapabilities failed");
            break;
        }
        micros.push_back(microsSince(t0));
    }
    reportMicros(state, micros);
}
BENCHMARK(BM_ManagementOperation)->Arg(0)->Arg(1)->Iterations(2000)->UseRealTime();

// The same exchange without the management layer: session start, the get_capabilities bytes,
// the 6-byte answer, session end.
std::atomic<size_t> bareReceived{0};
hv::platform::Semaphore *bareArrival = nullptr;
void onBare(uint8_t *data, uint16_t length) {
    if (!data) return;
    bareReceived += length;
    bareArrival->signal();
}

void BM_BareSessionExchange(benchmark::State &state) {
    Rig rig(state.range(0) != 0);
    state.SetLabel(state.range(0) ? "daemon socket" : "in process");
    auto &registry = HVSessionProtocolDriver::sharedClass();
    hv::platform::Semaphore arrived;
    bareArrival = &arrived;
    const uint8_t request[] = {0xDE, 0x00};
    std::vector<double> micros;
    for (auto _ : state) {
        const auto t0 = SteadyClock::now();
        const size_t target = bareReceived.load() + 6;
        registry.startSessionWithProtocol(HVAccessoryProtocolManager, onBare);
        registry.writeData(request, sizeof request, HVAccessoryProtocolManager);
        while (bareReceived.load() < target)
            if (!arrived.waitFor(2s)) break;
        registry.endSessionWithProtocol(HVAccessoryProtocolManager);
        micros.push_back(microsSince(t0));
    }
    bareArrival = nullptr;
    reportMicros(state, micros);
}
BENCHMARK(BM_BareSessionExchange)->Arg(0)->Arg(1)->Iterations(2000)->UseRealTime();

// Notes when the last chunk was acknowledged.
class ChunkClock final : public HVManagerDelegate {
public:
    void hvManagerFirmwareUpgradeProgress(float progress) override {
        if (progress >= 1.0f) chunksDone = SteadyClock::now();
    }
    SteadyClock::time_point chunksDone;
};

void BM_FirmwareUpgrade1MiB(benchmark::State &state) {
    Rig rig(state.range(0) != 0);
    state.SetLabel(state.range(0) ? "daemon socket" : "in process");
    std::vector<uint8_t> payload((1 << 20) - 10);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i * 31);
    const auto image = hv::sim::FirmwareReceiver::makeImage("9.9.9", payload);
    std::vector<double> chunks, resets;
    for (auto _ : state) {
        ChunkClock clock;
        const auto t0 = SteadyClock::now();
        const HVManagerStatus status = HVManager::sharedClass().upgradeFirmwareWithImage(
            image.data(), static_cast<uint32_t>(image.size()), &clock);
        const auto t1 = SteadyClock::now();
        if (status != HVManagerStatusSuccess) {
            state.SkipWithError("upgrade failed");
            break;
        }
        chunks.push_back(std::chrono::duration<double, std::micro>(clock.chunksDone - t0).count());
        resets.push_back(std::chrono::duration<double, std::micro>(t1 - clock.chunksDone).count());
    }
    state.counters["chunks"] = static_cast<double>((image.size() + 511) / 512);
    reportMicros(state, chunks, "chunk_phase_");
    reportMicros(state, resets, "reset_wait_");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image.size()));
}
BENCHMARK(BM_FirmwareUpgrade1MiB)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(15)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
