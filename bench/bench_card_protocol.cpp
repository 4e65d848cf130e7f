// ATR parsing, one T=1 engine step on a full chained block, and CRC-16 throughput.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "vorasel/crc16.h"
#include "vorasel/sc_atr.h"
#include "vorasel/t1.h"

namespace {

// A typical T=1 card: TD1, TD2, IFSC 254, BWI/CWI, 10 historical bytes, TCK.
const uint8_t kTypicalAtr[19] = {0x3B, 0xBA, 0x11, 0x00, 0x81, 0x31, 0xFE, 0x4D, 0x55, 0x45,
                                 0x4B, 0x41, 0x45, 0x20, 0x56, 0x31, 0x2E, 0x30, 0xAE};

// The longest answer: four groups of interface bytes, 15 historical bytes, TCK.
std::vector<uint8_t> maximalAtr() {
    std::vector<uint8_t> b = {0x3B, 0xFF, 0x96, 0x00, 0xFF, 0xE1, 0x00, 0x0A, 0xF1,
                              0xFE, 0x45, 0x03, 0xF1, 0x20, 0x41, 0x00, 0x01};
    b.insert(b.end(), 15, 0x41);
    uint8_t x = 0;
    for (size_t i = 1; i < b.size(); ++i)
        x ^= b[i];
    b.push_back(x);
    return b;
}

void BM_ParseTypicalT1Atr(benchmark::State &state) {
    scatr_t atr;
    for (auto _ : state) {
        int r = scatr_parse(&atr, kTypicalAtr, sizeof kTypicalAtr);
        benchmark::DoNotOptimize(r);
        benchmark::DoNotOptimize(atr);
    }
    if (scatr_parse(&atr, kTypicalAtr, sizeof kTypicalAtr) != SCATR_OK)
        state.SkipWithError("typical ATR does not parse");
}
BENCHMARK(BM_ParseTypicalT1Atr);

void BM_ParseMaximalAtr(benchmark::State &state) {
    const std::vector<uint8_t> b = maximalAtr();
    scatr_t atr;
    for (auto _ : state) {
        int r = scatr_parse(&atr, b.data(), static_cast<uint32_t>(b.size()));
        benchmark::DoNotOptimize(r);
        benchmark::DoNotOptimize(atr);
    }
    if (b.size() != 33 || scatr_parse(&atr, b.data(), 33) != SCATR_OK)
        state.SkipWithError("maximal ATR does not parse");
}
BENCHMARK(BM_ParseMaximalAtr);

// A card block: NAD, PCB, LEN, INF, epilogue.
std::vector<uint8_t> cardBlock(uint8_t pcb, const std::vector<uint8_t> &inf, bool crc) {
    std::vector<uint8_t> b(3 + inf.size());
    b[1] = pcb;
    b[2] = static_cast<uint8_t>(inf.size());
    std::copy(inf.begin(), inf.end(), b.begin() + 3);
    if (crc) {
        uint16_t c = CalcCRC16Bytes(static_cast<int32_t>(b.size()), b.data());
        b.push_back(static_cast<uint8_t>(c >> 8));
        b.push_back(static_cast<uint8_t>(c));
    } else {
        uint8_t x = 0;
        for (uint8_t v : b)
            x ^= v;
        b.push_back(x);
    }
    return b;
}

// One t1_on_reply per iteration: the card's 254-byte chained I-block is checked, appended to
// the response and answered with an R-block, as the reader driver would see it (the block is
// first copied into the block buffer). The exchange restarts when the response buffer fills,
// about once every 60,000 steps.
void BM_T1StepChainedBlock(benchmark::State &state) {
    const bool crc = state.range(0) != 0;
    static std::vector<uint8_t> response(16u << 20);
    const uint8_t command[5] = {0x00, 0xB0, 0x00, 0x00, 0x00};
    uint8_t block[270];
    const std::vector<uint8_t> inf(254, 0x5A);
    const std::vector<uint8_t> chained[2] = {cardBlock(0x20, inf, crc), cardBlock(0x60, inf, crc)};
    const uint32_t capacity = static_cast<uint32_t>(response.size());

    t1_on_reset(254, crc);
    uint32_t len = 0;
    t1_setup_cmd_with_capacity(command, response.data(), block, block, sizeof command, capacity);
    t1_start_transaction(&len);  // IFS request
    const std::vector<uint8_t> ifs = cardBlock(0xE1, {0xFA}, crc);
    std::memcpy(block, ifs.data(), ifs.size());
    if (t1_on_reply(static_cast<uint32_t>(ifs.size()), &len, nullptr) != T1_SEND) {
        state.SkipWithError("IFS negotiation failed");
        return;
    }
    unsigned ns = 0, used = 0;
    for (auto _ : state) {
        if (used + 254 > capacity) {
            t1_setup_cmd_with_capacity(command, response.data(), block, block, sizeof command,
                                       capacity);
            t1_start_transaction(&len);
            used = 0;
        }
        const std::vector<uint8_t> &b = chained[ns];
        std::memcpy(block, b.data(), b.size());
        int r = t1_on_reply(static_cast<uint32_t>(b.size()), &len, nullptr);
        if (r != T1_SEND || len != (crc ? 5u : 4u)) {
            state.SkipWithError("engine did not acknowledge the block");
            break;
        }
        ns ^= 1;
        used += 254;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 254);
}
BENCHMARK(BM_T1StepChainedBlock)->Arg(0)->Arg(1)->ArgName("crc");

void BM_CalcCRC16Bytes(benchmark::State &state) {
    std::vector<uint8_t> data(static_cast<size_t>(state.range(0)));
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 31 + 7);
    for (auto _ : state) {
        uint16_t c = CalcCRC16Bytes(static_cast<int32_t>(data.size()), data.data());
        benchmark::DoNotOptimize(c);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_CalcCRC16Bytes)->Arg(259)->Arg(65536);

}  // namespace
