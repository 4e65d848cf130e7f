// What a card's status word (SW1 SW2, ISO/IEC 7816-4) means, in a few words.
#pragma once

#include <cstdint>
#include <string>

namespace vorasel::tool {

std::string statusWordMeaning(uint8_t sw1, uint8_t sw2);

}  // namespace vorasel::tool
