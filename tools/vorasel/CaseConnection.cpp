#include "CaseConnection.h"

#include <cstdio>

#include <atomic>
#include <chrono>
#include <cstdlib>

#include "CaptureOption.h"
#include "Platform/ExternalAccessory/EAAccessoryManager.h"
#include "Platform/Linux/SocketAccessoryProvider.h"
#include "Platform/NotificationCenter.h"
#include "Platform/RunLoop.h"
#include "vorasel/HVAccessory.h"
#include "vorasel/sim/InProcessLink.h"
#include "vorasel/sim/VoraselCase.h"

namespace vorasel::tool {

CaseConnection::CaseConnection() {
    const char *socket =
        std::getenv(hv::platform::SocketAccessoryProvider::SocketEnvironmentVariable);
    if (socket && *socket) daemonSocket_ = socket;
}

CaseConnection::~CaseConnection() {
    if (!embedded_) return;
    hv::sim::inprocess::disconnect(embedded_->sharedAccessory());
    reportCapture(*embedded_);
}

void CaseConnection::open() {
    // Watching from before the attach, so the attach is announced rather than found.
    HVAccessory &accessory = HVAccessory::sharedClass();
    if (!daemonSocket_.empty()) return;
    std::atomic<bool> announced{false};
    auto &center = hv::platform::NotificationCenter::defaultCenter();
    const auto token =
        center.addObserver(HVAccessoryDidConnectNotification, &accessory,
                           [&](const hv::platform::Notification &) { announced = true; });
    embedded_ = std::make_unique<hv::sim::VoraselCase>();
    std::string error;
    if (!startCapture(*embedded_, error)) std::fprintf(stderr, "vorasel: %s\n", error.c_str());
    hv::sim::inprocess::connect(embedded_->sharedAccessory());
    embedded_->accessory().attach();
    // Announcements come on the main loop: this thread's, or the library's dispatcher.
    hv::platform::runCurrentLoopUntil(std::chrono::steady_clock::now() + std::chrono::seconds(3),
                                      [&] { return announced.load(); });
    center.removeObserver(token);
}

std::string CaseConnection::description() const {
    return daemonSocket_.empty() ? "embedded simulated case"
                                 : "accessory daemon at " + daemonSocket_;
}

}  // namespace vorasel::tool
