// JSON text for the tool's --json output.
#pragma once

#include <string>

namespace vorasel::tool {

// A JSON string literal: quotes, backslashes and control characters escaped, bytes that are not
// UTF-8 replaced by U+FFFD.
std::string jsonString(const std::string &text);

}  // namespace vorasel::tool
