#include "Logging/LogFileWatch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "Platform/Thread.h"

namespace hv::logging {
namespace {

// Unlinking an open file changes its link count (IN_ATTRIB); IN_DELETE_SELF comes only once the
// last descriptor is closed.
constexpr uint32_t kWatchedEvents = IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;
// A wall-clock jump is noticed within this time at the latest.
constexpr int kLongestSleepMs = 60000;

}  // namespace

LogFileWatch::LogFileWatch(Handler handler) : handler_(std::move(handler)) {
    inotifyFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    hv::platform::Thread thread([this] { run(); }, "hv.logging.watch");
    if (wakeFd_ < 0 || !thread.start()) {
        stopping_ = true;
        exited_.signal();
    }
}

LogFileWatch::~LogFileWatch() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake();
    exited_.wait();
    if (inotifyFd_ >= 0) ::close(inotifyFd_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void LogFileWatch::wake() {
    if (wakeFd_ < 0) return;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

bool LogFileWatch::watch(const std::string &path) {
    std::lock_guard lock(mutex_);
    if (inotifyFd_ < 0) return false;
    if (watchDescriptor_ >= 0) ::inotify_rm_watch(inotifyFd_, watchDescriptor_);
    watchDescriptor_ = ::inotify_add_watch(inotifyFd_, path.c_str(), kWatchedEvents);
    return watchDescriptor_ >= 0;
}

void LogFileWatch::unwatch() {
    std::lock_guard lock(mutex_);
    if (inotifyFd_ >= 0 && watchDescriptor_ >= 0) ::inotify_rm_watch(inotifyFd_, watchDescriptor_);
    watchDescriptor_ = -1;
}

void LogFileWatch::setDeadline(std::optional<WallClock::time_point> deadline) {
    {
        std::lock_guard lock(mutex_);
        deadline_ = deadline;
    }
    wake();
}

void LogFileWatch::run() {
    alignas(inotify_event) char events[4096];
    for (;;) {
        int timeoutMs = -1;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) break;
            if (deadline_) {
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(*deadline_ - WallClock::now())
                        .count();
                timeoutMs = static_cast<int>(std::clamp<int64_t>(left, 0, kLongestSleepMs));
            }
        }
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {inotifyFd_, POLLIN, 0}};
        const int ready = ::poll(fds, inotifyFd_ >= 0 ? 2 : 1, timeoutMs);
        if (ready < 0 && errno != EINTR) break;

        if (fds[0].revents & POLLIN) {
            uint64_t count;
            [[maybe_unused]] const ssize_t n = ::read(wakeFd_, &count, sizeof count);
        }
        bool changed = false;
        if (inotifyFd_ >= 0 && (fds[1].revents & POLLIN)) {
            ssize_t n;
            while ((n = ::read(inotifyFd_, events, sizeof events)) > 0) {
                std::lock_guard lock(mutex_);
                for (ssize_t at = 0; at < n;) {
                    inotify_event event;
                    std::memcpy(&event, events + at, sizeof event);
                    if (event.wd == watchDescriptor_ && (event.mask & kWatchedEvents))
                        changed = true;
                    at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
                }
            }
        }
        bool deadlinePassed = false;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) break;
            if (deadline_ && WallClock::now() >= *deadline_) {
                deadline_.reset();
                deadlinePassed = true;
            }
        }
        if (changed) handler_(Event::FileChanged);
        if (deadlinePassed) handler_(Event::DeadlinePassed);
    }
    exited_.signal();
}

}  // namespace hv::logging
