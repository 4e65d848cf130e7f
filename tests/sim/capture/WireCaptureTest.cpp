// The case's capture file read back with our reader: what each message becomes on the USB
// side, the DEZ interface, the size limit, and the recorder feeding it with recording off.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ReadCapture.h"
#include "vorasel/sim/CaptureFormat.h"
#include "vorasel/sim/WireCapture.h"
#include "vorasel/sim/WireRecorder.h"

namespace hv::sim::capture {
namespace {

std::string tempPath(const char *name) {
    return "/tmp/hv-trace-" + std::to_string(::getpid()) + "-" + name + ".pcapng";
}

ReadBack readAll(const std::string &path) {
    return readCapture(std::fopen(path.c_str(), "rb"));
}

struct Event {
    UsbmonHeader h;
    std::vector<uint8_t> data;
};

Event usbEvent(const CapturedPacket &p) {
    Event e;
    EXPECT_TRUE(readUsbmonHeader(p.data, true, p.bigEndian, e.h));
    e.data.assign(p.data.begin() + kUsbmonMmappedHeaderSize, p.data.end());
    return e;
}

TEST(WireCaptureTest, MessagesBecomeUsbTransfersAfterTheEnumeration) {
    const std::string path = tempPath("transfers");
    std::string error;
    auto capture = WireCapture::create(path, WireCapture::kDefaultLimit, {}, error);
    ASSERT_NE(capture, nullptr) << error;
    const std::vector<uint8_t> powerOn = {0x62, 0, 0, 0, 0, 0, 7, 0, 0, 0};
    const std::vector<uint8_t> atr = {0x80, 2, 0, 0, 0, 0, 7, 0, 0, 0, 0x3B, 0x00};
    const std::vector<uint8_t> change = {0x50, 0x03};
    const std::vector<uint8_t> dezRequest = {0xDE, 0x00};
    capture->message("com.vorasel.ccidbulk", Direction::Received, powerOn);
    capture->message("ccidbulk", Direction::Sent, atr);
    capture->message("ccidinterrupt", Direction::Sent, change);
    capture->message("ccidinterrupt", Direction::Received, change);  // nothing on this pipe
    capture->message("manager", Direction::Received, dezRequest);
    capture->message("manager", Direction::Sent, atr);
    EXPECT_EQ(capture->stats().messages, 5u);
    capture.reset();

    const auto r = readAll(path);
    ::unlink(path.c_str());
    ASSERT_EQ(r.error, "");
    // Enumeration (3 control transfers), then 3 USB transfers, then 2 DEZ frames.
    ASSERT_EQ(r.packets.size(), 6u + 6u + 2u);
    const Event config = usbEvent(r.packets[3]);
    EXPECT_EQ(config.h.transfer, kXferControl);
    ASSERT_GE(config.data.size(), 18u);
    EXPECT_EQ(config.data[1], 0x02);
    EXPECT_EQ(config.data[9 + 5], 0x0B) << "interface class: smart card";
    EXPECT_EQ(config.data[18 + 1], 0x21) << "the CCID class descriptor follows";
    EXPECT_EQ(config.data.size(), size_t(config.data[2] | config.data[3] << 8));

    const Event submitOut = usbEvent(r.packets[6]), completeOut = usbEvent(r.packets[7]);
    EXPECT_EQ(submitOut.h.type, kUsbmonSubmit);
    EXPECT_EQ(submitOut.h.endpoint, WireCapture::kBulkOut);
    EXPECT_EQ(submitOut.data, powerOn) << "bulk-out data travel with the submission";
    EXPECT_EQ(completeOut.h.type, kUsbmonComplete);
    EXPECT_EQ(completeOut.h.urbId, submitOut.h.urbId);
    EXPECT_TRUE(completeOut.data.empty());
    EXPECT_EQ(completeOut.h.length, powerOn.size());

    const Event submitIn = usbEvent(r.packets[8]), completeIn = usbEvent(r.packets[9]);
    EXPECT_EQ(submitIn.h.endpoint, WireCapture::kBulkIn);
    EXPECT_TRUE(submitIn.data.empty());
    EXPECT_EQ(completeIn.data, atr) << "bulk-in data travel with the completion";
    EXPECT_EQ(completeIn.h.urbId, submitIn.h.urbId);
    EXPECT_NE(completeIn.h.urbId, submitOut.h.urbId);

    const Event interrupt = usbEvent(r.packets[11]);
    EXPECT_EQ(interrupt.h.transfer, kXferInterrupt);
    EXPECT_EQ(interrupt.h.endpoint, WireCapture::kInterruptIn);
    EXPECT_EQ(interrupt.data, change);

    EXPECT_EQ(r.packets[12].interface, 1u);
    EXPECT_EQ(r.packets[12].linkType, kLinkUser0);
    EXPECT_EQ(r.packets[12].data, dezRequest);
    EXPECT_EQ(r.packets[12].flags & 3, kEpbOutbound);
    EXPECT_EQ(r.packets[13].flags & 3, kEpbInbound);

    // Wall-clock time stamps, in order, the same in the block and in the usbmon header.
    const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    for (size_t i = 1; i < r.packets.size(); ++i)
        EXPECT_LE(r.packets[i - 1].timeNanos, r.packets[i].timeNanos);
    EXPECT_LT(now - r.packets.back().timeNanos, int64_t(60) * 1000000000);
    EXPECT_EQ(completeIn.h.seconds, r.packets[9].timeNanos / 1000000000);
}

TEST(WireCaptureTest, StopsBeforeItsLimitAndStaysReadable) {
    const std::string path = tempPath("limit");
    std::string error;
    EXPECT_EQ(WireCapture::create(path, 200, {}, error), nullptr);
    EXPECT_NE(error.find("no room for the capture's header"), std::string::npos) << error;

    const uint64_t limit = 4096;
    auto capture = WireCapture::create(path, limit, {}, error);
    ASSERT_NE(capture, nullptr) << error;
    const std::vector<uint8_t> xfr(40, 0x6F);
    for (int i = 0; i < 100; ++i)
        capture->message("ccidbulk", i % 2 ? Direction::Sent : Direction::Received, xfr);
    const auto stats = capture->stats();
    EXPECT_TRUE(stats.limitReached);
    EXPECT_GT(stats.messages, 0u);
    EXPECT_EQ(stats.messages + stats.dropped, 100u);
    capture.reset();

    FILE *f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::fseek(f, 0, SEEK_END);
    const long size = std::ftell(f);
    std::fclose(f);
    EXPECT_LE(size, static_cast<long>(limit));
    EXPECT_EQ(static_cast<uint64_t>(size), stats.bytes);
    const auto r = readAll(path);
    ::unlink(path.c_str());
    EXPECT_EQ(r.error, "") << "whole blocks only, up to the limit";
    // Each message is a submission and a completion; the limit may fall between the two.
    EXPECT_GE(r.packets.size(), 6u + stats.messages * 2);
    EXPECT_LE(r.packets.size(), 6u + stats.messages * 2 + 1);
}

// The daemon turns the record off; the capture is fed all the same, and only with what went
// on the wire.
TEST(WireCaptureTest, RecorderFeedsItsTapWithRecordingOff) {
    struct Tap : WireTap {
        std::vector<std::pair<Direction, size_t>> seen;
        void message(std::string_view, Direction d, std::span<const uint8_t> b) override {
            seen.emplace_back(d, b.size());
        }
    };
    WireRecorder recorder;
    recorder.setEnabled(false);
    auto tap = std::make_shared<Tap>();
    recorder.setTap(tap);
    const uint8_t bytes[3] = {1, 2, 3};
    recorder.record("ccidbulk", Direction::Received, bytes);
    recorder.record("ccidbulk", Direction::Withheld, bytes, "drop");
    recorder.record("ccidbulk", Direction::Sent, {bytes, 2});
    recorder.setTap(nullptr);
    recorder.record("ccidbulk", Direction::Sent, bytes);
    EXPECT_TRUE(recorder.entries().empty());
    ASSERT_EQ(tap->seen.size(), 2u);
    EXPECT_EQ(tap->seen[0], std::make_pair(Direction::Received, size_t(3)));
    EXPECT_EQ(tap->seen[1], std::make_pair(Direction::Sent, size_t(2)));
}

}  // namespace
}  // namespace hv::sim::capture
