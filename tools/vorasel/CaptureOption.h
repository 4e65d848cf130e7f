// The global `--capture FILE` and `--capture-limit BYTES` options of the `vorasel` tool: the
// wire of the case embedded in the run goes to FILE as a pcapng capture (see
// vorasel/sim/WireCapture.h), taken out of the arguments wherever they stand.
#pragma once

#include <string>
#include <vector>

namespace hv::sim {
class VoraselCase;
}

namespace vorasel::tool {

// Removes the options from `args`. False, with a message, for a missing or bad value, or a
// limit without a file.
bool takeCaptureOption(std::vector<std::string> &args, std::string &error);
bool captureRequested();
// Starts the capture asked for on a case just made (nothing when none was asked for).
bool startCapture(hv::sim::VoraselCase &theCase, std::string &error);
// One line on standard error: what the capture holds, and whether it stopped at its limit.
void reportCapture(const hv::sim::VoraselCase &theCase);

}  // namespace vorasel::tool
