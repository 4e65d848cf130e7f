// The simulated card's own turnaround: one block in, the answer block out, as the simulated
// reader calls it. Later end-to-end figures should be about the library, not about this.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "vorasel/sim/VirtualCard.h"

namespace {

using hv::sim::Bytes;

Bytes iBlock(int ns, const Bytes &inf) {
    Bytes b;
    b.reserve(inf.size() + 4);
    b.push_back(0x00);
    b.push_back(static_cast<uint8_t>(ns ? 0x40 : 0x00));
    b.push_back(static_cast<uint8_t>(inf.size()));
    b.insert(b.end(), inf.begin(), inf.end());
    uint8_t lrc = 0;
    for (uint8_t v : b)
        lrc ^= v;
    b.push_back(lrc);
    return b;
}

hv::sim::CardConfig t1Card() {
    hv::sim::CardConfig c;
    c.atr.t0 = false;
    c.atr.t1 = true;
    c.atr.ifsc = 254;
    return c;
}

// Runs `blocks` alternately (they carry N(S) 0 and 1) and reports the median turnaround.
void run(benchmark::State &state, hv::sim::VirtualCard &card, const Bytes (&blocks)[2],
         size_t expectedReply) {
    std::vector<double> ns;
    ns.reserve(1 << 20);
    size_t i = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        hv::sim::CardReply r = card.exchange(blocks[i++ & 1]);
        const auto t1 = std::chrono::steady_clock::now();
        if (r.bytes.size() != expectedReply) {
            state.SkipWithError("unexpected answer");
            break;
        }
        benchmark::DoNotOptimize(r);
        if (ns.size() < ns.capacity())
            ns.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count());
    }
    if (!ns.empty()) {
        std::nth_element(ns.begin(), ns.begin() + ns.size() / 2, ns.end());
        state.counters["median_ns"] = ns[ns.size() / 2];
    }
}

void BM_T1Exchange10Bytes(benchmark::State &state) {
    hv::sim::VirtualCard card(t1Card());
    card.powerOn(hv::sim::PowerSelect::V5);
    card.exchange(Bytes{0x00, 0xC1, 0x01, 0xFE, 0x3E});    // IFSD 254
    const Bytes apdu{0x00, 0xEE, 0x00, 0x00, 0x01, 0xAA};  // ECHO, 1 byte
    const Bytes blocks[2] = {iBlock(0, apdu), iBlock(1, apdu)};
    run(state, card, blocks, 3 + 3 + 1);
}
BENCHMARK(BM_T1Exchange10Bytes);

void BM_T1IBlock254Bytes(benchmark::State &state) {
    hv::sim::VirtualCard card(t1Card());
    card.powerOn(hv::sim::PowerSelect::V5);
    card.exchange(Bytes{0x00, 0xC1, 0x01, 0xFE, 0x3E});
    Bytes apdu{0x00, 0xEE, 0x00, 0x00, 0xF8};  // ECHO of 248 bytes, Le 248: 254-byte INF
    for (int i = 0; i < 248; ++i)
        apdu.push_back(static_cast<uint8_t>(i));
    apdu.push_back(0xF8);
    const Bytes blocks[2] = {iBlock(0, apdu), iBlock(1, apdu)};
    run(state, card, blocks, 3 + 250 + 1);
}
BENCHMARK(BM_T1IBlock254Bytes);

void BM_T0Tpdu10Bytes(benchmark::State &state) {
    hv::sim::VirtualCard card;
    card.powerOn(hv::sim::PowerSelect::V5);
    card.exchange(Bytes{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x00});
    card.exchange(Bytes{0x00, 0xA4, 0x02, 0x0C, 0x02, 0x50, 0x01});
    const Bytes read{0x00, 0xB0, 0x00, 0x00, 0x08};  // READ BINARY 8: 10 bytes back
    const Bytes blocks[2] = {read, read};
    run(state, card, blocks, 10);
}
BENCHMARK(BM_T0Tpdu10Bytes);

}  // namespace
