// Connects simulated accessories to the library's accessory service in this process.
//
// After connect(), the accessory's attach and detach reach EAAccessoryManager (and so the
// library's did-connect/did-disconnect notifications), and sessions the library opens on it
// run over the accessory's bounded pipes with its faults.
#pragma once

#include <memory>

#include "vorasel/sim/SimAccessory.h"

namespace hv::sim::inprocess {

void connect(const std::shared_ptr<SimAccessory> &accessory);
// Detaches the accessory if attached and forgets it.
void disconnect(const std::shared_ptr<SimAccessory> &accessory);

}  // namespace hv::sim::inprocess
