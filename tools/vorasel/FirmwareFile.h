// Reading firmware image files for the `firmware` and `firmware-image` commands.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vorasel/sim/FirmwareImage.h"

namespace vorasel::tool {

// False when the file cannot be read or is 4 GiB or larger; `error` says which.
bool readFirmwareFile(const std::string &path, std::vector<uint8_t> &out, std::string &error);

// "format 1, revision 2.0.0, 990-byte payload, CRC-32 0x1234abcd" and the like.
std::string describeFirmwareImage(const hv::sim::FirmwareImageInfo &info);

}  // namespace vorasel::tool
