// USB CCID message layouts as the simulated reader speaks them over a byte stream: the
// 10-byte header shared by bulk-out commands and bulk-in responses, the codes of bStatus and
// bError, and helpers to look at recorded messages.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "vorasel/sim/Card.h"
#include "vorasel/sim/WireRecorder.h"

namespace hv::sim::ccid {

constexpr size_t kHeaderSize = 10;

// bMessageType, host to reader.
constexpr uint8_t kSetParameters = 0x61;
constexpr uint8_t kIccPowerOn = 0x62;
constexpr uint8_t kIccPowerOff = 0x63;
constexpr uint8_t kGetSlotStatus = 0x65;
constexpr uint8_t kSecure = 0x69;
constexpr uint8_t kT0Apdu = 0x6A;
constexpr uint8_t kEscape = 0x6B;
constexpr uint8_t kGetParameters = 0x6C;
constexpr uint8_t kResetParameters = 0x6D;
constexpr uint8_t kIccClock = 0x6E;
constexpr uint8_t kXfrBlock = 0x6F;
constexpr uint8_t kMechanical = 0x71;
constexpr uint8_t kAbort = 0x72;
constexpr uint8_t kSetDataRateAndClockFrequency = 0x73;

// bMessageType, reader to host.
constexpr uint8_t kDataBlock = 0x80;
constexpr uint8_t kSlotStatus = 0x81;
constexpr uint8_t kParameters = 0x82;
constexpr uint8_t kEscapeResponse = 0x83;
constexpr uint8_t kDataRateAndClockFrequency = 0x84;
constexpr uint8_t kNotifySlotChange = 0x50;

// bStatus = bmCommandStatus << 6 | bmICCStatus.
enum class IccStatus : uint8_t { Active = 0, Inactive = 1, Absent = 2 };
enum class CommandStatus : uint8_t { Processed = 0, Failed = 1, TimeExtension = 2 };
constexpr uint8_t status(CommandStatus c, IccStatus i) {
    return static_cast<uint8_t>(static_cast<uint8_t>(c) << 6 | static_cast<uint8_t>(i));
}

// bError when bmCommandStatus is Failed (1..0x7F: offset of the bad field in the message).
constexpr uint8_t kErrCommandNotSupported = 0x00;
constexpr uint8_t kErrOffsetLength = 1;
constexpr uint8_t kErrOffsetSlot = 5;
constexpr uint8_t kErrOffsetByte7 = 7;  // bPowerSelect, bProtocolNum, bBWI
constexpr uint8_t kErrOffsetByte8 = 8;  // wLevelParameter
constexpr uint8_t kErrOffsetData = 10;  // abData, first byte
constexpr uint8_t kErrCmdSlotBusy = 0xE0;
constexpr uint8_t kErrHwError = 0xFB;
constexpr uint8_t kErrXfrOverrun = 0xFC;
constexpr uint8_t kErrIccMute = 0xFE;

// A header as it appears on the wire (commands and responses alike).
struct Header {
    uint8_t type = 0;
    uint32_t length = 0;  // dwLength: data bytes after the header
    uint8_t slot = 0;
    uint8_t seq = 0;
    uint8_t b7 = 0;  // bPowerSelect / bProtocolNum / bBWI / bStatus
    uint8_t b8 = 0;  // bError, low byte of wLevelParameter
    uint8_t b9 = 0;  // bClockStatus / bChainParameter / bProtocolNum
};

std::optional<Header> parseHeader(std::span<const uint8_t> bytes);
void writeHeader(uint8_t *out, const Header &h);

// Checks a whole PC_to_RDR_SetParameters message: 0 when the reader accepts it, otherwise
// the bError to answer, the offset of the first bad field (7 bProtocolNum, 1 dwLength,
// 10 and up the fields of the protocol data structure).
uint8_t checkParameters(std::span<const uint8_t> message);

// One recorded CCID message, its header decoded.
struct Message {
    Header header;
    Bytes data;  // the bytes after the header
    Clock::time_point time;
    std::string note;
};

// Messages the reader received on the bulk pipe, optionally of one bMessageType.
std::vector<Message> received(const WireRecorder &recorder, std::optional<uint8_t> type = {});
// Messages the reader put on the bulk pipe, optionally of one bMessageType.
std::vector<Message> sent(const WireRecorder &recorder, std::optional<uint8_t> type = {});
// The slot-change notifications put on the interrupt pipe, as their bmSlotICCState bytes.
std::vector<uint8_t> slotChanges(const WireRecorder &recorder);

}  // namespace hv::sim::ccid
