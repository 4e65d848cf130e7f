// Firmware image files: the checksummed format read back, every kind of damage named, the older
// header and raw payloads still installable.
#include <gtest/gtest.h>

#include "vorasel/sim/FirmwareImage.h"
#include "vorasel/sim/FirmwareReceiver.h"

namespace hv::sim::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Fault = FirmwareImageInfo::Fault;
using Kind = FirmwareImageInfo::Kind;

Bytes payload(size_t n) {
    Bytes p(n);
    for (size_t i = 0; i < n; ++i)
        p[i] = static_cast<uint8_t>(i * 31 + 7);
    return p;
}

Bytes image(std::string_view revision, const Bytes &p) {
    Bytes out;
    EXPECT_TRUE(buildFirmwareImage(revision, p, out));
    return out;
}

TEST(FirmwareImage, Crc32IsTheZlibOne) {
    const std::string check = "123456789";
    EXPECT_EQ(crc32({reinterpret_cast<const uint8_t *>(check.data()), check.size()}), 0xCBF43926u);
    EXPECT_EQ(crc32({}), 0u);
}

TEST(FirmwareImage, BuiltImageReadsBack) {
    const Bytes p = payload(990);
    const Bytes img = image("2.1.0", p);
    ASSERT_EQ(img.size(), 15 + 5 + 990u);
    const auto info = inspectFirmwareImage(img);
    EXPECT_TRUE(info.ok()) << firmwareImageFaultText(info.fault);
    EXPECT_EQ(info.kind, Kind::Format1);
    EXPECT_EQ(info.format, 1);
    EXPECT_EQ(info.revision, "2.1.0");
    EXPECT_EQ(info.payloadLength, 990u);
    EXPECT_EQ(info.storedCrc, crc32(p));
    EXPECT_EQ(FirmwareReceiver::revisionOf(img), "2.1.0");
    EXPECT_FALSE(FirmwareReceiver::refused(img));
    // An empty payload is a sound image too.
    EXPECT_TRUE(inspectFirmwareImage(image("0.0.1", {})).ok());
}

TEST(FirmwareImage, EveryDamageIsFoundAndRefused) {
    const Bytes good = image("3.0", payload(600));
    auto expectFault = [](const Bytes &img, Fault want, const char *what) {
        const auto info = inspectFirmwareImage(img);
        EXPECT_EQ(info.fault, want) << what << ": " << firmwareImageFaultText(info.fault);
        EXPECT_TRUE(FirmwareReceiver::refused(img)) << what;
        EXPECT_FALSE(FirmwareReceiver::revisionOf(img)) << what;
    };
    for (size_t at : {size_t{20}, good.size() / 2, good.size() - 1}) {
        Bytes flipped = good;
        flipped[at] ^= 0x01;
        expectFault(flipped, Fault::BadChecksum, "payload bit flipped");
    }
    Bytes crc = good;
    crc[7 + 3 + 4] ^= 0x80;
    expectFault(crc, Fault::BadChecksum, "stored CRC changed");
    expectFault(Bytes(good.begin(), good.end() - 1), Fault::Truncated, "one byte short");
    // Every cut inside the header is a short image, never a read past the end.
    for (size_t n = 5; n < 15 + 3; ++n)
        expectFault(Bytes(good.begin(), good.begin() + static_cast<ptrdiff_t>(n)), Fault::Truncated,
                    "header cut");
    Bytes longer = good;
    longer.push_back(0);
    expectFault(longer, Fault::TrailingBytes, "byte appended");
    Bytes format = good;
    format[5] = 2;
    expectFault(format, Fault::UnknownFormat, "format 2");
    Bytes zeroRevision = good;
    zeroRevision[6] = 0;
    expectFault(zeroRevision, Fault::BadRevision, "empty revision");
    Bytes control = good;
    control[8] = '\n';
    expectFault(control, Fault::BadRevision, "control character in the revision");
    // A length that would overflow a 32-bit sum is a short image, not a wrap.
    Bytes huge = good;
    for (int i = 0; i < 4; ++i)
        huge[10 + i] = 0xFF;
    expectFault(huge, Fault::Truncated, "payload length 0xFFFFFFFF");
}

TEST(FirmwareImage, OlderHeaderAndRawPayloadsStillInstall) {
    const Bytes p = payload(100);
    const Bytes legacy = FirmwareReceiver::makeImage("1.5.0", p);
    const auto info = inspectFirmwareImage(legacy);
    EXPECT_TRUE(info.ok());
    EXPECT_EQ(info.kind, Kind::Legacy);
    EXPECT_EQ(FirmwareReceiver::revisionOf(legacy), "1.5.0");
    EXPECT_FALSE(FirmwareReceiver::refused(legacy));

    EXPECT_EQ(inspectFirmwareImage(p).kind, Kind::Raw);
    EXPECT_FALSE(FirmwareReceiver::revisionOf(p));
    EXPECT_FALSE(FirmwareReceiver::refused(p));
    // "HVF" alone is raw bytes, not a cut header.
    EXPECT_FALSE(FirmwareReceiver::refused(Bytes{'H', 'V', 'F'}));
}

TEST(FirmwareImage, UnusableRevisionsBuildNothing) {
    Bytes out{1, 2, 3};
    EXPECT_FALSE(buildFirmwareImage("", payload(4), out));
    EXPECT_FALSE(buildFirmwareImage(std::string(65, 'x'), payload(4), out));
    EXPECT_FALSE(buildFirmwareImage("bad\x01", payload(4), out));
    EXPECT_EQ(out, (Bytes{1, 2, 3}));
    EXPECT_TRUE(buildFirmwareImage(std::string(64, 'x'), payload(4), out));
}

}  // namespace
}  // namespace hv::sim::test
