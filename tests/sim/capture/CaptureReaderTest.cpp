// The capture reader on files it did not write: classic pcap in both byte orders, a
// big-endian pcapng section with nanosecond stamps, and every way a file can be cut or
// broken, each ending with an error that names the offset.
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ReadCapture.h"
#include "vorasel/sim/CaptureFormat.h"

namespace hv::sim::capture {
namespace {

using Bytes = std::vector<uint8_t>;

struct Builder {
    bool big;
    Bytes b;
    Builder &u16(uint16_t v) {
        for (int i = 0; i < 2; ++i)
            b.push_back(static_cast<uint8_t>(v >> (8 * (big ? 1 - i : i))));
        return *this;
    }
    Builder &u32(uint32_t v) {
        for (int i = 0; i < 4; ++i)
            b.push_back(static_cast<uint8_t>(v >> (8 * (big ? 3 - i : i))));
        return *this;
    }
    Builder &bytes(const Bytes &x) {
        b.insert(b.end(), x.begin(), x.end());
        return *this;
    }
};

ReadBack read(const Bytes &file) {
    return readCapture(file.empty()
                           ? std::tmpfile()
                           : fmemopen(const_cast<uint8_t *>(file.data()), file.size(), "rb"));
}

// Two packets of link type 220, microsecond stamps 10.000001 s and 10.5 s.
Bytes pcap(bool big, bool nanos) {
    Builder w{big, {}};
    w.u32(nanos ? kPcapMagicNano : kPcapMagicMicro).u16(2).u16(4).u32(0).u32(0).u32(65535);
    w.u32(kLinkUsbLinuxMmapped);
    w.u32(10).u32(nanos ? 1000 : 1).u32(3).u32(3).bytes({1, 2, 3});
    w.u32(10).u32(nanos ? 500000000 : 500000).u32(1).u32(9).bytes({4});
    return w.b;
}

// A big-endian pcapng section: one interface with nanosecond stamps, one enhanced packet
// with epb_flags inbound, one simple packet.
Bytes bigEndianPcapng() {
    Builder w{true, {}};
    w.u32(kSectionHeaderBlock).u32(28).u32(kByteOrderMagic).u16(1).u16(0).u32(0xFFFFFFFF);
    w.u32(0xFFFFFFFF).u32(28);
    w.u32(kInterfaceDescriptionBlock).u32(32).u16(kLinkUsbLinux).u16(0).u32(0);
    w.u16(kIfTsResolution).u16(1).bytes({9, 0, 0, 0}).u16(0).u16(0).u32(32);
    const uint64_t stamp = 1700000000123456789ull;
    w.u32(kEnhancedPacketBlock).u32(48).u32(0).u32(uint32_t(stamp >> 32)).u32(uint32_t(stamp));
    w.u32(2).u32(2).bytes({0xAA, 0xBB, 0, 0}).u16(kEpbFlags).u16(4).u32(kEpbInbound).u16(0);
    w.u16(0).u32(48);
    w.u32(kSimplePacketBlock).u32(20).u32(3).bytes({7, 8, 9, 0}).u32(20);
    return w.b;
}

TEST(CaptureReaderTest, ReadsPcapAndBigEndianPcapng) {
    for (bool big : {false, true}) {
        for (bool nanos : {false, true}) {
            const auto r = read(pcap(big, nanos));
            ASSERT_EQ(r.error, "");
            ASSERT_EQ(r.packets.size(), 2u);
            EXPECT_EQ(r.packets[0].linkType, kLinkUsbLinuxMmapped);
            EXPECT_EQ(r.packets[0].bigEndian, big);
            EXPECT_EQ(r.packets[0].data, Bytes({1, 2, 3}));
            EXPECT_EQ(r.packets[0].timeNanos, 10000001000);
            EXPECT_EQ(r.packets[1].timeNanos, 10500000000);
            EXPECT_EQ(r.packets[1].originalLength, 9u);
            EXPECT_EQ(r.packets[1].offset, 24u + 16 + 3);
        }
    }
    const auto r = read(bigEndianPcapng());
    ASSERT_EQ(r.error, "");
    ASSERT_EQ(r.packets.size(), 2u);
    EXPECT_TRUE(r.packets[0].bigEndian);
    EXPECT_EQ(r.packets[0].linkType, kLinkUsbLinux);
    EXPECT_EQ(r.packets[0].timeNanos, 1700000000123456789);
    EXPECT_EQ(r.packets[0].data, Bytes({0xAA, 0xBB}));
    EXPECT_EQ(r.packets[0].flags, kEpbInbound);
    EXPECT_EQ(r.packets[1].data, Bytes({7, 8, 9}));
    EXPECT_EQ(r.packets[1].offset, 28u + 32 + 48);
}

// Every prefix of a file either ends cleanly at a block boundary with the packets before it,
// or reports a truncation at the offset of the block it cuts.
TEST(CaptureReaderTest, EveryTruncationIsReportedWithItsOffset) {
    for (const Bytes &file : {pcap(false, false), pcap(true, true), bigEndianPcapng()}) {
        const size_t whole = read(file).packets.size();
        for (size_t n = 0; n < file.size(); ++n) {
            const auto r = read(Bytes(file.begin(), file.begin() + static_cast<ptrdiff_t>(n)));
            if (r.error.empty()) {
                EXPECT_LT(r.packets.size(), whole) << "prefix " << n;
                continue;
            }
            EXPECT_EQ(r.error.rfind("offset ", 0), 0u) << r.error;
            const size_t offset = std::stoul(r.error.substr(7));
            EXPECT_LE(offset, n) << r.error;
            EXPECT_TRUE(r.error.find("truncated") != std::string::npos ||
                        r.error.find("empty") != std::string::npos)
                << r.error;
        }
    }
    // A cut exactly between blocks of a pcapng file is a clean end.
    const Bytes file = bigEndianPcapng();
    const auto r = read(Bytes(file.begin(), file.begin() + 28 + 32 + 48));
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.packets.size(), 1u);
}

TEST(CaptureReaderTest, CorruptFilesNameTheFaultAndItsOffset) {
    struct Case {
        size_t at;
        std::vector<uint8_t> bytes;
        const char *expected;
    };
    const Case cases[] = {
        {0, {'G', 'I', 'F', '8'}, "offset 0: not a pcap or pcapng capture"},
        {8, {0x11}, "offset 8: section header with a bad byte-order magic"},
        {64,
         {0x00, 0x00, 0x00, 0x31},
         "offset 60: block 0x00000006 has an impossible length of 49"},
        {64, {0x10, 0x00, 0x00, 0x30}, "offset 60: block 0x00000006 has an impossible length"},
        {107, {0x00}, "offset 60: block 0x00000006 of 48 bytes: its trailing length 0 differs"},
        {68, {0x00, 0x00, 0x00, 0x01}, "offset 60: packet block on interface 1, but 1 described"},
        {80, {0x00, 0x00, 0x01, 0x00}, "offset 60: captured length 256 overruns its block"},
        {94, {0x01, 0x00}, "offset 92: packet option 2 overruns its block"},
    };
    for (const auto &c : cases) {
        Bytes file = bigEndianPcapng();
        std::copy(c.bytes.begin(), c.bytes.end(), file.begin() + static_cast<ptrdiff_t>(c.at));
        const auto r = read(file);
        EXPECT_EQ(r.error.rfind(c.expected, 0), 0u) << c.expected << " / got: " << r.error;
    }
    Bytes huge = pcap(false, false);
    huge[24 + 8] = 0xFF, huge[24 + 11] = 0x7F;
    EXPECT_EQ(read(huge).error.rfind("offset 24: record of", 0), 0u) << read(huge).error;
}

}  // namespace
}  // namespace hv::sim::capture
