// Which card connection of the shared HVSmartcard state is the current one, for layers that
// hand out handles of their own: every successful connect starts a new connection number.
#pragma once

#include <cstdint>
#include <mutex>

namespace hv::smartcard {

// The number of the latest successful connect in the process (0 before any).
uint64_t currentConnection();
// The number of the latest successful connect made on the calling thread (0 before any).
uint64_t lastConnectionOnThisThread();
// The class-wide lock of the shared state. While it is held no connect or disconnect runs, so
// a connection checked as current stays current until the lock is let go.
std::unique_lock<std::recursive_mutex> holdConnections();

}  // namespace hv::smartcard
