// The library's socket transport against a daemon that misbehaves: frames cut short, lengths
// no daemon sends, garbage, sessions dropped under an attached case. The client must end the
// session (or keep waiting without cost), never allocate what the peer announces, never spin,
// and close within 1 s whatever the peer does.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <random>

#include "Platform/ExternalAccessory/EAAccessoryManager.h"
#include "Platform/Linux/SocketAccessoryProvider.h"
#include "Platform/Linux/UnixSocket.h"
#include "TransportProcess.h"
#include "Wait.h"

namespace hv::test::transport {
namespace {

using namespace std::chrono_literals;
using platform::EAAccessoryManager;
using platform::SessionChannel;
using platform::SocketAccessoryProvider;
using Bytes = std::vector<uint8_t>;

Bytes header(char type, uint32_t length) {
    return {static_cast<uint8_t>(type), static_cast<uint8_t>(length >> 24),
            static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 8),
            static_cast<uint8_t>(length)};
}

Bytes frame(char type, const Bytes &payload) {
    Bytes out = header(type, static_cast<uint32_t>(payload.size()));
    for (uint8_t b : payload)
        out.push_back(b);
    return out;
}

// Sends `bytes`, then keeps the session open until the client closes it.
std::function<void(int)> sendAndHold(Bytes bytes) {
    return [bytes](int fd) {
        platform::unixsocket::writeAll(fd, bytes.data(), bytes.size());
        uint8_t sink[256];
        while (::read(fd, sink, sizeof sink) > 0) {
        }
    };
}

class HostileDaemonTest : public ::testing::Test {
protected:
    // Starts the fake daemon and opens one session to its accessory.
    void open(std::function<void(int)> script) {
        fake = std::make_unique<FakeDaemon>(dir.path("fake.sock"), std::move(script));
        ASSERT_TRUE(fake->start());
        auto &manager = EAAccessoryManager::sharedAccessoryManager();
        provider = SocketAccessoryProvider::connect(dir.path("fake.sock"), manager);
        ASSERT_NE(provider, nullptr);
        uint32_t id = 0;
        ASSERT_TRUE(waitUntil([&] {
            for (const auto &a : manager.connectedAccessories())
                if (a->offersProtocol(FakeDaemon::kProtocol)) id = a->connectionID();
            return id != 0;
        }));
        channel = provider->openSession(id, FakeDaemon::kProtocol);
        ASSERT_NE(channel, nullptr);
    }
    void TearDown() override {
        if (channel) {
            EXPECT_TRUE(finishesWithin(1s, [c = channel.get()] { c->close(); }));
        }
        channel.reset();
        if (provider) {
            EXPECT_TRUE(finishesWithin(1s, [p = provider] { p->stop(); }));
        }
        if (fake) fake->stop();
    }
    bool sessionEnded() const { return channel->inputEnded() && channel->outputEnded(); }

    ScratchDir dir;
    std::unique_ptr<FakeDaemon> fake;
    std::shared_ptr<SocketAccessoryProvider> provider;
    std::unique_ptr<SessionChannel> channel;
};

// A frame cut short by a peer that then says nothing: what came whole is delivered, the
// partial frame is not, and close() does not wait for the rest (it used to wait forever).
TEST_F(HostileDaemonTest, TruncatedFrameNeitherShowsNorHangsClose) {
    Bytes bytes = frame('D', {'o', 'k'});
    const Bytes cut = frame('D', Bytes(100, 0x55));
    bytes.insert(bytes.end(), cut.begin(), cut.begin() + 40);
    open(sendAndHold(bytes));
    ASSERT_TRUE(waitUntil([&] { return channel->hasPendingBytes(); }, 1000ms));
    channel->beginReadEvent();
    uint8_t buf[200];
    EXPECT_EQ(channel->read(buf, sizeof buf), 2);
    EXPECT_EQ(Bytes(buf, buf + 2), (Bytes{'o', 'k'}));
    EXPECT_FALSE(channel->hasPendingBytes());
    EXPECT_FALSE(channel->inputEnded());
    EXPECT_TRUE(finishesWithin(1s, [&] { channel->close(); }));
}

// Lengths no daemon sends end the session at once; nothing near the announced size is
// allocated (0x0FFFFFF0 used to cost 270 MiB, 0xFFFFFFF0 an uncaught bad_alloc).
TEST_F(HostileDaemonTest, HugeLengthsEndTheSessionWithoutAllocating) {
    for (const uint32_t length : {0x0FFFFFF0u, 0xFFFFFFF0u, 0x00100001u}) {
        SCOPED_TRACE(length);
        const long before = residentKiB();
        Bytes bytes = header('D', length);
        bytes.resize(bytes.size() + 4096, 0xAB);  // the start of the "payload"
        open(sendAndHold(bytes));
        EXPECT_TRUE(waitUntil([&] { return sessionEnded(); }, 1000ms));
        EXPECT_FALSE(channel->hasPendingBytes());
        EXPECT_LT(residentKiB() - before, 16 * 1024);
        EXPECT_EQ(channel->write(bytes.data(), 4), -1);
        TearDown();
        channel.reset();
        provider.reset();
        fake.reset();
    }
}

// Garbage after the handshake: whatever it parses into, the client stays sound, consumes it
// or ends the session, and closes at once.
TEST_F(HostileDaemonTest, GarbageAfterTheHandshakeIsSurvived) {
    std::mt19937 random(19);
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        Bytes garbage(8192);
        for (auto &b : garbage)
            b = static_cast<uint8_t>(random());
        // Later rounds: plausible frame types with small random lengths, so that parsing
        // goes on for a while before (perhaps) breaking.
        if (round >= 2)
            for (size_t at = 0; at + 5 < garbage.size(); at += 5 + garbage[at + 4]) {
                garbage[at] = "ODPEC"[garbage[at] % 5];
                garbage[at + 1] = garbage[at + 2] = garbage[at + 3] = 0;
            }
        open(sendAndHold(garbage));
        const auto cpuBefore = processCpuTime();
        // Either the session ends, or every byte was taken and the channel is quiet.
        EXPECT_TRUE(waitUntil(
            [&] {
                if (sessionEnded()) return true;
                channel->beginReadEvent();
                uint8_t buf[512];
                while (channel->read(buf, sizeof buf) > 0) {
                }
                return processCpuTime() - cpuBefore < 500ms;
            },
            1000ms));
        TearDown();
        channel.reset();
        provider.reset();
        fake.reset();
    }
}

// A peer that never reads: the writer is told there is no room after a bounded amount, and
// close() does not wait for the peer to take the rest (it used to block in a write forever).
TEST_F(HostileDaemonTest, PeerThatNeverReadsStopsTheWriterButNotTheClose) {
    auto released = std::make_shared<std::atomic<bool>>(false);
    open([released](int) { waitUntil([&] { return released->load(); }, 10000ms); });
    const Bytes chunk(512, 0x42);
    size_t accepted = 0;
    for (int i = 0; i < 10000; ++i) {
        const ptrdiff_t n = channel->write(chunk.data(), chunk.size());
        ASSERT_GE(n, 0);
        accepted += static_cast<size_t>(n);
        // No room: write on when room comes, as a writer does on its space event.
        if (n == 0 && !waitUntil([&] { return channel->hasSpace(); }, 200ms)) break;
    }
    EXPECT_FALSE(channel->hasSpace());
    EXPECT_LT(accepted, 1024u * 1024u);
    EXPECT_TRUE(finishesWithin(1s, [&] { channel->close(); }));
    released->store(true);
}

// The daemon ends a session while the case stays attached: the session ends once, and the
// client does not spin on the closed socket (it used to burn a whole CPU until exit).
TEST_F(HostileDaemonTest, SessionClosedByTheDaemonEndsOnceAndLeavesTheCpuIdle) {
    open([](int fd) { ::shutdown(fd, SHUT_RDWR); });
    ASSERT_TRUE(waitUntil([&] { return sessionEnded(); }, 1000ms));
    EXPECT_TRUE(provider->isConnected());  // the case is still there
    const auto cpuBefore = processCpuTime();
    const auto wallBefore = std::chrono::steady_clock::now();
    // A window of time is what is measured here: nothing is waited for.
    std::this_thread::sleep_for(300ms);
    const auto wall = std::chrono::steady_clock::now() - wallBefore;
    EXPECT_LT(processCpuTime() - cpuBefore, wall / 5);
}

// A control line without end is a broken daemon: the line is not buffered without bound, and
// the provider lets go of that connection (the case detaches).
TEST_F(HostileDaemonTest, EndlessControlLineDropsTheConnection) {
    const std::string path = dir.path("endless.sock");
    const int listener = platform::unixsocket::listenOn(path);
    ASSERT_GE(listener, 0);
    std::thread peer([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        if (fd < 0) return;
        const std::string sync = "SYNC\n";
        platform::unixsocket::writeAll(fd, sync.data(), sync.size());
        const std::string junk(64 * 1024, 'x');
        platform::unixsocket::writeAll(fd, junk.data(), junk.size());
        uint8_t sink[64];
        while (::read(fd, sink, sizeof sink) > 0) {
        }
        ::close(fd);
    });
    auto local =
        SocketAccessoryProvider::connect(path, EAAccessoryManager::sharedAccessoryManager());
    ASSERT_NE(local, nullptr);
    EXPECT_TRUE(waitUntil([&] { return !local->isConnected(); }, 1000ms));
    EXPECT_TRUE(local->isFollowing());
    EXPECT_TRUE(finishesWithin(1s, [&] { local->stop(); }));
    peer.join();
    ::close(listener);
}

}  // namespace
}  // namespace hv::test::transport
