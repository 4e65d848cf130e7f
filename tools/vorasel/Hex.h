// Hex text in and out for the tool's commands.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Json.h"

namespace vorasel::tool {

// Hex digits with optional spaces, tabs and colons between bytes. False with a reason for
// anything else, an odd number of digits, or no bytes at all.
bool parseHex(const std::string &text, std::vector<uint8_t> &out, std::string &error);
// "3B" and the like: one byte given as its own argument.
bool isByteArg(const std::string &argument);
std::string hex(const std::vector<uint8_t> &bytes, const char *separator = " ");
std::string hex(const uint8_t *bytes, size_t length, const char *separator = " ");

}  // namespace vorasel::tool
