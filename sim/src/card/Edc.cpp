#include "Edc.h"

#include <array>

namespace hv::sim::card {
namespace {

constexpr std::array<uint16_t, 256> makeCrcTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned n = 0; n < 256; ++n) {
        uint16_t reg = static_cast<uint16_t>(n << 8);
        for (int bit = 0; bit < 8; ++bit)
            reg = static_cast<uint16_t>((reg & 0x8000) ? (reg << 1) ^ 0x1021 : reg << 1);
        table[n] = reg;
    }
    return table;
}

constexpr auto kCrcTable = makeCrcTable();

}  // namespace

uint8_t lrc(std::span<const uint8_t> bytes) {
    uint8_t x = 0;
    for (uint8_t b : bytes)
        x ^= b;
    return x;
}

uint16_t crc16(std::span<const uint8_t> bytes) {
    uint16_t reg = 0;
    for (uint8_t b : bytes)
        reg = static_cast<uint16_t>((reg << 8) ^ kCrcTable[((reg >> 8) ^ b) & 0xFF]);
    return reg;
}

void appendEdc(Edc edc, Bytes &block) {
    if (edc == Edc::Lrc) {
        block.push_back(lrc(block));
        return;
    }
    const uint16_t crc = crc16(block);
    block.push_back(static_cast<uint8_t>(crc >> 8));
    block.push_back(static_cast<uint8_t>(crc));
}

bool edcValid(Edc edc, std::span<const uint8_t> block) {
    const size_t n = edcSize(edc);
    if (block.size() < n + 1) return false;
    const auto body = block.first(block.size() - n);
    if (edc == Edc::Lrc) return lrc(body) == block.back();
    const uint16_t crc = crc16(body);
    return block[block.size() - 2] == static_cast<uint8_t>(crc >> 8) &&
           block.back() == static_cast<uint8_t>(crc);
}

}  // namespace hv::sim::card
