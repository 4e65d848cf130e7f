// APDU transmission against a scripted reader holding a simulated card: T=0 carried
// unchanged, T=1 with its engine, the card's waiting-time extensions, failed block transfers,
// and whole transmissions kept apart from each other.
#include <thread>

#include "DriverFixture.h"
#include "vorasel/sim/VirtualCard.h"

using namespace hv::test;
using hv::sim::CardConfig;
using hv::sim::CardFault;
using hv::sim::FaultPlan;
using hv::sim::VirtualCard;

namespace {

std::shared_ptr<VirtualCard> t1Card(uint8_t ifsc = 254) {
    CardConfig config;
    config.atr.t0 = false;
    config.atr.t1 = true;
    config.atr.ifsc = ifsc;
    return std::make_shared<VirtualCard>(config);
}

std::shared_ptr<VirtualCard> t0Card() {
    return std::make_shared<VirtualCard>(CardConfig{});
}

Bytes echo(size_t n) {
    Bytes apdu = {0x00, 0xEE, 0x00, 0x00, static_cast<uint8_t>(n)};
    for (size_t i = 0; i < n; ++i)
        apdu.push_back(static_cast<uint8_t>(i + 1));
    apdu.push_back(0x00);
    return apdu;
}

Bytes echoed(size_t n) {
    Bytes r;
    for (size_t i = 0; i < n; ++i)
        r.push_back(static_cast<uint8_t>(i + 1));
    r.insert(r.end(), {0x90, 0x00});
    return r;
}

class Transmit : public DriverTest {
protected:
    std::shared_ptr<VirtualCard> connect(std::shared_ptr<VirtualCard> card, uint8_t protocol) {
        open();
        serve(card);
        EXPECT_EQ(driver().powerOnICC(), HVIFDHStatusSuccess);
        EXPECT_EQ(driver().setProtocolParameters(protocol, 0, 0, 0, 0), HVIFDHStatusSuccess);
        return card;
    }
    struct Answer {
        HVIFDHStatus status;
        Bytes response;
    };
    Answer send(const Bytes &apdu, uint32_t protocol) {
        const uint8_t *rsp = nullptr;
        uint32_t len = 0;
        const HVIFDHStatus s = driver().transmitToICC(
            apdu.data(), static_cast<uint32_t>(apdu.size()), protocol, &rsp, &len);
        Answer a{s, {}};
        if (s == HVIFDHStatusSuccess) a.response.assign(rsp, rsp + len);
        return a;
    }
    std::vector<Bytes> xfrs() {
        std::vector<Bytes> out;
        for (auto &c : reader->commands())
            if (c[0] == 0x6F) out.push_back(c);
        return out;
    }
};

TEST_F(Transmit, ProtocolsOtherThanT0AndT1SendNothing) {
    connect(t1Card(), 2);
    const size_t before = reader->commands().size();
    for (uint32_t protocol : {0u, 3u, 4u})
        EXPECT_EQ(send(echo(2), protocol).status, HVIFDHStatusProtocolNotSupported) << protocol;
    EXPECT_EQ(send({}, 2).status, HVIFDHStatusInvalidValue);
    const uint8_t *rsp;
    uint32_t len;
    EXPECT_EQ(driver().transmitToICC(nullptr, 5, 2, &rsp, &len), HVIFDHStatusInvalidValue);
    EXPECT_EQ(reader->commands().size(), before);
}

TEST_F(Transmit, T0CommandGoesOutUnchangedInOneBlockTransfer) {
    connect(t0Card(), 1);
    const Bytes command = {0x00, 0xEE, 0x00, 0x03, 0x03};
    const auto a = send(command, 1);
    ASSERT_EQ(a.status, HVIFDHStatusSuccess);
    ASSERT_EQ(xfrs().size(), 1u);
    const Bytes sent = xfrs()[0];
    EXPECT_EQ(sent[1], 5);  // dwLength
    EXPECT_EQ(sent[7], 0);  // bBWI
    EXPECT_EQ(slice(sent, 10, sent.size()), command);
    // The card's procedure bytes and data come back as they are.
    EXPECT_FALSE(a.response.empty());

    EXPECT_EQ(send(Bytes(272, 0x00), 1).status, HVIFDHStatusInvalidValue);
    EXPECT_EQ(xfrs().size(), 1u);
}

TEST_F(Transmit, T1ChainsBothWays) {
    connect(t1Card(32), 2);
    const auto a = send(echo(200), 2);
    ASSERT_EQ(a.status, HVIFDHStatusSuccess);
    EXPECT_EQ(a.response, echoed(200));
    // IFS request, then 7 command blocks of at most 32 bytes.
    EXPECT_GE(xfrs().size(), 8u);
    for (const auto &x : xfrs())
        EXPECT_LE(x.size(), 10u + 3 + 32 + 1);
}

TEST_F(Transmit, CardWaitingTimeExtensionAppliesToTheNextBlockOnly) {
    auto card = connect(t1Card(), 2);
    ASSERT_EQ(send(echo(1), 2).status, HVIFDHStatusSuccess);  // past the IFS request
    card->arm(FaultPlan(CardFault::WtxStorm).wtx(1, 3));
    const size_t before = xfrs().size();
    ASSERT_EQ(send(echo(4), 2).response, echoed(4));
    const auto x = xfrs();
    ASSERT_EQ(x.size(), before + 2);
    EXPECT_EQ(x[before][7], 0);      // the command block
    EXPECT_EQ(x[before + 1][7], 3);  // S(WTX response): the card's multiplier
    EXPECT_EQ(slice(x[before + 1], 10, 14), (Bytes{0x00, 0xE3, 0x01, 0x03}));
    ASSERT_EQ(send(echo(1), 2).status, HVIFDHStatusSuccess);
    EXPECT_EQ(xfrs().back()[7], 0);
}

// Up to three failed block transfers are recovered; the fourth ends the transmission.
TEST_F(Transmit, FailedBlockTransfersAreCountedOverTheTransmission) {
    auto card = connect(t1Card(), 2);
    ASSERT_EQ(send(echo(1), 2).status, HVIFDHStatusSuccess);
    for (const int silent : {3, 4}) {
        int left = silent;
        reader->setResponder([&, card](const Bytes &c) -> std::vector<Delivery> {
            if (c.empty()) return {};
            if (left > 0) {
                --left;
                return {};  // the block transfer times out
            }
            return {Delivery::of(readerAnswer(*card, c))};
        });
        const auto a = send(echo(3), 2);
        if (silent == 3) {
            EXPECT_EQ(a.status, HVIFDHStatusSuccess);
            EXPECT_EQ(a.response, echoed(3));
        } else {
            EXPECT_EQ(a.status, HVIFDHStatusFailed);
        }
    }
}

TEST_F(Transmit, NoCardDuringT1EndsAtOnce) {
    auto card = connect(t1Card(), 2);
    ASSERT_EQ(send(echo(1), 2).status, HVIFDHStatusSuccess);
    card->arm(FaultPlan(CardFault::Removed));
    const size_t before = xfrs().size();
    EXPECT_EQ(send(echo(3), 2).status, HVIFDHStatusNoCard);
    EXPECT_EQ(xfrs().size(), before + 1);
}

// A reply longer than the block buffer is a failed block transfer; nothing is copied.
TEST_F(Transmit, OverlongReplyIsAFailedBlockTransfer) {
    auto card = connect(t1Card(), 2);
    ASSERT_EQ(send(echo(1), 2).status, HVIFDHStatusSuccess);
    for (const int overlong : {1, 4}) {
        ScopedCapture capture;
        int left = overlong;
        reader->setResponder([&, card](const Bytes &c) -> std::vector<Delivery> {
            if (c.empty()) return {};
            Bytes r = readerAnswer(*card, c);
            if (left-- > 0) return {Delivery::of(answer(c, 0x00, Bytes(300, 0xA5)))};
            return {Delivery::of(r)};
        });
        const auto a = send(echo(3), 2);
        if (overlong == 1) {
            EXPECT_EQ(a.status, HVIFDHStatusSuccess);
            EXPECT_EQ(a.response, echoed(3));
        } else {
            EXPECT_EQ(a.status, HVIFDHStatusFailed);
        }
        EXPECT_TRUE(
            capture.logger().contains("] Block of 300 bytes does not fit the block buffer"));
    }
}

TEST_F(Transmit, LargestResponseApduComesBackWhole) {
    connect(t1Card(), 2);
    // P1-P2 FFFF: 65,535 pattern bytes, then the status word.
    const Bytes apdu = {0x00, 0xEE, 0xFF, 0xFF, 0x00, 0x00, 0x00};
    const auto a = send(apdu, 2);
    ASSERT_EQ(a.status, HVIFDHStatusSuccess);
    ASSERT_EQ(a.response.size(), 65537u);
    for (size_t i = 0; i < 65535; ++i)
        ASSERT_EQ(a.response[i], static_cast<uint8_t>(i)) << i;
}

// Two threads transmitting at once never interleave their blocks on the shared T=1 engine:
// every block the card sees is the one it expects.
TEST_F(Transmit, ConcurrentTransmissionsStayApart) {
    auto card = connect(t1Card(32), 2);
    std::atomic<int> failed{0};
    std::atomic<int> waiting{2};
    auto worker = [&](uint8_t seed) {
        --waiting;
        while (waiting.load() > 0)
            std::this_thread::yield();
        Bytes apdu = {0x00, 0xEE, 0x00, 0x00, 100};
        for (int k = 0; k < 100; ++k)
            apdu.push_back(static_cast<uint8_t>(seed + k));
        apdu.push_back(0x00);
        for (int i = 0; i < 200; ++i) {
            const uint8_t *rsp = nullptr;
            uint32_t len = 0;
            if (driver().transmitToICC(apdu.data(), static_cast<uint32_t>(apdu.size()), 2, &rsp,
                                       &len) != HVIFDHStatusSuccess)
                ++failed;
        }
    };
    std::thread a(worker, 0x10), b(worker, 0x80);
    a.join();
    b.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(card->status().invalidBlocks, 0u);
    EXPECT_EQ(card->status().resynchs, 0u);
    EXPECT_EQ(card->status().commands, 400u);
}

}  // namespace
