// DEZ reassembly: chunk sequences, overflow, corruption, log lines, re-entrancy, threads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "../../tlv/TlvTestUtil.h"
#include "Accessory/Management/HVPAPMessageHandler.h"
#include "CaptureLogger.h"
#include "vorasel/dez_message.h"

using hv::test::Bytes;
using hv::test::hex;
using hv::test::hexOf;
using hv::test::serialise;

namespace {

// A handler whose callback records every message it receives, re-serialised (the tree itself
// is deleted when the callback returns).
class Recording : public ::testing::Test {
protected:
    explicit Recording(uint32_t capacity = 1024)
        : handler(capacity, [this](tlv_t *message) {
              received.push_back(hexOf(serialise(message)));
              if (onMessage) onMessage(message);
          }) {}

    HVPAPMessageHandlerStatus feed(const std::string &text) {
        const Bytes bytes = hex(text);
        return handler.handleMessage(bytes.data(), static_cast<uint16_t>(bytes.size()));
    }

    std::vector<std::string> received;
    std::function<void(tlv_t *)> onMessage;
    HVPAPMessageHandler handler;
};

using PapHandler = Recording;

TEST_F(PapHandler, DeliversOneMessageAndEmptiesTheBuffer) {
    hv::test::ScopedCapture capture;
    EXPECT_EQ(feed("D0 01 00"), HVPAPMessageHandlerStatusOk);
    ASSERT_EQ(received, std::vector<std::string>{"D0 01 00"});
    EXPECT_EQ(handler.bufferLength(), 0u);
    EXPECT_TRUE(capture.logger().contains("Read 3(3) bytes data."));
    EXPECT_TRUE(capture.logger().contains("HVVerbose: "));
}

TEST_F(PapHandler, ByteByByteDeliveryCompletesOnTheLastByte) {
    EXPECT_EQ(feed("D0"), HVPAPMessageHandlerStatusOk);
    EXPECT_EQ(feed("01"), HVPAPMessageHandlerStatusOk);
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(feed("00"), HVPAPMessageHandlerStatusOk);
    EXPECT_EQ(received, std::vector<std::string>{"D0 01 00"});
}

TEST_F(PapHandler, TwoMessagesInOneChunkArriveInOrder) {
    EXPECT_EQ(feed("D1 02 00 05 D0 01 00"), HVPAPMessageHandlerStatusOk);
    EXPECT_EQ(received, (std::vector<std::string>{"D1 02 00 05", "D0 01 00"}));
}

TEST_F(PapHandler, StartOfTheNextMessageIsKeptIntact) {
    uint32_t code = 99, bits = 0;
    onMessage = [&](tlv_t *m) {
        dez_extract_error_code(m, &code);
        dez_extract_capabilities(m, &bits);
    };
    EXPECT_EQ(feed("D0 01 00 D3 04 00"), HVPAPMessageHandlerStatusOk);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(handler.bufferLength(), 3u);
    EXPECT_EQ(feed("00 00 03"), HVPAPMessageHandlerStatusOk);
    EXPECT_EQ(bits, 3u);
    EXPECT_EQ(received.size(), 2u);
}

TEST_F(PapHandler, ExactFillIsAcceptedAndOneByteMoreOverflows) {
    hv::test::ScopedCapture capture;
    // A 1,024-byte byte block header announces more than fits, so nothing completes.
    Bytes chunk(512, 0xAB);
    chunk[0] = 0x04;
    chunk[1] = 0x83;
    chunk[2] = 0x01;
    chunk[3] = 0x00;
    chunk[4] = 0x00;
    EXPECT_EQ(handler.handleMessage(chunk.data(), 512), HVPAPMessageHandlerStatusOk);
    EXPECT_EQ(handler.handleMessage(chunk.data(), 512), HVPAPMessageHandlerStatusOk);
    EXPECT_EQ(handler.bufferLength(), 1024u);
    EXPECT_EQ(handler.handleMessage(chunk.data(), 1), HVPAPMessageHandlerStatusBufferFull);
    EXPECT_EQ(handler.bufferLength(), 0u);
    EXPECT_TRUE(capture.logger().contains(
        "HVError: HVPAPMessageHandlerStatus HVPAPMessageHandler::handleMessage"));
    EXPECT_TRUE(capture.logger().contains("Message too large for buffer, dropping."));
    // Later chunks start a new message.
    EXPECT_EQ(feed("D0 01 04"), HVPAPMessageHandlerStatusOk);
    EXPECT_EQ(received, std::vector<std::string>{"D0 01 04"});
}

TEST_F(PapHandler, NullChunkChangesNothing) {
    hv::test::ScopedCapture capture;
    EXPECT_EQ(feed("D3 04 00"), HVPAPMessageHandlerStatusOk);
    EXPECT_EQ(handler.handleMessage(nullptr, 0), HVPAPMessageHandlerStatusMessageError);
    EXPECT_EQ(handler.handleMessage(nullptr, 5), HVPAPMessageHandlerStatusMessageError);
    EXPECT_EQ(handler.bufferLength(), 3u);
    EXPECT_EQ(capture.logger().count("HVError"), 0u);
}

TEST_F(PapHandler, InvalidTagIsDroppedAsCorrupted) {
    hv::test::ScopedCapture capture;
    EXPECT_EQ(feed("1F 80 00"), HVPAPMessageHandlerStatusMessageCorrupted);
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(handler.bufferLength(), 0u);
    EXPECT_TRUE(capture.logger().contains("] Message corrupted."));
}

TEST_F(PapHandler, CorruptedMessageKeepsWhatFollowsForTheNextChunk) {
    // An element whose child overruns it, then a valid message.
    EXPECT_EQ(feed("E1 03 02 05 01 D0 01 00"), HVPAPMessageHandlerStatusMessageCorrupted);
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(handler.bufferLength(), 3u);
    const uint8_t none = 0;  // an empty chunk makes the handler look again
    EXPECT_EQ(handler.handleMessage(&none, 0), HVPAPMessageHandlerStatusOk);
    EXPECT_EQ(received, std::vector<std::string>{"D0 01 00"});
}

TEST_F(PapHandler, EarlierMessagesAreDeliveredBeforeAFailureStatus) {
    EXPECT_EQ(feed("D0 01 00 D0 80 D0 01 01"), HVPAPMessageHandlerStatusMessageCorrupted);
    EXPECT_EQ(received, std::vector<std::string>{"D0 01 00"});
    EXPECT_EQ(handler.bufferLength(), 3u);
}

TEST_F(PapHandler, ClearEmptiesTheBuffer) {
    EXPECT_EQ(feed("E8 82 01"), HVPAPMessageHandlerStatusOk);
    handler.clear();
    EXPECT_EQ(handler.bufferLength(), 0u);
    EXPECT_EQ(feed("D0 01 00"), HVPAPMessageHandlerStatusOk);
    EXPECT_EQ(received.size(), 1u);
}

TEST_F(PapHandler, CallbackMayClearOrFeedItsOwnHandler) {
    onMessage = [&](tlv_t *) {
        if (received.size() == 1) handler.clear();
    };
    EXPECT_EQ(feed("D0 01 01 D0 01 02"), HVPAPMessageHandlerStatusOk);
    EXPECT_EQ(received, std::vector<std::string>{"D0 01 01"});
    EXPECT_EQ(handler.bufferLength(), 0u);

    received.clear();
    const Bytes more = hex("D0 01 03");
    onMessage = [&](tlv_t *) {
        if (received.size() == 1) {
            EXPECT_EQ(handler.handleMessage(more.data(), 3), HVPAPMessageHandlerStatusOk);
        }
    };
    EXPECT_EQ(feed("D0 01 01 D0 01 02"), HVPAPMessageHandlerStatusOk);
    EXPECT_EQ(received, (std::vector<std::string>{"D0 01 01", "D0 01 02", "D0 01 03"}));
    EXPECT_EQ(handler.bufferLength(), 0u);
}

TEST(PapHandlerCapacity, UnallocatableBufferNeverAcceptsBytes) {
    int calls = 0;
    HVPAPMessageHandler handler(0x80000000u, [&](tlv_t *) { ++calls; });
    EXPECT_EQ(handler.maxSize(), 0u);
    const Bytes bytes = hex("D0 01 00");
    EXPECT_EQ(handler.handleMessage(bytes.data(), 3), HVPAPMessageHandlerStatusBufferFull);
    EXPECT_EQ(handler.handleMessage(bytes.data(), 0), HVPAPMessageHandlerStatusBufferFull);
    EXPECT_EQ(handler.handleMessage(nullptr, 0), HVPAPMessageHandlerStatusMessageError);
    EXPECT_EQ(handler.bufferLength(), 0u);
    EXPECT_EQ(calls, 0);
}

TEST(PapHandlerStatus, NamesEveryStatus) {
    EXPECT_STREQ(HVPAPMessageHandler::stringFromStatus(0), "HVPAPMessageHandlerStatusOk");
    EXPECT_STREQ(HVPAPMessageHandler::stringFromStatus(1), "HVPAPMessageHandlerStatusBufferFull");
    EXPECT_STREQ(HVPAPMessageHandler::stringFromStatus(2),
                 "HVPAPMessageHandlerStatusMessageCorrupted");
    EXPECT_STREQ(HVPAPMessageHandler::stringFromStatus(3), "HVPAPMessageHandlerStatusMessageError");
    EXPECT_STREQ(HVPAPMessageHandler::stringFromStatus(7), "HVPAPMessageHandlerStatusUNKNOWN");
    EXPECT_STREQ(HVPAPMessageHandler::stringFromStatus(-1), "HVPAPMessageHandlerStatusUNKNOWN");
}

// A session thread feeds a stream in small chunks while another thread clears now and then:
// no data race (TSan), and a delivered message is never a mixture of bytes from before and
// after a clear (every gpio_state in the stream is D1 02 12 34).
TEST(PapHandlerThreads, ClearFromAnotherThreadNeverTearsAMessage) {
    std::atomic<int> whole{0}, torn{0};
    HVPAPMessageHandler handler(1024, [&](tlv_t *m) {
        uint16_t state = 0;
        if (m->tag != DEZ_GPIO_STATE) return;  // a clear can leave the stream misaligned
        if (dez_extract_gpio_state(m, &state) == TLV_OK && state == 0x1234)
            ++whole;
        else
            ++torn;
    });
    std::atomic<bool> done{false};
    std::thread clearer([&] {
        while (!done.load()) {
            handler.clear();
            std::this_thread::yield();
        }
    });
    Bytes stream;
    for (int i = 0; i < 5000; ++i)
        stream.insert(stream.end(), {0xD1, 0x02, 0x12, 0x34});
    for (size_t at = 0, step = 1; at < stream.size(); at += step, step = step % 3 + 1) {
        const size_t n = std::min(step, stream.size() - at);
        handler.handleMessage(stream.data() + at, static_cast<uint16_t>(n));
    }
    done = true;
    clearer.join();
    EXPECT_EQ(torn.load(), 0);
    // However the clears fell, the handler is sound afterwards.
    const int before = whole.load();
    handler.clear();
    EXPECT_EQ(handler.handleMessage(stream.data(), 4), HVPAPMessageHandlerStatusOk);
    EXPECT_EQ(whole.load(), before + 1);
}

}  // namespace
