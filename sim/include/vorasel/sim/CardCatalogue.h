// Named virtual cards, for the daemon, the tools and tests that want a card by name.
//   t0      ISO 7816-4 card, T=0 only
//   t1      ISO 7816-4 card, T=1 only (LRC)
//   t1-crc  the same with a CRC epilogue
//   dual    T=0 and T=1 offered, T=0 the default
//   fast    T=1 with TA1 0x13: needs a PPS for its faster rate
//   vpcd    the card behind a vpcd bridge (an external emulator such as vicc)
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "vorasel/sim/VirtualCard.h"
#include "vorasel/sim/VpcdBridge.h"

namespace hv::sim {

std::vector<std::string> cardKinds();
// Null for an unknown kind, or "vpcd" without a bridge.
std::shared_ptr<VirtualCard> makeCard(const std::string &kind,
                                      std::shared_ptr<VpcdBridge> bridge = nullptr);

}  // namespace hv::sim
