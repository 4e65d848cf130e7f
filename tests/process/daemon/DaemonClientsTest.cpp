// The daemon as its clients meet it: every client learns the slot at once, no client can
// hold up another, bad input ends only the connection that sent it, and nothing piles up.
#include <gtest/gtest.h>

#include <sys/time.h>

#include <thread>

#include "ChildProcess.h"
#include "WireClient.h"

namespace hv::test {
namespace {

const std::string kInterrupt = "SESSION 1 com.vorasel.ccidinterrupt\n";
const std::string kBulk = "SESSION 1 com.vorasel.ccidbulk\n";

// Opens the reader's interrupt session as the library does and returns the first slot state
// it is told, or -1 when none comes in time.
int firstSlotState(WireClient &c, std::chrono::milliseconds timeout) {
    if (!c.send(kInterrupt)) return -1;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        auto f = c.readFrame(std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()));
        if (!f) return -1;
        if ((f->type == 'D' || f->type == 'P') && f->payload.size() >= 2 && f->payload[0] == 0x50)
            return f->payload[1];
    }
    return -1;
}

TEST(DaemonClients, EveryClientSeesTheCardAtOnceInTurnAndTogether) {
    DaemonProcess daemon;
    ASSERT_TRUE(daemon.start());
    for (int i = 0; i < 3; ++i) {
        WireClient c(daemon.socketPath());
        EXPECT_EQ(firstSlotState(c, 500ms), 0x03) << "client " << i << " in a row";
    }
    WireClient holder(daemon.socketPath());
    EXPECT_EQ(firstSlotState(holder, 500ms), 0x03);
    WireClient a(daemon.socketPath()), b(daemon.socketPath());
    EXPECT_EQ(firstSlotState(a, 500ms), 0x03) << "while another holds the reader";
    EXPECT_EQ(firstSlotState(b, 500ms), 0x03) << "while another holds the reader";
    // A change reaches every open session.
    ASSERT_EQ(command(daemon.socketPath(), "remove"), "OK");
    for (WireClient *c : {&holder, &a, &b}) {
        auto f = c->readFrame(1s);
        ASSERT_TRUE(f);
        EXPECT_EQ(f->payload, (std::vector<uint8_t>{0x50, 0x02}));
    }
    WireClient late(daemon.socketPath());
    EXPECT_EQ(firstSlotState(late, 500ms), 0x02) << "an empty slot is told as such";
}

TEST(DaemonClients, IdleConnectionsAreDroppedAfterTheHelloTimeOut) {
    DaemonProcess daemon;
    ASSERT_TRUE(daemon.start());
    const long threadsBefore = daemon.process().threads();
    std::vector<WireClient> idle;
    for (int i = 0; i < 100; ++i) {
        idle.emplace_back(daemon.socketPath());
        ASSERT_TRUE(idle.back().connected());
    }
    // A client that names its use is served meanwhile.
    EXPECT_EQ(command(daemon.socketPath(), "status"), "OK attached=1 card=1 emulator=0");
    EXPECT_EQ(daemon.process().threads(), threadsBefore) << "no thread per connection";
    const auto deadline = std::chrono::steady_clock::now() + 4s;
    size_t dropped = 0;
    for (auto &c : idle)
        if (c.endsWithin(std::max(1ms, std::chrono::duration_cast<std::chrono::milliseconds>(
                                           deadline - std::chrono::steady_clock::now()))))
            ++dropped;
    EXPECT_EQ(dropped, idle.size());
    EXPECT_TRUE(waitUntilFds(daemon.process(), 16));
}

TEST(DaemonClients, AControlClientThatNeverReadsIsDroppedAndNobodyWaits) {
    DaemonProcess daemon;
    ASSERT_TRUE(daemon.start());
    WireClient stalled(daemon.socketPath());
    ASSERT_TRUE(stalled.send("CONTROL\n"));
    WireClient reader(daemon.socketPath());
    ASSERT_TRUE(reader.send("CONTROL\n"));
    ASSERT_EQ(reader.readLine().value_or("").rfind("ATTACH 1\t", 0), 0u);
    ASSERT_EQ(reader.readLine(), "SYNC");

    // Far more attach and detach lines than the stalled client's buffers hold; every command
    // is answered promptly all the same.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 1500; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(command(daemon.socketPath(), i % 2 ? "attach" : "detach"), "OK") << i;
        ASSERT_LT(std::chrono::steady_clock::now() - t0, 1s) << "command " << i;
        // The client that reads sees every change.
        ASSERT_TRUE(reader.readLine(1s)) << i;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    // The stalled one was dropped: what it finds queued ends with the end of the stream.
    EXPECT_TRUE(stalled.endsWithin(5s));
}

TEST(DaemonClients, OutOfDescriptorsTheDaemonWaitsInsteadOfSpinning) {
    DaemonProcess daemon;
    daemon.limitDescriptors(24);
    ASSERT_TRUE(daemon.start());
    std::vector<WireClient> crowd;
    for (int i = 0; i < 40; ++i)
        crowd.emplace_back(daemon.socketPath());
    const long before = daemon.process().cpuTicks();
    std::this_thread::sleep_for(1s);  // the span measured, not a wait for an event
    EXPECT_LE(daemon.process().cpuTicks() - before, 10) << "ticks of CPU in one second";
    crowd.clear();
    // Once the crowd is gone, the daemon accepts again.
    std::optional<std::string> status;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!status && std::chrono::steady_clock::now() < deadline)
        status = command(daemon.socketPath(), "status", 500ms);
    EXPECT_EQ(status, "OK attached=1 card=1 emulator=0");
}

TEST(DaemonClients, BadFramesEndOnlyTheirOwnConnection) {
    DaemonProcess daemon;
    ASSERT_TRUE(daemon.start());
    const long rssBefore = daemon.process().rssKiB();

    // A length far past the protocol's bound: the connection ends, nothing is allocated.
    WireClient huge(daemon.socketPath());
    ASSERT_TRUE(huge.send(kBulk));
    ASSERT_TRUE(huge.readFrame());  // open states
    const uint8_t header[] = {'D', 0xFF, 0xFF, 0xFF, 0xF0};
    ASSERT_TRUE(huge.send(header, sizeof header));
    EXPECT_TRUE(huge.endsWithin(2s));

    // A truncated frame, then the client stays silent: others are served meanwhile.
    WireClient truncated(daemon.socketPath());
    ASSERT_TRUE(truncated.send(kBulk));
    ASSERT_TRUE(truncated.readFrame());
    const uint8_t part[] = {'D', 0, 0, 0, 10, 0x62, 0x00};
    ASSERT_TRUE(truncated.send(part, sizeof part));
    EXPECT_EQ(command(daemon.socketPath(), "status"), "OK attached=1 card=1 emulator=0");
    truncated.close();

    // Garbage after the handshake, and a first line that never ends.
    WireClient garbage(daemon.socketPath());
    ASSERT_TRUE(garbage.send(kBulk));
    std::vector<uint8_t> noise(8192);
    for (size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<uint8_t>(i * 131 + 7);
    garbage.send(noise.data(), noise.size());
    EXPECT_TRUE(garbage.endsWithin(3s));
    WireClient endless(daemon.socketPath());
    endless.send(std::string(6000, 'x'));
    EXPECT_TRUE(endless.endsWithin(1s));

    // Still whole: a new client gets the card, and memory did not follow the lengths.
    WireClient after(daemon.socketPath());
    EXPECT_EQ(firstSlotState(after, 500ms), 0x03);
    EXPECT_LT(daemon.process().rssKiB() - rssBefore, 4096);
}

TEST(DaemonClients, ASessionThatNeverReadsIsDroppedAndTheReaderServesTheOthers) {
    DaemonProcess daemon;
    ASSERT_TRUE(daemon.start());
    WireClient flood(daemon.socketPath());
    ASSERT_TRUE(flood.send(kBulk));
    ASSERT_TRUE(flood.readFrame());  // open states
    // Commands without end, their answers never read, until the daemon stops taking them.
    const timeval wait{0, 300'000};
    ::setsockopt(flood.fd(), SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    const uint8_t getSlotStatus[] = {'D', 0, 0, 0, 10, 0x65, 0, 0, 0, 0, 0, 1, 0, 0, 0};
    const auto floodEnds = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < floodEnds &&
           ::send(flood.fd(), getSlotStatus, sizeof getSlotStatus, MSG_NOSIGNAL) ==
               ssize_t(sizeof getSlotStatus)) {
    }

    // Another program's exchange with the reader is not held up by it.
    WireClient other(daemon.socketPath());
    ASSERT_TRUE(other.send(kBulk));
    ASSERT_TRUE(other.readFrame(1s));
    const auto asked = std::chrono::steady_clock::now();
    ASSERT_TRUE(other.sendFrame('D', {0x65, 0, 0, 0, 0, 0, 7, 0, 0, 0}));
    auto answer = other.readFrame(3s);
    ASSERT_TRUE(answer) << "the reader waits for a host that does not read";
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 500ms);
    ASSERT_GE(answer->payload.size(), 7u);
    EXPECT_EQ(answer->payload[0], 0x81);
    EXPECT_EQ(answer->payload[6], 7) << "its own answer";
    // The stalled one was dropped: what it finds queued ends with the end of the stream.
    EXPECT_TRUE(flood.endsWithin(2s));
}

TEST(DaemonClients, ConnectCloseCyclesLeaveThreadsAndMemoryFlat) {
    DaemonProcess daemon;
    ASSERT_TRUE(daemon.start());
    auto cycle = [&] {
        WireClient control(daemon.socketPath());
        control.send("CONTROL\n");
        WireClient irq(daemon.socketPath());
        ASSERT_EQ(firstSlotState(irq, 1s), 0x03);
        WireClient bulk(daemon.socketPath());
        ASSERT_TRUE(bulk.send(kBulk));
        ASSERT_TRUE(bulk.readFrame());
        // GetSlotStatus, answered with a SlotStatus.
        ASSERT_TRUE(bulk.sendFrame('D', {0x65, 0, 0, 0, 0, 0, 1, 0, 0, 0}));
        auto answer = bulk.readFrame();
        ASSERT_TRUE(answer);
        ASSERT_FALSE(answer->payload.empty());
        EXPECT_EQ(answer->payload[0], 0x81);
    };
    // Warmed up first: the allocator settles over the first few hundred.
    for (int i = 0; i < 300; ++i)
        cycle();
    const long threads = daemon.process().threads();
    ASSERT_TRUE(waitUntilThreads(daemon.process(), threads));
    const long rss = daemon.process().rssKiB(), maps = daemon.process().mappings();
    for (int i = 0; i < 1000; ++i) {
        cycle();
        if (HasFatalFailure()) return;
    }
    EXPECT_TRUE(waitUntilThreads(daemon.process(), threads))
        << daemon.process().threads() << " threads, " << threads << " before";
    // A sanitizer's runtime keeps its own records of every thread that ever ran.
#ifdef VORASEL_SANITIZED
    (void)rss;
    (void)maps;
#else
    // Before, each cycle left a thread's stack and mappings behind (tens of MiB per 1,000).
    EXPECT_LT(daemon.process().rssKiB() - rss, 2048) << "KiB of RSS more";
    EXPECT_LT(daemon.process().mappings() - maps, 16) << "mappings more";
#endif
}

}  // namespace
}  // namespace hv::test
