#include "CcidDescriptors.h"

#include "vorasel/sim/CaptureFormat.h"

namespace hv::sim::capture {

namespace {

void le16(std::vector<uint8_t> &b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

void le32(std::vector<uint8_t> &b, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void endpoint(std::vector<uint8_t> &b, uint8_t address, uint8_t attributes, uint16_t packet,
              uint8_t interval) {
    b.insert(b.end(), {7, 0x05, address, attributes});
    le16(b, packet);
    b.push_back(interval);
}

}  // namespace

std::vector<uint8_t> deviceDescriptor() {
    std::vector<uint8_t> d = {18, 0x01};
    le16(d, 0x0200);               // USB 2.0
    d.insert(d.end(), {0, 0, 0});  // class given by the interface
    d.push_back(64);               // control endpoint packet size
    // The pid.codes test identifiers: a simulated device has no vendor of its own.
    le16(d, 0x1209);
    le16(d, 0x0001);
    le16(d, 0x0100);               // device release
    d.insert(d.end(), {0, 0, 0});  // no string descriptors
    d.push_back(1);                // one configuration
    return d;
}

std::vector<uint8_t> configurationDescriptor(const CaptureDevice &device) {
    std::vector<uint8_t> d = {9, 0x02, 0, 0, 1, 1, 0, 0x80, 50};  // bus powered, 100 mA
    d.insert(d.end(), {9, 0x04, 0, 0, 3, 0x0B, 0, 0, 0});         // interface 0: smart card
    // The CCID class descriptor (54 bytes).
    d.insert(d.end(), {0x36, 0x21});
    le16(d, 0x0110);  // bcdCCID 1.10
    d.push_back(0);   // bMaxSlotIndex: one slot
    d.push_back(device.voltageSupport);
    le32(d, 0x00000003);  // dwProtocols: T=0 and T=1
    le32(d, 3580);        // dwDefaultClock, kHz
    le32(d, 3580);        // dwMaximumClock
    d.push_back(0);       // bNumClockSupported
    le32(d, 9600);        // dwDataRate, bps
    le32(d, 115200);      // dwMaxDataRate
    d.push_back(0);       // bNumDataRatesSupported
    le32(d, 254);         // dwMaxIFSD
    le32(d, 0);           // dwSynchProtocols
    le32(d, 0);           // dwMechanical
    // dwFeatures: TPDU level exchanges; automatic voltage selection, clock and baud rate
    // following the parameters the host sets.
    le32(d, 0x00010000 | 0x08 | 0x10 | 0x20);
    le32(d, device.maxMessageLength);
    d.insert(d.end(), {0xFF, 0xFF});  // bClassGetResponse, bClassEnvelope: echo the APDU's
    le16(d, 0);                       // wLcdLayout: none
    d.push_back(0);                   // bPINSupport: none
    d.push_back(1);                   // bMaxCCIDBusySlots
    endpoint(d, WireCapture::kBulkOut, 0x02, 64, 0);
    endpoint(d, WireCapture::kBulkIn, 0x02, 64, 0);
    endpoint(d, WireCapture::kInterruptIn, 0x03, 8, 16);
    putLe16(d.data() + 2, static_cast<uint16_t>(d.size()));
    return d;
}

}  // namespace hv::sim::capture
