// The simulated reader's own turnaround: a PC_to_RDR_XfrBlock written on the host end of the
// bulk session until the whole RDR_to_PC_DataBlock has been read back, with a card that echoes
// at once. Reports the median and the 99th percentile of single exchanges, so that end-to-end
// figures later measure the library and not the simulator.
//
//   build/default/bench/bench_sim_reader --benchmark_repetitions=5
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <thread>
#include <vector>

#include "vorasel/sim/CcidReader.h"
#include "vorasel/sim/SessionPort.h"

namespace {

using namespace hv::sim;

class InstantEcho final : public Card {
public:
    std::optional<Bytes> powerOn(PowerSelect) override { return Bytes{0x3B, 0x00}; }
    void powerOff() override {}
    CardReply exchange(std::span<const uint8_t> bytes) override {
        return CardReply{Bytes(bytes.begin(), bytes.end())};
    }
};

Bytes xfrBlock(uint8_t seq, size_t dataLength) {
    Bytes m(10 + dataLength, 0x5A);
    m[0] = 0x6F;
    m[1] = static_cast<uint8_t>(dataLength);
    m[2] = static_cast<uint8_t>(dataLength >> 8);
    m[3] = m[4] = 0;
    m[5] = 0;
    m[6] = seq;
    m[7] = m[8] = m[9] = 0;
    return m;
}

// Reads exactly `n` bytes, each read waiting for the next bytes to arrive.
bool readAll(SessionPort &port, uint8_t *buf, size_t n) {
    size_t have = 0;
    while (have < n) {
        const ptrdiff_t got =
            port.read(buf + have, n - have, Clock::now() + std::chrono::seconds(2));
        if (got <= 0) return false;
        have += static_cast<size_t>(got);
    }
    return true;
}

void turnaround(benchmark::State &state) {
    const size_t dataLength = static_cast<size_t>(state.range(0));
    const bool record = state.range(1) != 0;

    CcidReader reader;
    reader.recorder().setEnabled(record);
    reader.insertCard(std::make_shared<InstantEcho>());
    auto pair = makePortPair("ccidbulk");
    reader.attachPort(pair.device);
    SessionPort &host = *pair.host;

    std::vector<uint8_t> buf(10 + dataLength);
    Bytes on = {0x62, 0, 0, 0, 0, 0, 0, 0x01, 0, 0};
    host.write(on.data(), on.size());
    if (!readAll(host, buf.data(), 12)) {
        state.SkipWithError("power-on failed");
        return;
    }

    std::vector<double> micros;
    micros.reserve(1 << 16);
    uint8_t seq = 1;
    Bytes cmd = xfrBlock(seq, dataLength);
    for (auto _ : state) {
        cmd[6] = seq++;
        const auto start = Clock::now();
        host.write(cmd.data(), cmd.size());
        if (!readAll(host, buf.data(), 10 + dataLength)) {
            state.SkipWithError("no answer");
            return;
        }
        const auto end = Clock::now();
        micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
        if (buf[6] != cmd[6] || buf[7] != 0) {
            state.SkipWithError("wrong answer");
            return;
        }
    }
    std::sort(micros.begin(), micros.end());
    if (!micros.empty()) {
        state.counters["median_us"] = micros[micros.size() / 2];
        state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// The floor under every figure above: the same bytes bounced by a bare thread that echoes
// whatever arrives, with no CCID work at all (two thread wake-ups through the pipes).
void pipeEcho(benchmark::State &state) {
    const size_t length = 10 + static_cast<size_t>(state.range(0));
    auto pair = makePortPair("ccidbulk");
    std::thread echo([port = pair.device] {
        uint8_t buf[1024];
        for (;;) {
            const ptrdiff_t n = port->read(buf, sizeof buf, Clock::now() + std::chrono::seconds(1));
            if (n < 0) return;
            if (n > 0 && !port->write(buf, static_cast<size_t>(n))) return;
        }
    });
    SessionPort &host = *pair.host;
    std::vector<uint8_t> out(length, 0x5A), in(length);
    std::vector<double> micros;
    micros.reserve(1 << 16);
    for (auto _ : state) {
        const auto start = Clock::now();
        host.write(out.data(), out.size());
        if (!readAll(host, in.data(), length)) {
            state.SkipWithError("no echo");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    host.close();
    echo.join();
    std::sort(micros.begin(), micros.end());
    if (!micros.empty()) {
        state.counters["median_us"] = micros[micros.size() / 2];
        state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    }
}
BENCHMARK(pipeEcho)->ArgName("data")->Arg(10)->Arg(258)->UseRealTime()->MinTime(1.0);

// Data length (a 10-byte TPDU; a T=1 I-block of 254 information bytes: 3 + 254 + 1) and
// whether the reader records the wire (as it does in tests).
BENCHMARK(turnaround)
    ->ArgNames({"data", "record"})
    ->Args({10, 1})
    ->Args({258, 1})
    ->Args({10, 0})
    ->Args({258, 0})
    ->UseRealTime()
    ->MinTime(1.0);

}  // namespace
