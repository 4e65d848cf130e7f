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
#include "ThreadCensus.h"
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

TEST(SocketChannel, WhileALoopServesTheSocketTheChannelHasNoThreadOfItsOwn) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    const int daemon = fds[1];
    SocketChannel channel(fds[0], 4096, 1, 1);
    ASSERT_TRUE(hv::test::waitUntil([] { return hv::test::threadsNamed("vorasel-socket") == 1; }));
    channel.scheduleIn(RunLoop::currentShared());
    // A parked reader costs a thread for every session, and woke on the host's reads.
    EXPECT_TRUE(hv::test::waitUntil([] { return hv::test::threadsNamed("vorasel-socket") == 0; }));
    uint8_t buf[64];
    for (int i = 0; i < 20; ++i) {
        sendData(daemon, "answer");
        ASSERT_TRUE(RunLoop::current().runUntil(SteadyClock::now() + 5s,
                                                [&] { return channel.hasPendingBytes(); }));
        channel.beginReadEvent();
        ASSERT_EQ(channel.read(buf, sizeof buf), 6);
    }
    // Handed back, the socket gets its reader again, which takes what comes next.
    channel.unschedule();
    EXPECT_TRUE(hv::test::waitUntil([] { return hv::test::threadsNamed("vorasel-socket") == 1; }));
    sendData(daemon, "after");
    EXPECT_TRUE(hv::test::waitUntil([&] { return channel.hasPendingBytes(); }));
    channel.beginReadEvent();
    EXPECT_EQ(channel.read(buf, sizeof buf), 5);
    ::close(daemon);
    channel.close();
    EXPECT_TRUE(hv::test::waitUntil([] { return hv::test::threadsNamed("vorasel-socket") == 0; }));
}

}  // namespace
