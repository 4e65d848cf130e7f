// What the `manager` and `firmware` commands share in their output: status names, JSON text and
// the exit statuses.
#pragma once

#include <cstdint>
#include <string>

#include "Json.h"
#include "vorasel/HVManager.h"

namespace vorasel::tool {

// Exit statuses beyond the HVManagerStatus values 0..4.
constexpr int kExitUsage = 64;       // unusable arguments
constexpr int kExitBadImage = 65;    // the image is corrupt: refused before anything is sent
constexpr int kExitNoInput = 66;     // the image cannot be read
constexpr int kExitCantCreate = 73;  // the output cannot be written

const char *managerStatusName(HVManagerStatus status);
// The "status" and "status_name" members, without braces.
std::string jsonStatus(HVManagerStatus status);

}  // namespace vorasel::tool
