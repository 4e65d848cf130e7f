// The management service driven through a manager session with DEZ requests written out
// byte by byte from the message catalogue.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "Wait.h"
#include "vorasel/sim/FirmwareImage.h"
#include "vorasel/sim/FirmwareReceiver.h"
#include "vorasel/sim/ManagementService.h"

namespace hv::sim::test {
namespace {

using namespace std::chrono_literals;

// The host's end of a manager session, reading whole answers (one-byte tags, definite
// lengths of up to two length octets, as the service's answers have).
class Manager {
public:
    explicit Manager(ManagementService &service) {
        auto pair = makePortPair("manager");
        service.attachPort(pair.device);
        port_ = pair.host;
    }
    void write(const Bytes &b) { ASSERT_TRUE(port_->write(b.data(), b.size())); }
    Bytes readBytes(size_t n, std::chrono::milliseconds timeout = 2s) {
        const auto deadline = Clock::now() + timeout;
        while (held_.size() < n) {
            uint8_t buf[2048];
            const ptrdiff_t got = port_->read(buf, sizeof buf, deadline);
            if (got <= 0) break;
            held_.insert(held_.end(), buf, buf + got);
        }
        const size_t take = std::min(n, held_.size());
        Bytes out(held_.begin(), held_.begin() + take);
        held_.erase(held_.begin(), held_.begin() + take);
        return out;
    }
    Bytes readAnswer(std::chrono::milliseconds timeout = 2s) {
        Bytes m = readBytes(2, timeout);
        if (m.size() < 2) return m;
        size_t len = m[1];
        if (m[1] == 0x81 || m[1] == 0x82) {
            const Bytes ext = readBytes(m[1] & 0x7F, timeout);
            m.insert(m.end(), ext.begin(), ext.end());
            len = 0;
            for (uint8_t b : ext)
                len = len << 8 | b;
        }
        const Bytes content = readBytes(len, timeout);
        m.insert(m.end(), content.begin(), content.end());
        return m;
    }
    Bytes ask(const Bytes &request) {
        write(request);
        return readAnswer();
    }
    bool endsWithin(std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        uint8_t buf[64];
        while (Clock::now() < deadline)
            if (port_->read(buf, sizeof buf, deadline) < 0) return true;
        return false;
    }
    SessionPort &port() { return *port_; }

private:
    std::shared_ptr<SessionPort> port_;
    Bytes held_;
};

const Bytes kOk = {0xD0, 0x01, 0x00};
Bytes status(uint8_t code) {
    return {0xD0, 0x01, code};
}

Bytes readGpio(uint8_t port, uint16_t mask) {
    return {0xE9,         0x09, 0xE1, 0x07, 0x02, 0x01, port, 0x02, 0x02, uint8_t(mask >> 8),
            uint8_t(mask)};
}
Bytes writeGpio(uint8_t port, uint16_t mask, uint16_t state) {
    return {0xEA,          0x0D,
            0xE1,          0x07,
            0x02,          0x01,
            port,          0x02,
            0x02,          uint8_t(mask >> 8),
            uint8_t(mask), 0x02,
            0x02,          uint8_t(state >> 8),
            uint8_t(state)};
}
// Tag, shortest definite length, content.
Bytes element(uint8_t tag, const Bytes &content) {
    Bytes b = {tag};
    const size_t n = content.size();
    if (n > 0xFF) {
        b.insert(b.end(), {0x82, uint8_t(n >> 8), uint8_t(n)});
    } else if (n > 0x7F) {
        b.insert(b.end(), {0x81, uint8_t(n)});
    } else {
        b.push_back(uint8_t(n));
    }
    b.insert(b.end(), content.begin(), content.end());
    return b;
}
Bytes text(uint8_t tag, const std::string &s) {
    Bytes content(s.begin(), s.end());
    content.push_back(0);
    return element(tag, content);
}
Bytes writeProperty(const std::string &key, const std::string &value) {
    Bytes content = text(0x0C, key);
    const Bytes v = text(0x0C, value);
    content.insert(content.end(), v.begin(), v.end());
    return element(0xEB, content);
}
Bytes be32(uint32_t v) {
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}
Bytes firmwareChunk(uint32_t size, uint32_t offset, const Bytes &chunk) {
    Bytes content = {0x02, 0x04};
    for (uint8_t b : be32(size))
        content.push_back(b);
    content.insert(content.end(), {0x02, 0x04});
    for (uint8_t b : be32(offset))
        content.push_back(b);
    content.push_back(0x04);
    content.insert(content.end(), {0x82, uint8_t(chunk.size() >> 8), uint8_t(chunk.size())});
    content.insert(content.end(), chunk.begin(), chunk.end());
    Bytes m = {0xE8, 0x82, uint8_t(content.size() >> 8), uint8_t(content.size())};
    m.insert(m.end(), content.begin(), content.end());
    return m;
}

ManagementConfig config() {
    ManagementConfig c;
    c.counters = {{"ab", 7}, {"power_cycles", 2}};
    c.gpio = {{1, 0x00F0, 0x00FF}, {3, 0x1234, 0xFFFF}};
    c.properties = {{"serial_number", "S-1"}, {"colour", "red"}};
    c.readOnlyProperties = {"serial_number"};
    c.capabilities = 3;
    return c;
}

TEST(ManagementService, CountersAreListedAndReset) {
    ManagementService s(config());
    Manager m(s);
    EXPECT_EQ(m.ask({0xCE, 0x00}),
              (Bytes{0xF2, 0x24,                                                             //
                     0xE0, 0x0B, 0x0C, 0x03, 'a',  'b',  0,   0x02, 0x04, 0,   0,   0,   7,  //
                     0xE0, 0x15, 0x0C, 0x0D, 'p',  'o',  'w', 'e',  'r',  '_', 'c', 'y', 'c',
                     'l',  'e',  's',  0,    0x02, 0x04, 0,   0,    0,    2}));
    EXPECT_EQ(m.ask({0xCF, 0x00}), kOk);
    for (const auto &[name, value] : s.counters())
        EXPECT_EQ(value, 0u) << name;

    ManagementConfig none = config();
    none.counters.clear();
    ManagementService empty(none);
    Manager e(empty);
    EXPECT_EQ(e.ask({0xCE, 0x00}), (Bytes{0xF2, 0x00}));
}

TEST(ManagementService, CapabilitiesAreTheConfiguredBits) {
    ManagementService s(config());
    Manager m(s);
    EXPECT_EQ(m.ask({0xDE, 0x00}), (Bytes{0xD3, 0x04, 0x00, 0x00, 0x00, 0x03}));
    s.setCapabilities(kCapabilitySmartCard);
    EXPECT_EQ(m.ask({0xDE, 0x00}), (Bytes{0xD3, 0x04, 0x00, 0x00, 0x00, 0x02}));
}

TEST(ManagementService, GpioReadsAndWritesThroughTheBitmask) {
    ManagementService s(config());
    Manager m(s);
    EXPECT_EQ(m.ask(readGpio(1, 0x0030)), (Bytes{0xD1, 0x02, 0x00, 0x30}));
    EXPECT_EQ(m.ask(writeGpio(1, 0x000F, 0xFFF5)), kOk);
    EXPECT_EQ(s.gpioState(1), 0x00F5);  // only the masked pins changed
    EXPECT_EQ(m.ask(readGpio(1, 0xFFFF)), (Bytes{0xD1, 0x02, 0x00, 0xF5}));
    // Pins 8-15 of port 1 are inputs.
    EXPECT_EQ(m.ask(writeGpio(1, 0x0100, 0x0100)), status(dez_status::kNotPermitted));
    s.setGpioInputs(1, 0xFF00, 0x0A00);
    EXPECT_EQ(m.ask(readGpio(1, 0x0F00)), (Bytes{0xD1, 0x02, 0x0A, 0x00}));
    EXPECT_EQ(m.ask(readGpio(2, 0xFFFF)), status(dez_status::kBadPort));
    EXPECT_EQ(m.ask(writeGpio(9, 1, 1)), status(dez_status::kBadPort));
    // A one-byte bitmask is not the catalogue's field.
    EXPECT_EQ(m.ask({0xE9, 0x08, 0xE1, 0x06, 0x02, 0x01, 0x01, 0x02, 0x01, 0x10}),
              status(dez_status::kMalformed));
}

TEST(ManagementService, PropertiesAreAKeyValueStore) {
    ManagementService s(config());
    Manager m(s);
    EXPECT_EQ(m.ask(text(0xDB, "colour")), text(0xD2, "red"));
    EXPECT_EQ(m.ask(text(0xDB, "size")), status(dez_status::kUnknownKey));
    EXPECT_EQ(m.ask(writeProperty("size", "XL")), kOk);
    EXPECT_EQ(m.ask(text(0xDB, "size")), text(0xD2, "XL"));
    EXPECT_EQ(m.ask(writeProperty("colour", "")), kOk);
    EXPECT_EQ(m.ask(text(0xDB, "colour")), text(0xD2, ""));
    EXPECT_EQ(m.ask(writeProperty("serial_number", "forged")), status(dez_status::kNotPermitted));
    EXPECT_EQ(s.property("serial_number"), "S-1");
    EXPECT_EQ(m.ask(writeProperty("long", std::string(1001, 'x'))),
              status(dez_status::kNotPermitted));
    // Strings without their zero, or with a zero inside, are not strings.
    EXPECT_EQ(m.ask({0xDB, 0x02, 'a', 'b'}), status(dez_status::kMalformed));
    EXPECT_EQ(m.ask({0xDB, 0x03, 'a', 0, 0}), status(dez_status::kMalformed));
    EXPECT_EQ(m.ask({0xDB, 0x00}), status(dez_status::kMalformed));
}

TEST(ManagementService, UnknownMalformedAndOversizeRequestsFailAndTheStreamGoesOn) {
    ManagementService s(config());
    Manager m(s);
    EXPECT_EQ(m.ask(text(0xD9, "P-1")), status(dez_status::kUnknownMessage));
    EXPECT_EQ(m.ask({0xCE, 0x01, 0x00}), status(dez_status::kMalformed));
    // A constructed element whose child runs past it.
    EXPECT_EQ(m.ask({0xE9, 0x03, 0xE1, 0x05, 0x02}), status(dez_status::kMalformed));
    // Bigger than the service takes: refused, its content skipped.
    Bytes big = {0xEB, 0x82, 0x20, 0x00};
    big.resize(big.size() + 0x2000, 'z');
    EXPECT_EQ(m.ask(big), status(dez_status::kTooLarge));
    EXPECT_EQ(m.ask({0xDE, 0x00}), (Bytes{0xD3, 0x04, 0x00, 0x00, 0x00, 0x03}));
    // No element can start with 1F 80: dropped with the rest of that delivery.
    m.write({0x1F, 0x80, 0x01, 0xDE, 0x00});
    EXPECT_EQ(m.readAnswer(), status(dez_status::kMalformed));
    EXPECT_EQ(m.ask({0xDE, 0x00}), (Bytes{0xD3, 0x04, 0x00, 0x00, 0x00, 0x03}));
    const auto got = s.recorder().select("manager", Direction::Received);
    ASSERT_GE(got.size(), 3u);
    EXPECT_EQ(got[got.size() - 2].bytes, (Bytes{0x1F, 0x80}));
}

TEST(ManagementService, RequestsSplitAnywhereOrMergedAreEachAnswered) {
    ManagementService s(config());
    Manager m(s);
    const Bytes req = readGpio(3, 0xFF00);
    for (uint8_t b : req)
        m.write({b});
    EXPECT_EQ(m.readAnswer(), (Bytes{0xD1, 0x02, 0x12, 0x00}));
    Bytes two = {0xDE, 0x00};
    const Bytes prop = text(0xDB, "colour");
    two.insert(two.end(), prop.begin(), prop.end());
    two.push_back(0xCF);
    m.write(two);
    m.write({0x00});
    EXPECT_EQ(m.readAnswer(), (Bytes{0xD3, 0x04, 0x00, 0x00, 0x00, 0x03}));
    EXPECT_EQ(m.readAnswer(), text(0xD2, "red"));
    EXPECT_EQ(m.readAnswer(), kOk);
}

TEST(ManagementService, CorruptImageIsRefusedAndTheOldFirmwareKept) {
    ManagementService s(config());
    Manager m(s);
    Bytes image;
    ASSERT_TRUE(buildFirmwareImage("9.9.9", Bytes(700, 0x5A), image));
    image[400] ^= 0x10;
    const Bytes first(image.begin(), image.begin() + 512);
    const Bytes second(image.begin() + 512, image.end());
    const auto size = static_cast<uint32_t>(image.size());
    EXPECT_EQ(m.ask(firmwareChunk(size, 0, first)), kOk);
    EXPECT_EQ(m.ask(firmwareChunk(size, 512, second)), status(dez_status::kFirmwareCorrupt));
    EXPECT_FALSE(s.pendingImage());
    EXPECT_EQ(s.firmwareBytesReceived(), 0u);
    // The reset that follows installs nothing.
    EXPECT_EQ(m.ask({0xCC, 0x00}), kOk);
    ASSERT_TRUE(hv::test::waitUntil([&] { return s.resets() == 1; }));
    EXPECT_EQ(s.firmwareRevision(), "1.0.0");
    EXPECT_FALSE(s.installedImage());
}

TEST(ManagementService, FirmwareChunksAreCheckedAndResetInstallsTheImage) {
    ManagementService s(config());
    std::mutex mu;
    std::vector<std::optional<std::string>> hooks;
    s.setResetHook([&](std::optional<std::string> revision) {
        std::lock_guard lock(mu);
        hooks.push_back(std::move(revision));
    });
    Manager m(s);
    Bytes payload(990);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i * 7);
    const Bytes image = FirmwareReceiver::makeImage("2.1.0", payload);
    ASSERT_EQ(image.size(), 1000u);
    const Bytes first(image.begin(), image.begin() + 512);
    const Bytes second(image.begin() + 512, image.end());

    // A continuation with nothing begun, then the first chunk.
    EXPECT_EQ(m.ask(firmwareChunk(1000, 512, second)), status(dez_status::kFirmwareSize));
    EXPECT_EQ(m.ask(firmwareChunk(1000, 0, first)), kOk);
    // Wrong offset, wrong image size, wrong chunk length: refused, the image unchanged.
    EXPECT_EQ(m.ask(firmwareChunk(1000, 500, second)), status(dez_status::kFirmwareOffset));
    EXPECT_EQ(m.ask(firmwareChunk(1001, 512, second)), status(dez_status::kFirmwareSize));
    EXPECT_EQ(m.ask(firmwareChunk(1000, 512, Bytes(second.begin(), second.end() - 1))),
              status(dez_status::kFirmwareChunk));
    EXPECT_EQ(s.firmwareBytesReceived(), 512u);
    EXPECT_EQ(m.ask(firmwareChunk(1000, 512, second)), kOk);
    EXPECT_EQ(s.pendingImage(), image);
    EXPECT_EQ(s.firmwareRevision(), "1.0.0");

    EXPECT_EQ(m.ask({0xCC, 0x00}), kOk);
    ASSERT_TRUE(hv::test::waitUntil([&] {
        std::lock_guard lock(mu);
        return hooks.size() == 1;
    }));
    {
        std::lock_guard lock(mu);
        EXPECT_EQ(hooks[0], "2.1.0");
    }
    EXPECT_EQ(s.firmwareRevision(), "2.1.0");
    EXPECT_EQ(s.installedImage(), image);
    EXPECT_FALSE(s.pendingImage());

    // A reset with no new image names no revision.
    EXPECT_EQ(m.ask({0xCC, 0x00}), kOk);
    ASSERT_TRUE(hv::test::waitUntil([&] {
        std::lock_guard lock(mu);
        return hooks.size() == 2;
    }));
    std::lock_guard lock(mu);
    EXPECT_FALSE(hooks[1]);
    EXPECT_EQ(s.resets(), 2u);
}

TEST(ManagementService, FirmwareFirstChunkAndSizeLimits) {
    ManagementConfig c = config();
    c.maxFirmwareImage = 2048;
    ManagementService s(c);
    Manager m(s);
    EXPECT_EQ(m.ask(firmwareChunk(0, 0, {})), status(dez_status::kFirmwareSize));
    EXPECT_EQ(m.ask(firmwareChunk(4096, 0, Bytes(512))), status(dez_status::kFirmwareSize));
    // The first chunk of an image longer than a chunk must be a whole chunk.
    EXPECT_EQ(m.ask(firmwareChunk(1000, 0, Bytes(100))), status(dez_status::kFirmwareChunk));
    // A short image is one short chunk; an image with no revision header installs as is.
    EXPECT_EQ(m.ask(firmwareChunk(3, 0, {1, 2, 3})), kOk);
    EXPECT_EQ(s.pendingImage(), (Bytes{1, 2, 3}));
    // A new offset-0 chunk starts over.
    EXPECT_EQ(m.ask(firmwareChunk(600, 0, Bytes(512, 9))), kOk);
    EXPECT_FALSE(s.pendingImage() && s.pendingImage()->size() == 600);
    EXPECT_EQ(s.firmwareBytesReceived(), 512u);
    // The chunk element must be an octet string.
    Bytes wrongTag = firmwareChunk(600, 512, Bytes(88, 1));
    wrongTag[16] = 0x0C;
    EXPECT_EQ(m.ask(wrongTag), status(dez_status::kMalformed));
}

TEST(ManagementService, PowerLossKeepsWhatIsStoredAndDropsTheRest) {
    ManagementService s(config());
    Manager m(s);
    EXPECT_EQ(m.ask(writeGpio(3, 0xFFFF, 0x0001)), kOk);
    EXPECT_EQ(m.ask(writeProperty("size", "M")), kOk);
    EXPECT_EQ(m.ask(firmwareChunk(1000, 0, Bytes(512))), kOk);
    s.powerLost();
    EXPECT_TRUE(m.endsWithin(2s));
    ASSERT_TRUE(hv::test::waitUntil([&] { return s.sessionThreads() == 0; }));
    EXPECT_EQ(s.gpioState(3), 0x1234);
    EXPECT_EQ(s.property("size"), "M");
    EXPECT_EQ(s.firmwareBytesReceived(), 0u);
    Manager again(s);
    EXPECT_EQ(again.ask(firmwareChunk(1000, 512, Bytes(488))), status(dez_status::kFirmwareSize));
    auto counters = s.counters();
    EXPECT_EQ(counters[1], (std::pair<std::string, uint32_t>{"power_cycles", 3}));
}

TEST(ManagementService, FaultsShapeTheAnswers) {
    ManagementService s(config());
    Manager m(s);
    // Left unanswered: the next request's answer is the first thing on the wire.
    s.faults().add(Fault::drop().on(0xCF));
    m.write({0xCF, 0x00});
    EXPECT_EQ(m.ask({0xDE, 0x00}), (Bytes{0xD3, 0x04, 0x00, 0x00, 0x00, 0x03}));

    s.faults().add(Fault::truncate(4).on(0xDE));
    m.write({0xDE, 0x00});
    EXPECT_EQ(m.readBytes(4), (Bytes{0xD3, 0x04, 0x00, 0x00}));
    EXPECT_EQ(m.ask({0xCF, 0x00}), kOk);

    s.faults().add(Fault::corrupt(0, 0x01).on(0xCF));
    EXPECT_EQ(m.ask({0xCF, 0x00}), (Bytes{0xD1, 0x01, 0x00}));

    s.faults().add(Fault::delayBy(60ms).on(0xCF));
    const auto start = Clock::now();
    EXPECT_EQ(m.ask({0xCF, 0x00}), kOk);
    EXPECT_GE(Clock::now() - start, 60ms);

    s.faults().add(Fault::split({1, 2}, 50ms).on(0xDE));
    m.write({0xDE, 0x00});
    uint8_t buf[16];
    ASSERT_EQ(m.port().read(buf, sizeof buf, Clock::now() + 2s), 1);
    EXPECT_EQ(buf[0], 0xD3);
    ASSERT_EQ(m.port().read(buf, sizeof buf, Clock::now() + 2s), 1);
    EXPECT_EQ(buf[0], 0x04);
    EXPECT_EQ(m.readBytes(4), (Bytes{0x00, 0x00, 0x00, 0x03}));
    EXPECT_EQ(s.faults().fired(FaultKind::Split), 1u);

    // Another answer in place of the real one, recorded as such.
    s.faults().add(Fault::replace({0xD0, 0x01, 0x05}).on(0xDE));
    EXPECT_EQ(m.ask({0xDE, 0x00}), status(5));
    EXPECT_EQ(s.recorder().select("manager", Direction::Sent).back().note, "replaced");
    EXPECT_EQ(m.ask({0xDE, 0x00}), (Bytes{0xD3, 0x04, 0x00, 0x00, 0x00, 0x03}));

    s.faults().add(Fault::endSession().on(0xCE));
    m.write({0xCE, 0x00});
    EXPECT_TRUE(m.endsWithin(2s));
}

TEST(ManagementService, AResetWhoseAnswerIsLostStillResets) {
    ManagementService s(config());
    std::atomic<int> hooks{0};
    s.setResetHook([&](std::optional<std::string>) { ++hooks; });
    s.faults().add(Fault::drop().on(0xCC));
    Manager m(s);
    m.write({0xCC, 0x00});
    ASSERT_TRUE(hv::test::waitUntil([&] { return hooks.load() == 1; }));
}

}  // namespace
}  // namespace hv::sim::test
