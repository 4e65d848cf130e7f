// Epilogues of T=1 blocks as the card computes and checks them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "vorasel/sim/Card.h"

namespace hv::sim::card {

enum class Edc : uint8_t { Lrc, Crc };

uint8_t lrc(std::span<const uint8_t> bytes);
// CCITT polynomial 0x1021, most significant bit first, register starting at 0, no final xor:
// the convention the host side of this system uses, sent most significant byte first.
uint16_t crc16(std::span<const uint8_t> bytes);

inline size_t edcSize(Edc edc) {
    return edc == Edc::Crc ? 2 : 1;
}
// Appends the epilogue computed over everything already in `block`.
void appendEdc(Edc edc, Bytes &block);
// True when the last edcSize() bytes of `block` are the epilogue of the bytes before them.
bool edcValid(Edc edc, std::span<const uint8_t> block);

}  // namespace hv::sim::card
