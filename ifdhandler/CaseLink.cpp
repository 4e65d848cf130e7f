#include "CaseLink.h"

#include "Accessory/HVProtocolSession.h"
#include "Platform/ExternalAccessory/EAAccessoryManager.h"
#include "Platform/Linux/SocketAccessoryProvider.h"
#include "Platform/RunLoop.h"
#include "Platform/Thread.h"
#include "Smartcard/IFDH/HVIFDH.h"
#include "vorasel/HVLog.h"
#include "vorasel/hv_simulated_case.h"

namespace hv::ifdhandler {

using platform::EAAccessoryManager;
using platform::SocketAccessoryProvider;
using platform::SteadyClock;

namespace {

bool readerOffered() {
    static const std::string bulk =
        HVProtocolSession::stringFromProtocol(HVAccessoryProtocolCCIDBulk);
    for (const auto &accessory :
         EAAccessoryManager::sharedAccessoryManager().connectedAccessories())
        if (accessory->offersProtocol(bulk)) return true;
    return false;
}

}  // namespace

CaseLink::CaseLink(CardPresence &presence) : presence_(presence) {}

bool CaseLink::start(const CaseTarget &target) {
    {
        std::lock_guard lock(stepLock_);
        if (target.kind == CaseTarget::Kind::Simulated &&
            !hv_simulated_case_attach(target.cardKind.c_str()))
            return false;
        target_ = target;
    }
    std::call_once(started_, [this] {
        // Runs as long as the process, as the driver's own threads do.
        thread_ = std::make_unique<platform::Thread>([this] { run(); }, "hv.ifdh.link");
        thread_->start();
    });
    poke();
    return true;
}

void CaseLink::stop() {
    std::lock_guard lock(stepLock_);
    releaseLocked();
    target_.reset();
}

void CaseLink::poke() {
    pokes_.fetch_add(1);
    std::lock_guard lock(loopLock_);
    if (loop_) loop_->wakeUp();
}

void CaseLink::run() {
    {
        std::lock_guard lock(loopLock_);
        loop_ = platform::RunLoop::currentShared();
    }
    for (;;) {
        const uint64_t seen = pokes_.load();
        const auto next = step();
        loop_->runUntil(next, [&] { return pokes_.load() != seen; });
    }
}

bool CaseLink::daemonFollowed() const {
    auto provider = std::dynamic_pointer_cast<SocketAccessoryProvider>(
        EAAccessoryManager::sharedAccessoryManager().provider());
    return provider && provider->isFollowing() && provider->socketPath() == target_->socketPath;
}

void CaseLink::followDaemon() {
    auto &manager = EAAccessoryManager::sharedAccessoryManager();
    auto previous = std::dynamic_pointer_cast<SocketAccessoryProvider>(manager.provider());
    if (previous) previous->stop();
    // Follows the daemon whether it is up yet or not: its accessories attach when it comes,
    // detach when it goes, and the driver's events poke this link each time.
    auto provider = SocketAccessoryProvider::connect(target_->socketPath, manager, 512, true);
    manager.setProvider(provider);
    if (provider && provider->isConnected())
        HVLogInfo("Reached vorasel-accessoryd at %s", target_->socketPath.c_str());
}

SteadyClock::time_point CaseLink::step() {
    std::lock_guard lock(stepLock_);
    const auto never = SteadyClock::time_point::max();
    if (!target_) return never;
    const bool daemon = target_->kind == CaseTarget::Kind::Daemon;
    if (daemon && !daemonFollowed()) {
        followDaemon();
        if (!daemonFollowed()) return SteadyClock::now() + kRetry;  // out of descriptors
        presence_.changed();
    }
    // The case's arrival is an accessory event, which pokes this link.
    if (!readerOffered()) return never;
    HVIFDH &driver = HVIFDH::sharedInstance();
    if (driver.accessory_state() & HVIFDHAccessoryReaderOpen) return never;
    openReader();
    return (driver.accessory_state() & HVIFDHAccessoryReaderOpen) ? never
                                                                  : SteadyClock::now() + kRetry;
}

void CaseLink::openReader() {
    HVIFDH &driver = HVIFDH::sharedInstance();
    // Opening and the presence probe are one step for pcscd's threads: a power-on of theirs
    // comes before the open or after the probe, never between (the probe would undo it).
    std::lock_guard lock(driver.monitor());
    const HVIFDHStatus opened = driver.open();
    if (opened != HVIFDHStatusSuccess) {
        HVLogError("Opening the reader failed %d", static_cast<int>(opened));
        return;
    }
    opened_ = true;
    // The reader announces only changes: a card that was in the slot before the driver opened
    // is learnt from the status of a power-off, which a card nobody uses does not mind.
    driver.powerOffICC();
    presence_.changed();
}

void CaseLink::releaseLocked() {
    if (opened_) HVIFDH::sharedInstance().close();
    opened_ = false;
    if (!target_) return;
    if (target_->kind == CaseTarget::Kind::Simulated) {
        hv_simulated_case_detach();
    } else {
        auto &manager = EAAccessoryManager::sharedAccessoryManager();
        auto provider = std::dynamic_pointer_cast<SocketAccessoryProvider>(manager.provider());
        if (provider && provider->socketPath() == target_->socketPath) {
            manager.setProvider(nullptr);
            provider->stop();
        }
    }
    presence_.changed();
}

}  // namespace hv::ifdhandler
