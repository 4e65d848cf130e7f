// What the driver's files share besides the HVIFDH object: the pipes' module-level state
// (owned by HVIFDHExchange.cpp), the registered callback and the sessions' operations.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "Smartcard/IFDH/HVIFDH.h"

namespace hv::ifdh {

inline constexpr uint32_t kHeaderLength = 10;
// Reassembly buffer of the bulk pipe.
inline constexpr size_t kBulkBufferSize = 813;
// Data bytes one PC_to_RDR_XfrBlock carries.
inline constexpr uint32_t kMaxXfrData = 271;
// Slot-change bytes held at most on the interrupt pipe.
inline constexpr uint16_t kInterruptLimit = 31;
// The T=1 block buffer of one transmission: one block out, the card's block back.
inline constexpr uint32_t kT1BlockBuffer = 270;

inline constexpr uint8_t kIccPowerOn = 0x62;
inline constexpr uint8_t kIccPowerOff = 0x63;
inline constexpr uint8_t kSetParameters = 0x61;
inline constexpr uint8_t kXfrBlock = 0x6F;

// The registered event callback, or null.
extern std::atomic<HVIFDHEventCallback> cb;
// The driver the interrupt callback posts to; set by open().
extern std::atomic<HVIFDH *> driverInstance;

const HVIFDHSessionOps &sessionOps();

// Zeroes the reassembly and interrupt counters (open).
void resetPipes();
// Ends the bulk wait in progress, if any, at once.
void endBulkWait();

inline void putLittleEndian32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint32_t littleEndian32(const uint8_t *p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace hv::ifdh
