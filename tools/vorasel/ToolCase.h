// The case a command runs against: the daemon's, when VORASEL_ACCESSORYD_SOCKET names one (the
// library takes it at start-up), or a simulated case embedded in this process with a card of
// the chosen kind in its reader.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace hv::sim {
class VoraselCase;
}

namespace vorasel::tool {

class ToolCase {
public:
    // The card kinds of the simulator's catalogue, for usage lines.
    static std::string cardKinds();
    // `cardKind` empty: an empty reader. Null, with `error` set, for an unknown card kind or a
    // case that does not come up.
    static std::unique_ptr<ToolCase> open(const std::string &cardKind, std::string &error);
    ~ToolCase();
    ToolCase(const ToolCase &) = delete;
    ToolCase &operator=(const ToolCase &) = delete;

    bool embedded() const { return embedded_ != nullptr; }
    std::string description() const;
    // Embedded case only: pulls the card and puts a fresh one of the same kind back, each
    // `period`, on a thread of its own, until the case is closed.
    bool cycleCard(std::chrono::milliseconds period);

private:
    ToolCase() = default;
    std::unique_ptr<hv::sim::VoraselCase> embedded_;
    std::string cardKind_;
    std::string daemonSocket_;
    std::atomic<bool> stopCycling_{false};
    std::thread cycler_;
};

}  // namespace vorasel::tool
