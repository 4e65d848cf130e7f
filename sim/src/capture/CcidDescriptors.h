// The USB descriptors of the simulated case's reader, for a capture's synthetic enumeration:
// what a host reads when the reader is plugged in.
#pragma once

#include <cstdint>
#include <vector>

#include "vorasel/sim/WireCapture.h"

namespace hv::sim::capture {

std::vector<uint8_t> deviceDescriptor();
// Configuration, interface (class 0x0B), CCID class descriptor and the three endpoints.
std::vector<uint8_t> configurationDescriptor(const CaptureDevice &device);

}  // namespace hv::sim::capture
