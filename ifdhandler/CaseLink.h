// Keeps the case within the reader driver's reach, on a thread of its own, so that pcscd's
// threads never wait for it.
//
// For the accessory daemon it follows the daemon's socket path: the provider attaches the
// daemon's accessories whenever a daemon listens there (one that restarts is found again) and
// detaches them when it goes, with no polling here.
// For the simulated case it attaches the case in this process. Whenever the case's reader is
// offered and the driver is not open, it opens the driver, learns from the reader whether a
// card is in the slot (a card inserted before the driver opened announces nothing), and tells
// `presence`.
//
// Threads: start() and stop() from any thread (pcscd's). The link's own thread ("hv.ifdh.link")
// does the connecting and opening; poke() from any thread makes it look again at once (the
// driver's event thread pokes it when the accessory comes or goes). Once started, the thread
// runs for the life of the process: a CaseLink that has been started is never destroyed.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

#include "CardPresence.h"
#include "Platform/Thread.h"
#include "ReaderConf.h"

namespace hv::platform {
class RunLoop;
}

namespace hv::ifdhandler {

class CaseLink {
public:
    static constexpr auto kRetry = std::chrono::milliseconds(250);

    explicit CaseLink(CardPresence &presence);
    CaseLink(const CaseLink &) = delete;
    CaseLink &operator=(const CaseLink &) = delete;

    // Serves `target` from now on and returns at once. False, with nothing changed, when the
    // simulated case has no card of that kind.
    bool start(const CaseTarget &target);
    // Closes the driver and lets the case go (the daemon's accessories, or the simulated case
    // detached). Waits for a step of the link thread that is under way.
    void stop();
    void poke();

private:
    void run();
    // One look at the case; returns when to look again without a poke.
    std::chrono::steady_clock::time_point step();
    bool daemonFollowed() const;
    void followDaemon();
    void openReader();
    void releaseLocked();

    CardPresence &presence_;
    std::mutex stepLock_;               // held for a whole step, and by start() and stop()
    std::optional<CaseTarget> target_;  // under stepLock_
    bool opened_ = false;               // the driver opened since the last release; under stepLock_
    std::atomic<uint64_t> pokes_{0};
    std::mutex loopLock_;
    std::shared_ptr<platform::RunLoop> loop_;  // the link thread's, once it runs
    std::once_flag started_;
    std::unique_ptr<platform::Thread> thread_;
};

}  // namespace hv::ifdhandler
