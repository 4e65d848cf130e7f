#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "CardTestKit.h"
#include "Wait.h"
#include "vorasel/sim/VpcdBridge.h"

namespace hv::sim::test {
namespace {

using namespace std::chrono_literals;

const Bytes kAtr = hex("3B 95 13 81 01 80 73 FF 01 00 0B");

// A stand-in emulator: connects like vicc, records every message, answers the ATR request
// and echoes APDUs reversed with 90 00; stays silent to 00 DE AD 00.
class FakeEmulator {
public:
    explicit FakeEmulator(uint16_t port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        if (connected_) thread_ = std::thread([this] { run(); });
    }
    ~FakeEmulator() { hangUp(); }

    void hangUp() {
        if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    bool connected() const { return connected_; }
    bool closedByPeer() const { return closed_; }
    std::vector<Bytes> received() {
        std::lock_guard lock(mutex_);
        return received_;
    }

private:
    bool readAll(uint8_t *p, size_t n) {
        while (n > 0) {
            const ssize_t r = recv(fd_, p, n, 0);
            if (r <= 0) return false;
            p += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }
    void reply(const Bytes &payload) {
        Bytes f{static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size())};
        f.insert(f.end(), payload.begin(), payload.end());
        send(fd_, f.data(), f.size(), MSG_NOSIGNAL);
    }
    void run() {
        struct Mark {
            std::atomic<bool> &flag;
            ~Mark() { flag = true; }
        } mark{closed_};
        for (;;) {
            uint8_t h[2];
            if (!readAll(h, 2)) return;
            Bytes m(static_cast<size_t>(h[0] << 8 | h[1]));
            if (!readAll(m.data(), m.size())) return;
            {
                std::lock_guard lock(mutex_);
                received_.push_back(m);
            }
            if (m == Bytes{0x04}) {
                reply(kAtr);
            } else if (m.size() > 1 && m != hex("00 DE AD 00")) {
                Bytes r(m.rbegin(), m.rend());
                reply(cat(r, hex("90 00")));
            }
        }
    }

    int fd_ = -1;
    bool connected_ = false;
    std::atomic<bool> closed_{false};
    std::mutex mutex_;
    std::vector<Bytes> received_;
    std::thread thread_;
};

TEST(VpcdBridge, WithoutEmulatorTheCardIsMute) {
    auto bridge = std::make_shared<VpcdBridge>();
    EXPECT_NE(bridge->port(), 0);
    EXPECT_FALSE(bridge->connected());
    VirtualCard card({}, bridge);
    EXPECT_FALSE(card.powerOn(PowerSelect::V5));
    EXPECT_TRUE(card.exchange(hex("FF 11 13 FD")).mute);
}

TEST(VpcdBridge, ForwardsPowerAtrAndApdus) {
    auto bridge = std::make_shared<VpcdBridge>();
    std::mutex m;
    std::vector<bool> events;
    bridge->setConnectionListener([&](bool up) {
        std::lock_guard lock(m);
        events.push_back(up);
    });
    FakeEmulator emu(bridge->port());
    ASSERT_TRUE(emu.connected());
    ASSERT_TRUE(hv::test::waitUntil([&] { return bridge->connected(); }));

    VirtualCard card({}, bridge);
    EXPECT_EQ(card.powerOn(PowerSelect::V5), kAtr);
    EXPECT_EQ(card.status().protocol, 1);  // from the emulator's ATR
    EXPECT_EQ(answer(card, hex("FF 11 13 FD")), hex("FF 11 13 FD"));
    EXPECT_EQ(card.status().fidi, 0x13);
    T1Host host(card);
    host.negotiateIfsd(254);
    EXPECT_EQ(host.transmit(hex("00 A4 00 0C 02 3F 00")), hex("00 3F 02 0C 00 A4 00 90 00"));
    ASSERT_TRUE(card.powerOn(PowerSelect::V5));  // warm
    card.powerOff();

    ASSERT_TRUE(hv::test::waitUntil([&] { return emu.received().size() >= 6; }));
    const std::vector<Bytes> got = emu.received();
    // PPS and T=1 never reach the emulator: only power, ATR and the APDU.
    EXPECT_EQ(got, (std::vector<Bytes>{
                       {0x01}, {0x04}, hex("00 A4 00 0C 02 3F 00"), {0x02}, {0x04}, {0x00}}));
    emu.hangUp();
    ASSERT_TRUE(hv::test::waitUntil([&] { return !bridge->connected(); }));
    EXPECT_FALSE(card.powerOn(PowerSelect::V5));
    ASSERT_TRUE(hv::test::waitUntil([&] {
        std::lock_guard lock(m);
        return events.size() == 2;
    }));
    std::lock_guard lock(m);
    EXPECT_EQ(events, (std::vector<bool>{true, false}));
}

TEST(VpcdBridge, SilentEmulatorMakesTheCardMuteAndIsDropped) {
    auto bridge = std::make_shared<VpcdBridge>(VpcdBridge::Options{0, 100ms});
    FakeEmulator emu(bridge->port());
    ASSERT_TRUE(hv::test::waitUntil([&] { return bridge->connected(); }));
    VirtualCard card({}, bridge);
    ASSERT_TRUE(card.powerOn(PowerSelect::V5));
    EXPECT_TRUE(card.exchange(iBlock(0, false, hex("00 DE AD 00"))).mute);
    EXPECT_FALSE(bridge->connected());
    EXPECT_FALSE(card.powerOn(PowerSelect::V5));
}

TEST(VpcdBridge, NewConnectionReplacesTheOld) {
    auto bridge = std::make_shared<VpcdBridge>();
    FakeEmulator first(bridge->port());
    ASSERT_TRUE(hv::test::waitUntil([&] { return bridge->connected(); }));
    FakeEmulator second(bridge->port());
    // The old one is closed once the new one is taken.
    ASSERT_TRUE(hv::test::waitUntil([&] { return first.closedByPeer(); }));
    EXPECT_TRUE(bridge->connected());
    VirtualCard card({}, bridge);
    EXPECT_TRUE(card.powerOn(PowerSelect::V5));
    EXPECT_TRUE(first.received().empty());
    EXPECT_EQ(second.received().size(), 2u);
}

TEST(VpcdBridge, ApduTooLongForTheWireIsRefusedLocally) {
    auto bridge = std::make_shared<VpcdBridge>();
    Bytes r;
    ASSERT_TRUE(bridge->process(Bytes(65544, 0), r));
    EXPECT_EQ(r, hex("67 00"));
}

}  // namespace
}  // namespace hv::sim::test
