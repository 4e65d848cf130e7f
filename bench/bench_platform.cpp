// Costs of the platform layer and the logging core that every other layer pays.
#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "Platform/RunLoop.h"
#include "Platform/Semaphore.h"
#include "vorasel/HVLog.h"

using hv::platform::RunLoop;
using hv::platform::Semaphore;
using hv::platform::SteadyClock;
using namespace std::chrono_literals;

namespace {

// Median and 99th percentile of per-iteration samples, as counters.
void reportMicros(benchmark::State &state, std::vector<double> &micros) {
    std::sort(micros.begin(), micros.end());
    if (micros.empty()) return;
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
}

class CountingLogger : public HVDDAbstractLogger {
public:
    void logMessage(const HVDDLogMessage &m) override {
        bytes += m.logMsg.size();
        ++count;
    }
    std::string loggerName() override { return "hv.bench.counting"; }
    size_t bytes = 0;
    size_t count = 0;
};

void BM_LogDisabled(benchmark::State &state) {
    hvLogLevel = HVLogLevelError;
    int value = 0;
    for (auto _ : state) {
        HVLogVerbose("Wrote %d of %d bytes for protocol %d.", value, value, 2);
        benchmark::DoNotOptimize(value);
    }
    hvLogLevel = 0;
}
BENCHMARK(BM_LogDisabled);

void BM_LogEnabledOneLogger(benchmark::State &state) {
    auto logger = std::make_shared<CountingLogger>();
    HVDDLog::addLogger(logger);
    hvLogLevel = HVLogLevelVerbose;
    int value = 0;
    for (auto _ : state) {
        HVLogVerbose("Wrote %d of %d bytes for protocol %d.", ++value, 10, 2);
    }
    hvLogLevel = 0;
    HVDDLog::removeLogger(logger);
    HVDDLog::allLoggers();
    state.counters["delivered"] = static_cast<double>(logger->count);
}
BENCHMARK(BM_LogEnabledOneLogger)->UseRealTime();

// A loop thread sleeps in runUntil(done); the benchmark thread stamps the time and wakes it.
// The iteration time is the one-way latency until the loop thread runs with the event seen.
void wakeLatency(benchmark::State &state, bool usePerform) {
    std::shared_ptr<RunLoop> loop;
    Semaphore ready, answered;
    std::atomic<int> seen{0};
    std::atomic<bool> stop{false};
    SteadyClock::time_point seenAt;
    std::thread loopThread([&] {
        loop = RunLoop::currentShared();
        ready.signal();
        int handled = 0;
        while (!stop.load()) {
            loop->runUntil(SteadyClock::now() + 1s,
                           [&] { return stop.load() || seen.load() > handled; });
            if (seen.load() > handled) {
                seenAt = SteadyClock::now();
                handled = seen.load();
                answered.signal();
            }
        }
    });
    ready.wait();
    std::vector<double> micros;
    int n = 0;
    for (auto _ : state) {
        ++n;
        // Let the loop thread fall asleep first, so each sample is a real wake-up.
        std::this_thread::sleep_for(50us);
        const auto sent = SteadyClock::now();
        if (usePerform) {
            loop->perform([&seen, n] { seen.store(n); });
        } else {
            seen.store(n);
            loop->wakeUp();
        }
        answered.wait();
        const double us = std::chrono::duration<double, std::micro>(seenAt - sent).count();
        micros.push_back(us);
        state.SetIterationTime(us / 1e6);
    }
    stop.store(true);
    loop->wakeUp();
    loopThread.join();
    reportMicros(state, micros);
}

void BM_RunLoopWakeByPerform(benchmark::State &state) {
    wakeLatency(state, true);
}
void BM_RunLoopWakeByWakeUp(benchmark::State &state) {
    wakeLatency(state, false);
}
BENCHMARK(BM_RunLoopWakeByPerform)->UseManualTime()->Iterations(2000);
BENCHMARK(BM_RunLoopWakeByWakeUp)->UseManualTime()->Iterations(2000);

// One-way hand-off: the benchmark thread signals, the partner stamps the time it woke.
void BM_SemaphoreHandOff(benchmark::State &state) {
    Semaphore ping, pong;
    std::atomic<bool> stop{false};
    SteadyClock::time_point wokeAt;
    std::thread partner([&] {
        for (;;) {
            ping.wait();
            wokeAt = SteadyClock::now();
            if (stop.load()) return;
            pong.signal();
        }
    });
    std::vector<double> micros;
    for (auto _ : state) {
        std::this_thread::sleep_for(50us);
        const auto sent = SteadyClock::now();
        ping.signal();
        pong.wait();
        const double us = std::chrono::duration<double, std::micro>(wokeAt - sent).count();
        micros.push_back(us);
        state.SetIterationTime(us / 1e6);
    }
    stop.store(true);
    ping.signal();
    partner.join();
    reportMicros(state, micros);
}
BENCHMARK(BM_SemaphoreHandOff)->UseManualTime()->Iterations(2000);

}  // namespace
