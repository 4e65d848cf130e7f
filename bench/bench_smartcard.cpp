// What the object and plug-in interfaces add to an APDU: a short ECHO to a T=1 card in the
// simulated case embedded in the process, through HVSmartcard's transmit and
// Plugin_ExecuteCommand in turn, and in alternating rounds through SCardTransmit, so all three
// meet the same machine load. Each path reports its median and p99 in microseconds; the "ratio"
// counters compare the medians with SCardTransmit's.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "vorasel/HVAccessory.h"
#include "vorasel/HVSmartcard.h"
#include "vorasel/plugin.h"
#include "vorasel/sim/CardCatalogue.h"
#include "vorasel/sim/InProcessLink.h"
#include "vorasel/sim/VoraselCase.h"
#include "vorasel/winscard.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Percentiles {
    double median, p99;
};

Percentiles percentiles(std::vector<double> &micros) {
    std::sort(micros.begin(), micros.end());
    if (micros.empty()) return {0, 0};
    return {micros[micros.size() / 2],
            micros[std::min(micros.size() - 1, micros.size() * 99 / 100)]};
}

template <typename Condition>
bool waitFor(Condition condition) {
    const auto deadline = Clock::now() + 5s;
    while (!condition()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(200us);
    }
    return true;
}

void BM_ShortEchoThroughEachInterface(benchmark::State &state) {
    hv::sim::VoraselCase kase;
    kase.recorder().setEnabled(false);
    hv::sim::inprocess::connect(kase.sharedAccessory());
    kase.accessory().attach();
    kase.insertCard(hv::sim::makeCard("t1"));

    HVSmartcard smartcard;
    SCARDCONTEXT context = 0;
    if (Plugin_Initialize() != PLUGIN_OK ||
        SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != 0 ||
        !waitFor([&] { return smartcard.getSlotStatus() == HVSmartcardSlotStatusPresent; })) {
        state.SkipWithError("no card");
        return;
    }
    const uint8_t apdu[] = {0x00, 0xEE, 0x00, 0x00, 0x08, 1, 2, 3, 4, 5, 6, 7, 8, 0x00};
    uint8_t response[PLUGIN_RESPONSE_CAPACITY];
    std::vector<double> pcsc, object, plugin;
    bool failed = false;
    auto micros = [](Clock::time_point from, Clock::time_point to) {
        return std::chrono::duration<double, std::micro>(to - from).count();
    };

    // The card takes one connection at a time: rounds of 100 APDUs through the interfaces'
    // connection, then 100 through a PC/SC connection of our own, and again.
    constexpr int kRound = 100;
    int inRound = 0;
    PluginHandle *handle = nullptr;
    for (auto _ : state) {
        if (inRound == 0) {
            failed |= Plugin_Connect("Vorasel", &handle) != PLUGIN_OK;
            if (failed) break;
        }
        const auto t0 = Clock::now();
        uint16_t length16 = sizeof response;
        failed |= smartcard.transmit(apdu, sizeof apdu, response, &length16) != 0;
        const auto t1 = Clock::now();
        uint32_t length32 = 0;
        failed |= Plugin_ExecuteCommand(handle, apdu, sizeof apdu, response, &length32, 1) != 0;
        const auto t2 = Clock::now();
        object.push_back(micros(t0, t1));
        plugin.push_back(micros(t1, t2));
        if (++inRound < kRound) continue;
        inRound = 0;
        Plugin_Disconnect(handle);
        Plugin_FreeMemory(handle);
        handle = nullptr;

        SCARDHANDLE card = 0;
        DWORD protocol = 0;
        failed |= SCardConnect(context, sc_reader_name, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T1,
                               &card, &protocol) != SCARD_S_SUCCESS;
        for (int i = 0; i < kRound && !failed; ++i) {
            const auto t = Clock::now();
            DWORD length = sizeof response;
            failed |= SCardTransmit(card, SCARD_PCI_T1, apdu, sizeof apdu, nullptr, response,
                                    &length) != SCARD_S_SUCCESS;
            pcsc.push_back(micros(t, Clock::now()));
        }
        SCardDisconnect(card, SCARD_UNPOWER_CARD);
        if (failed) break;
    }
    if (handle) {
        Plugin_Disconnect(handle);
        Plugin_FreeMemory(handle);
    }
    SCardReleaseContext(context);
    smartcard.close();
    hv::sim::inprocess::disconnect(kase.sharedAccessory());
    waitFor([] { return !HVAccessory::sharedClass().isConnected(); });
    if (failed) {
        state.SkipWithError("an exchange failed");
        return;
    }

    const Percentiles p = percentiles(pcsc), o = percentiles(object), g = percentiles(plugin);
    state.counters["scard_median_us"] = p.median;
    state.counters["scard_p99_us"] = p.p99;
    state.counters["object_median_us"] = o.median;
    state.counters["object_p99_us"] = o.p99;
    state.counters["plugin_median_us"] = g.median;
    state.counters["plugin_p99_us"] = g.p99;
    state.counters["object_ratio"] = p.median > 0 ? o.median / p.median : 0;
    state.counters["plugin_ratio"] = p.median > 0 ? g.median / p.median : 0;
}
BENCHMARK(BM_ShortEchoThroughEachInterface)->Iterations(3000)->Unit(benchmark::kMicrosecond);

}  // namespace
