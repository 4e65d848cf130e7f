// Names and decoded fields of DEZ messages, for the `vorasel tlv` printout.
#pragma once

#include <optional>
#include <string>

#include "vorasel/lib_tlv_hl.h"

namespace vorasel::tool {

// The catalogue name of a message code ("read_gpio"), or null for a tag that is not one.
// Codes shared by two variants give the longer variant's name.
const char *dezMessageName(uint16_t tag);

// "read_gpio port=1 bitmask=0x0010" for a tree that is a DEZ message, a line saying which
// message it fails to be for a DEZ code with unexpected content, nothing for other tags.
std::optional<std::string> describeDezMessage(const tlv_t *root);

// A string shown readably: printable ASCII as is, anything else escaped.
std::string quoted(const char *text, size_t length);

}  // namespace vorasel::tool
