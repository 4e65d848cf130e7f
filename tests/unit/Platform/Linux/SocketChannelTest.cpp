// Who reads a daemon session's socket: the run loop that serves the input stream, on its own
// thread, while one does; the channel's reader thread otherwise.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "Platform/Linux/AccessoryWire.h"
#include "Platform/Linux/SocketChannel.h"
#include "Platform/RunLoop.h"
#include "ThreadSwitches.h"
#include "Wait.h"

using hv::platform::RunLoop;
using hv::platform::SocketChannel;
using hv::platform::SteadyClock;
using namespace std::chrono_literals;

namespace {

void sendData(int fd, const std::string &text) {
    auto f =
        hv::platform::wire::frame('D', reinterpret_cast<const uint8_t *>(text.data()), text.size());
    ASSERT_EQ(::send(fd, f.data(), f.size(), MSG_NOSIGNAL), ssize_t(f.size()));
}

TEST(SocketChannel, TheLoopServingTheInputReadsTheSocketOnItsThreadAndHandsItBack) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    const int daemon = fds[1];
    SocketChannel channel(fds[0], 4096, 1, 1);
    std::mutex mutex;
    std::set<std::thread::id> notifiedOn;
    channel.setListener([&] {
        std::lock_guard lock(mutex);
        notifiedOn.insert(std::this_thread::get_id());
    });
    auto notified = [&] {
        std::lock_guard lock(mutex);
        return notifiedOn;
    };
    uint8_t buf[64];

    std::thread served([&] {
        channel.scheduleIn(RunLoop::currentShared());
        sendData(daemon, "to the loop");
        EXPECT_TRUE(RunLoop::current().runUntil(SteadyClock::now() + 5s,
                                                [&] { return channel.hasPendingBytes(); }));
        EXPECT_EQ(notified(), std::set{std::this_thread::get_id()})
            << "an answer went through another thread";
        channel.beginReadEvent();  // as the stream does before it reads
        EXPECT_EQ(channel.read(buf, sizeof buf), 11);
        channel.unschedule();
    });
    served.join();

    // No loop serves it now: the channel's own thread reads, with nobody running a loop.
    sendData(daemon, "to the reader");
    EXPECT_TRUE(hv::test::waitUntil([&] { return channel.hasPendingBytes(); }));
    EXPECT_EQ(notified().size(), 2u);
    // The daemon's end ends the session once, whoever reads.
    ::close(daemon);
    channel.beginReadEvent();
    EXPECT_EQ(channel.read(buf, sizeof buf), 13);
    EXPECT_TRUE(hv::test::waitUntil([&] { return channel.inputEnded(); }));
    channel.close();
}

TEST(SocketChannel, AReaderThreadParkedWhileALoopServesIsNotWokenByTheHostsReads) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    const int daemon = fds[1];
    SocketChannel channel(fds[0], 4096, 1, 1);
    channel.scheduleIn(RunLoop::currentShared());
    uint8_t buf[64];
    auto exchange = [&] {
        sendData(daemon, "answer");
        ASSERT_TRUE(RunLoop::current().runUntil(SteadyClock::now() + 5s,
                                                [&] { return channel.hasPendingBytes(); }));
        channel.beginReadEvent();
        ASSERT_EQ(channel.read(buf, sizeof buf), 6);
    };
    // The reader thread has started and parked: it has slept at least once.
    ASSERT_TRUE(hv::test::waitUntil([] {
        return hv::test::switchesOfThreadsNamed("vorasel-socket") > 0;
    })) << "the reader thread was not found";
    exchange();
    const long before = hv::test::switchesOfThreadsNamed("vorasel-socket");
    constexpr int kAnswers = 200;
    for (int i = 0; i < kAnswers; ++i)
        exchange();
    // Each wake-up is a switch of a thread that has nothing to do and competes for a CPU with
    // the one the answer is for.
    EXPECT_LT(hv::test::switchesOfThreadsNamed("vorasel-socket") - before, kAnswers / 20);
    channel.unschedule();
    ::close(daemon);
    channel.close();
}

}  // namespace
