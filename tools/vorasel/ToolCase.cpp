#include "ToolCase.h"

#include <cstdlib>

#include "CaptureOption.h"
#include "Platform/ExternalAccessory/EAAccessoryManager.h"
#include "Platform/Linux/SocketAccessoryProvider.h"
#include "Platform/RunLoop.h"
#include "vorasel/HVAccessory.h"
#include "vorasel/sim/CardCatalogue.h"
#include "vorasel/sim/InProcessLink.h"
#include "vorasel/sim/VoraselCase.h"

namespace vorasel::tool {

using namespace std::chrono_literals;
using hv::platform::SteadyClock;

namespace {

// Presence is announced after the accessory settles; wait for it with a deadline.
bool waitForAccessory(std::chrono::milliseconds timeout) {
    HVAccessory &accessory = HVAccessory::sharedClass();
    return hv::platform::runCurrentLoopUntil(SteadyClock::now() + timeout,
                                             [&] { return accessory.isConnected(); });
}

}  // namespace

std::string ToolCase::cardKinds() {
    std::string kinds;
    for (const auto &k : hv::sim::cardKinds()) {
        if (k == "vpcd") continue;  // needs an emulator behind it: daemon only
        kinds += (kinds.empty() ? "" : "|") + k;
    }
    return kinds;
}

std::unique_ptr<ToolCase> ToolCase::open(const std::string &cardKind, std::string &error) {
    std::unique_ptr<ToolCase> c(new ToolCase);
    const char *daemon =
        std::getenv(hv::platform::SocketAccessoryProvider::SocketEnvironmentVariable);
    HVAccessory::sharedClass();
    if (daemon && *daemon) {
        c->daemonSocket_ = daemon;
        // The library has taken the daemon's accessories on first use of the accessory
        // service; a detached case is left for the PC/SC calls to report.
        hv::platform::EAAccessoryManager::sharedAccessoryManager();
        waitForAccessory(2s);
        return c;
    }
    std::shared_ptr<hv::sim::VirtualCard> card;
    if (!cardKind.empty() && !(card = hv::sim::makeCard(cardKind))) {
        error = "unknown card kind '" + cardKind + "' (" + cardKinds() + ")";
        return nullptr;
    }
    c->cardKind_ = cardKind;
    c->embedded_ = std::make_unique<hv::sim::VoraselCase>();
    if (!startCapture(*c->embedded_, error)) return nullptr;
    if (card) c->embedded_->insertCard(card);
    hv::sim::inprocess::connect(c->embedded_->sharedAccessory());
    c->embedded_->accessory().attach();
    if (!waitForAccessory(3s)) {
        error = "the embedded case was not announced";
        return nullptr;
    }
    return c;
}

ToolCase::~ToolCase() {
    stopCycling_.store(true);
    if (cycler_.joinable()) cycler_.join();
    if (!embedded_) return;
    hv::sim::inprocess::disconnect(embedded_->sharedAccessory());
    reportCapture(*embedded_);
}

std::string ToolCase::description() const {
    if (!embedded_) return "accessory daemon at " + daemonSocket_;
    return "embedded simulated case, " +
           (cardKind_.empty() ? std::string("empty reader") : "card " + cardKind_);
}

bool ToolCase::cycleCard(std::chrono::milliseconds period) {
    if (!embedded_ || cardKind_.empty() || cycler_.joinable()) return false;
    cycler_ = std::thread([this, period] {
        bool present = true;
        auto next = SteadyClock::now() + period;
        while (!stopCycling_.load()) {
            // Short steps so that closing the case never waits a whole period.
            if (SteadyClock::now() < next) {
                std::this_thread::sleep_for(std::min<SteadyClock::duration>(
                    next - SteadyClock::now(), std::chrono::milliseconds(5)));
                continue;
            }
            if (present)
                embedded_->removeCard();
            else
                embedded_->insertCard(hv::sim::makeCard(cardKind_));
            present = !present;
            next += period;
        }
    });
    return true;
}

}  // namespace vorasel::tool
