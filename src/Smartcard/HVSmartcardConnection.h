// Which card connection of the shared HVSmartcard state is the current one, for layers that
// hand out handles of their own: every successful connect starts a new connection number.
#pragma once

#include <cstdint>

namespace hv::smartcard {

// The number of the latest successful connect in the process (0 before any).
uint64_t currentConnection();
// The number of the latest successful connect made on the calling thread (0 before any).
uint64_t lastConnectionOnThisThread();

}  // namespace hv::smartcard
