#include "CcidTrace.h"

#include <cstdio>

#include "Hex.h"
#include "StatusWords.h"
#include "dez_describe.h"
#include "vorasel/lib_tlv.h"
#include "vorasel/lib_tlv_hl.h"
#include "vorasel/sc_atr.h"
#include "vorasel/sim/CaptureFormat.h"

namespace vorasel::tool {

using namespace hv::sim::capture;

namespace {

constexpr size_t kHeader = 10;
constexpr size_t kMaxChain = 65536 + 512;  // an extended APDU and then some

uint32_t le32(const uint8_t *p) {
    return load32(p, false);
}

const char *commandName(int type) {
    switch (type) {
        case 0x61:
            return "PC_to_RDR_SetParameters";
        case 0x62:
            return "PC_to_RDR_IccPowerOn";
        case 0x63:
            return "PC_to_RDR_IccPowerOff";
        case 0x65:
            return "PC_to_RDR_GetSlotStatus";
        case 0x69:
            return "PC_to_RDR_Secure";
        case 0x6A:
            return "PC_to_RDR_T0APDU";
        case 0x6B:
            return "PC_to_RDR_Escape";
        case 0x6C:
            return "PC_to_RDR_GetParameters";
        case 0x6D:
            return "PC_to_RDR_ResetParameters";
        case 0x6E:
            return "PC_to_RDR_IccClock";
        case 0x6F:
            return "PC_to_RDR_XfrBlock";
        case 0x71:
            return "PC_to_RDR_Mechanical";
        case 0x72:
            return "PC_to_RDR_Abort";
        case 0x73:
            return "PC_to_RDR_SetDataRateAndClockFrequency";
        default:
            return nullptr;
    }
}

const char *responseName(int type) {
    switch (type) {
        case 0x80:
            return "RDR_to_PC_DataBlock";
        case 0x81:
            return "RDR_to_PC_SlotStatus";
        case 0x82:
            return "RDR_to_PC_Parameters";
        case 0x83:
            return "RDR_to_PC_Escape";
        case 0x84:
            return "RDR_to_PC_DataRateAndClockFrequency";
        case 0x50:
            return "RDR_to_PC_NotifySlotChange";
        case 0x51:
            return "RDR_to_PC_HardwareError";
        default:
            return nullptr;
    }
}

std::string errorName(uint8_t e) {
    switch (e) {
        case 0x00:
            return "command not supported";
        case 0xFF:
            return "CMD_ABORTED";
        case 0xFE:
            return "ICC_MUTE";
        case 0xFD:
            return "XFR_PARITY_ERROR";
        case 0xFC:
            return "XFR_OVERRUN";
        case 0xFB:
            return "HW_ERROR";
        case 0xF8:
            return "BAD_ATR_TS";
        case 0xF7:
            return "BAD_ATR_TCK";
        case 0xF6:
            return "ICC_PROTOCOL_NOT_SUPPORTED";
        case 0xF5:
            return "ICC_CLASS_NOT_SUPPORTED";
        case 0xF4:
            return "PROCEDURE_BYTE_CONFLICT";
        case 0xF3:
            return "DEACTIVATED_PROTOCOL";
        case 0xF2:
            return "BUSY_WITH_AUTO_SEQUENCE";
        case 0xF0:
            return "PIN_TIMEOUT";
        case 0xEF:
            return "PIN_CANCELLED";
        case 0xE0:
            return "CMD_SLOT_BUSY";
        default:
            break;
    }
    char b[40];
    if (e < 0x80)
        std::snprintf(b, sizeof b, "bad field at offset %u", e);
    else
        std::snprintf(b, sizeof b, "error 0x%02X", e);
    return b;
}

std::string statusText(uint8_t status, uint8_t error) {
    static const char *const icc[] = {"card active", "card inactive", "no card", "icc status 3"};
    const int command = status >> 6;
    std::string text = command == 0   ? "processed"
                       : command == 1 ? "failed: " + errorName(error)
                       : command == 2 ? "time extension x" + std::to_string(error)
                                      : "command status 3";
    return text + ", " + icc[status & 3];
}

std::string voltage(uint8_t v) {
    switch (v) {
        case 0:
            return "voltage automatic";
        case 1:
            return "5.0 V";
        case 2:
            return "3.0 V";
        case 3:
            return "1.8 V";
        default:
            return "voltage " + std::to_string(v);
    }
}

// One T=1 block: NAD PCB LEN INF EDC (LRC or CRC). Null when the bytes are not one.
std::optional<TraceBlock> t1Block(const uint8_t *d, size_t n, size_t &infAt, size_t &infLength) {
    if (n < 4) return std::nullopt;
    const size_t len = d[2];
    if (n != 3 + len + 1 && n != 3 + len + 2) return std::nullopt;
    infAt = 3;
    infLength = len;
    const uint8_t pcb = d[1];
    TraceBlock b;
    char text[64];
    if (!(pcb & 0x80)) {
        b.kind = 'I';
        b.sequence = (pcb >> 6) & 1;
        b.more = (pcb & 0x20) != 0;
        std::snprintf(text, sizeof text, "I(%d)%s", b.sequence, b.more ? " M" : "");
    } else if ((pcb & 0xC0) == 0x80) {
        b.kind = 'R';
        b.sequence = (pcb >> 4) & 1;
        const int error = pcb & 0x0F;
        std::snprintf(text, sizeof text, "R(%d)%s", b.sequence,
                      error == 1   ? " EDC error"
                      : error == 2 ? " other error"
                      : error      ? " error"
                                   : "");
    } else {
        b.kind = 'S';
        static const char *const kinds[] = {"RESYNCH", "IFS", "ABORT", "WTX", "VPP error"};
        const int kind = pcb & 0x1F;
        const std::string name = kind < 5 ? kinds[kind] : "kind " + std::to_string(kind);
        std::snprintf(text, sizeof text, "S(%s %s)", name.c_str(),
                      pcb & 0x20 ? "response" : "request");
        b.text = text;
        if (len == 1) b.text += " " + std::to_string(d[3]);
        return b;
    }
    b.text = text;
    return b;
}

}  // namespace

std::string ccidMessageName(int type, bool out) {
    const char *name = out ? commandName(type) : responseName(type);
    if (name) return name;
    char b[32];
    std::snprintf(b, sizeof b, "%s 0x%02X", out ? "command" : "response", type & 0xFF);
    return b;
}

void CcidTrace::packet(const CapturedPacket &p, std::vector<TraceLine> &out) {
    if (p.linkType == kLinkUser0) return dez(p, out);
    if (p.linkType != kLinkUsbLinux && p.linkType != kLinkUsbLinuxMmapped) {
        ++skipped_;
        return;
    }
    const bool mmapped = p.linkType == kLinkUsbLinuxMmapped;
    UsbmonHeader h;
    if (!readUsbmonHeader(p.data, mmapped, p.bigEndian, h)) {
        ++skipped_;
        return;
    }
    const size_t at = mmapped ? kUsbmonMmappedHeaderSize : kUsbmonHeaderSize;
    const size_t present = std::min<size_t>(h.captured, p.data.size() - at);
    const Device device{h.bus, h.device};
    if (h.transfer == kXferControl) {
        controlTransfer(device, h, p.data);
        return;
    }
    // Host-to-device data travel with the submission, device-to-host data with the completion.
    const bool carries = present > 0 && h.flagData == 0 &&
                         (h.in() ? h.type == kUsbmonComplete : h.type == kUsbmonSubmit);
    if (!carries || (h.transfer != kXferBulk && h.transfer != kXferInterrupt)) return;
    auto it = readers_.find(device);
    if (it == readers_.end() || !it->second.endpoints.count(h.endpoint)) {
        // A capture started after enumeration: take a device whose bulk transfers are CCID
        // messages, unless its configuration said otherwise.
        if (described_.count(device) || h.transfer != kXferBulk ||
            !looksLikeCcid(h.in(), p.data, at)) {
            ++skipped_;
            return;
        }
        readers_[device].endpoints.insert(h.endpoint);
        it = readers_.find(device);
    }
    message(it->second, device, !h.in(), p.timeNanos, p.data.data() + at, present, h.length, out);
}

void CcidTrace::controlTransfer(const Device &device, const UsbmonHeader &h,
                                const std::vector<uint8_t> &data) {
    const auto key = std::make_tuple(h.urbId, h.bus, h.device);
    // GET_DESCRIPTOR(configuration): standard, device-to-host, request 6, type 2.
    if (h.type == kUsbmonSubmit && h.flagSetup == 0 && h.setup[0] == 0x80 && h.setup[1] == 6 &&
        h.setup[3] == 2) {
        if (configRequests_.size() < 4096) configRequests_[key] = true;
        return;
    }
    if (h.type != kUsbmonComplete || !configRequests_.erase(key) || h.status != 0) return;
    const size_t at = data.size() - std::min<size_t>(h.captured, data.size());
    configuration(device, data, at);
}

void CcidTrace::configuration(const Device &device, const std::vector<uint8_t> &d, size_t at) {
    described_.insert(device);
    int interfaceClass = -1;
    std::set<uint8_t> endpoints;
    for (size_t p = at; p + 2 <= d.size();) {
        const size_t length = d[p];
        if (length < 2 || p + length > d.size()) break;
        const uint8_t type = d[p + 1];
        if (type == 0x04 && length >= 9) interfaceClass = d[p + 5];
        if (type == 0x05 && length >= 7 && interfaceClass == 0x0B &&
            (d[p + 3] & 0x03) >= 2)  // bulk or interrupt
            endpoints.insert(d[p + 2]);
        p += length;
    }
    if (!endpoints.empty()) readers_[device].endpoints = endpoints;
}

bool CcidTrace::looksLikeCcid(bool in, const std::vector<uint8_t> &d, size_t at) const {
    if (d.size() < at + kHeader) return false;
    const uint8_t *m = d.data() + at;
    const bool named = in ? responseName(m[0]) != nullptr : commandName(m[0]) != nullptr;
    return named && kHeader + le32(m + 1) == d.size() - at;
}

void CcidTrace::message(Reader &reader, const Device &device, bool out, int64_t time,
                        const uint8_t *m, size_t n, uint32_t wireLength,
                        std::vector<TraceLine> &lines) {
    TraceLine line;
    line.timeNanos = time;
    line.out = out;
    line.device = std::to_string(device.first) + "." + std::to_string(device.second);
    line.type = n ? m[0] : -1;
    line.message = ccidMessageName(line.type, out);
    if (!out && n >= 2 && (m[0] == 0x50 || m[0] == 0x51)) {
        // Interrupt messages: two bits a slot (present, changed), or a hardware error.
        if (m[0] == 0x50) {
            for (size_t slot = 0; slot < (n - 1) * 4 && slot < 8; ++slot) {
                const int bits = (m[1 + slot / 4] >> ((slot % 4) * 2)) & 3;
                if (!(bits & 2)) continue;
                if (!line.detail.empty()) line.detail += ", ";
                line.detail += "slot " + std::to_string(slot) +
                               (bits & 1 ? ": card present" : ": card absent");
            }
            if (line.detail.empty()) line.detail = "no change";
        } else if (n >= 4) {
            line.slot = m[1];
            line.seq = m[2];
            line.detail = "hardware error " + std::to_string(m[3]);
        }
        lines.push_back(std::move(line));
        return;
    }
    if (n < kHeader) {
        line.detail = "incomplete message: " + std::to_string(n) + " bytes";
        lines.push_back(std::move(line));
        return;
    }
    line.slot = m[5];
    line.seq = m[6];
    const uint32_t declared = le32(m + 1);
    const size_t dataLength = std::min<size_t>(declared, n - kHeader);
    const uint8_t *data = m + kHeader;
    std::string truncated;
    if (declared > n - kHeader)
        truncated = "  (" + std::to_string(n - kHeader) + " of " + std::to_string(declared) +
                    " data bytes " + (wireLength > n ? "captured)" : "present)");

    if (out) {
        const bool pps = line.type == 0x6F && reader.ppsAllowed && dataLength >= 3 &&
                         dataLength <= 6 && data[0] == 0xFF;
        switch (line.type) {
            case 0x62:
                line.detail = voltage(m[7]);
                reader.chain[0].clear();
                reader.chain[1].clear();
                break;
            case 0x61:
                line.detail = "T=" + std::to_string(m[7]) + " parameters " + hex(data, dataLength);
                reader.protocol = m[7] <= 1 ? m[7] : -1;
                reader.ppsAllowed = false;
                break;
            case 0x6F:
                payload(reader, true, pps, data, dataLength, time, line);
                break;
            default:
                if (dataLength) line.detail = hex(data, dataLength);
                break;
        }
        if (reader.pending.size() < 256 || reader.pending.count(line.seq))
            reader.pending[line.seq] = Pending{line.type, time, pps};
    } else {
        line.status = statusText(m[7], m[8]);
        const bool extension = (m[7] >> 6) == 2;
        const auto pending = reader.pending.find(line.seq);
        if (pending != reader.pending.end()) {
            line.rttMs = static_cast<double>(time - pending->second.time) / 1e6;
            if (!extension) {
                const Pending command = pending->second;
                reader.pending.erase(pending);
                const bool ok = (m[7] >> 6) == 0;
                if (line.type == 0x80 && command.type == 0x62 && ok) {
                    scatr_t atr;
                    line.detail = "ATR " + hex(data, dataLength);
                    if (scatr_parse(&atr, data, static_cast<uint32_t>(dataLength)) == SCATR_OK)
                        reader.protocol = scatr_getDefProtocol(&atr);
                    reader.ppsAllowed = true;
                } else if (line.type == 0x80 && command.type == 0x6F) {
                    payload(reader, false, command.pps, data, dataLength, time, line);
                } else if (line.type == 0x82 && ok) {
                    reader.protocol = m[9] <= 1 ? m[9] : -1;
                    line.detail =
                        "T=" + std::to_string(m[9]) + " parameters " + hex(data, dataLength);
                } else if (dataLength) {
                    line.detail = hex(data, dataLength);
                }
                if (command.type == 0x63) reader.protocol = -1;
            }
        } else if (dataLength) {
            line.detail = hex(data, dataLength);
        }
    }
    line.detail += truncated;
    lines.push_back(std::move(line));
}

void CcidTrace::payload(Reader &reader, bool out, bool pps, const uint8_t *data, size_t length,
                        int64_t time, TraceLine &line) {
    if (pps) {
        line.detail = std::string(out ? "PPS request " : "PPS response ") + hex(data, length);
        return;
    }
    if (out) reader.ppsAllowed = false;
    size_t infAt = 0, infLength = 0;
    std::optional<TraceBlock> block;
    if (reader.protocol != 0) block = t1Block(data, length, infAt, infLength);
    auto complete = [&](std::vector<uint8_t> apdu) {
        line.apdu = std::move(apdu);
        line.hasApdu = true;
        if (out) return;
        if (line.apdu.size() >= 2) {
            const uint8_t sw1 = line.apdu[line.apdu.size() - 2], sw2 = line.apdu.back();
            line.sw = static_cast<uint16_t>(sw1 << 8 | sw2);
            line.swMeaning = statusWordMeaning(sw1, sw2);
        }
        if (reader.apduStart) line.apduMs = static_cast<double>(time - reader.apduStart) / 1e6;
    };
    if (!block) {
        if (reader.protocol == 1) {
            line.detail = "not a T=1 block: " + hex(data, length);
            return;
        }
        // T=0 (or not known): the exchange is a TPDU and its answer.
        if (out) reader.apduStart = time;
        complete(std::vector<uint8_t>(data, data + length));
        return;
    }
    line.block = block;
    if (block->kind != 'I') return;
    auto &chain = reader.chain[out ? 0 : 1];
    if (out && chain.empty()) reader.apduStart = time;
    if (chain.size() + infLength > kMaxChain) {
        chain.clear();
        line.detail = "chain longer than " + std::to_string(kMaxChain) + " bytes dropped";
        return;
    }
    chain.insert(chain.end(), data + infAt, data + infAt + infLength);
    if (block->more) return;
    complete(std::move(chain));
    chain.clear();
}

void CcidTrace::dez(const CapturedPacket &p, std::vector<TraceLine> &out) {
    TraceLine line;
    line.timeNanos = p.timeNanos;
    line.out = (p.flags & 3) != kEpbInbound;
    line.device = "dez";
    std::optional<std::string> described;
    tlv_element_t element;
    // Parsed only once validated: the tree parser trusts the lengths it reads.
    if (!p.data.empty() &&
        tlv_read_validate(p.data.data(), &element, static_cast<uint32_t>(p.data.size())) != 0) {
        tlv_t *root = nullptr;
        if (tlv_parse_buffer(p.data.data(), &root) == TLV_OK && root) {
            described = describeDezMessage(root);
            tlv_delete(root);
        }
    }
    line.message = "DEZ";
    line.detail = (described ? *described : std::to_string(p.data.size()) + " bytes") + "  " +
                  hex(p.data.data(), std::min<size_t>(p.data.size(), 64)) +
                  (p.data.size() > 64 ? " ..." : "");
    out.push_back(std::move(line));
}

}  // namespace vorasel::tool
