// A program outside the tree that embeds the simulated case (vorasel::vorasel-sim) and hears
// the library announce it, with no main loop of its own.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include <vorasel/HVAccessory.h>
#include <vorasel/HVHost.h>
#include <vorasel/hv_simulated_case.h>

int main() {
    std::atomic<int> announced{0};
    HVHost::addObserver(HVAccessoryDidConnectNotification,
                        [&](const char *, const void *) { announced.fetch_add(1); });
    HVAccessory &accessory = HVAccessory::sharedClass();
    if (hv_simulated_case_attach("no-such-card")) return 1;
    if (!hv_simulated_case_attach("t1")) return 1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (announced.load() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::printf("embedded case announced: %d, connected: %s\n", announced.load(),
                accessory.isConnected() ? "yes" : "no");
    return announced.load() == 1 && accessory.isConnected() ? 0 : 1;
}
