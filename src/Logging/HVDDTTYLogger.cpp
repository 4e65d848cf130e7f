#include "vorasel/HVDDTTYLogger.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unordered_map>
#include <vector>

#include "Logging/LocalTime.h"
#include "Logging/TerminalColors.h"
#include "Platform/Application.h"
#include "vorasel/SerialQueue.h"

using hv::logging::ColorCodes;

namespace {

struct ColorProfile {
    uint32_t mask;
    int context;
    std::string fgCode;
    std::string bgCode;
    std::string resetCode;
};

ColorProfile makeProfile(ColorCodes codes, std::optional<HVDDColor> fg, std::optional<HVDDColor> bg,
                         uint32_t mask, int context) {
    ColorProfile p{mask, context, {}, {}, {}};
    if (fg) p.fgCode = hv::logging::foregroundCode(codes, {fg->red, fg->green, fg->blue});
    if (bg) p.bgCode = hv::logging::backgroundCode(codes, {bg->red, bg->green, bg->blue});
    if (!p.fgCode.empty() || !p.bgCode.empty()) p.resetCode = hv::logging::resetCode(codes);
    return p;
}

// Writes the whole line, resuming after partial writes. A reader that has gone away must not
// kill the host with SIGPIPE: sockets are written with MSG_NOSIGNAL, and for pipes the signal is
// held back on this thread and a SIGPIPE raised by the write is taken back.
void writeLine(int fd, bool isPipe, bool isSocket, const std::string &line) {
    sigset_t pipeOnly, previous;
    if (isPipe) {
        sigemptyset(&pipeOnly);
        sigaddset(&pipeOnly, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
    }
    bool brokenPipe = false;
    for (size_t done = 0; done < line.size();) {
        const ssize_t n = isSocket
                              ? ::send(fd, line.data() + done, line.size() - done, MSG_NOSIGNAL)
                              : ::write(fd, line.data() + done, line.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            brokenPipe = errno == EPIPE;
            break;  // a console that cannot take the line loses it; logging goes on
        }
        done += static_cast<size_t>(n);
    }
    if (isPipe) {
        if (brokenPipe && !sigismember(&previous, SIGPIPE)) {
            const timespec zero{0, 0};
            while (sigtimedwait(&pipeOnly, nullptr, &zero) == SIGPIPE) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
}

// "%x", cut to 8 characters.
void appendThreadID(std::string &line, uint64_t id) {
    char digits[16];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[id & 0xF];
        id >>= 4;
    } while (id != 0);
    for (int i = n - 1; i >= 0 && i >= n - 8; --i)
        line += digits[i];
}

}  // namespace

namespace hv::logging {

struct ConsoleLoggerState {
    int fd;
    bool isPipe = false;
    bool isSocket = false;
    ColorCodes codes;
    std::string appName;
    std::string processID;
    // Touched only on the logger's queue.
    bool colorsEnabled = false;
    std::vector<ColorProfile> profiles;
    std::unordered_map<const void *, ColorProfile> tagProfiles;

    const ColorProfile *profileFor(const HVDDLogMessage &m) const {
        if (m.tag) {
            auto it = tagProfiles.find(m.tag);
            if (it != tagProfiles.end()) return &it->second;
        }
        const ColorProfile *everyContext = nullptr;
        for (const auto &p : profiles) {
            if (!(p.mask & m.logFlag)) continue;
            if (p.context == m.logContext) return &p;
            if (p.context == HVDDTTYLoggerContextAll) everyContext = &p;
        }
        return everyContext;
    }
};

}  // namespace hv::logging

using hv::logging::ConsoleLoggerState;

namespace {

// Colour settings change on the logger's queue, reached through the global logging queue, so
// they never race a message in flight.
void onLoggerQueue(HVDDTTYLogger &logger, ConsoleLoggerState &state,
                   const std::function<void(ConsoleLoggerState &)> &work) {
    auto queue = logger.loggerQueue();
    HVDDLog::loggingQueue().sync([&] { queue->sync([&] { work(state); }); });
}

}  // namespace

std::shared_ptr<HVDDTTYLogger> HVDDTTYLogger::sharedInstance() {
    static auto *instance = new std::shared_ptr<HVDDTTYLogger>(std::make_shared<HVDDTTYLogger>(
        STDERR_FILENO, std::getenv("TERM"), std::getenv("XcodeColors")));
    return *instance;
}

HVDDTTYLogger::HVDDTTYLogger(int fd, const char *term, const char *xcodeColors)
    : state_(std::make_unique<ConsoleLoggerState>()) {
    state_->fd = fd;
    struct stat st {};
    if (::fstat(fd, &st) == 0) {
        state_->isPipe = S_ISFIFO(st.st_mode);
        state_->isSocket = S_ISSOCK(st.st_mode);
    }
    state_->codes = hv::logging::colorCodesFor(term, xcodeColors);
    state_->appName = hv::platform::Application::shared().processName();
    if (state_->appName.empty()) state_->appName = "<UnnamedApp>";
    char pid[16];
    std::snprintf(pid, sizeof pid, "%i", static_cast<int>(::getpid()));
    state_->processID = pid;
}

HVDDTTYLogger::~HVDDTTYLogger() = default;

std::string HVDDTTYLogger::loggerName() {
    return "hv.logging.tty";
}

void HVDDTTYLogger::logMessage(const HVDDLogMessage &m) {
    ConsoleLoggerState &d = *state_;
    const std::string *text = &m.logMsg;
    std::string formatted;
    bool formatterText = false;
    if (formatter_) {
        if (!formatter_->formatLogMessage(m, formatted)) return;
        if (formatted != m.logMsg) {
            text = &formatted;
            formatterText = true;
        }
    }
    const ColorProfile *profile = d.colorsEnabled ? d.profileFor(m) : nullptr;

    // The pieces gathered into one buffer, written with one call.
    std::string line;
    line.reserve(64 + d.appName.size() + text->size());
    if (profile) {
        line += profile->fgCode;
        line += profile->bgCode;
    }
    if (!formatterText) {
        char timestamp[32];
        const size_t timeLength =
            std::min(hv::logging::formatTimestamp(timestamp, m.timestamp, '-'),
                     hv::logging::kTimestampLength);
        line.append(timestamp, timeLength);
        line += ' ';
        line += d.appName;
        line += '[';
        line += d.processID;
        line += ':';
        appendThreadID(line, m.machThreadID);
        line += "] ";
    }
    line += *text;
    if (profile) line += profile->resetCode;
    if (text->empty() || text->back() != '\n') line += '\n';
    // Written before the log call returns: a line logged just before the program dies is out.
    writeLine(d.fd, d.isPipe, d.isSocket, line);
}

void HVDDTTYLogger::flush() {
    // Every line has been written when its log call returned.
}

bool HVDDTTYLogger::colorsEnabled() {
    bool enabled = false;
    onLoggerQueue(*this, *state_, [&](ConsoleLoggerState &d) { enabled = d.colorsEnabled; });
    return enabled;
}

void HVDDTTYLogger::setColorsEnabled(bool enabled) {
    onLoggerQueue(*this, *state_, [&](ConsoleLoggerState &d) { d.colorsEnabled = enabled; });
}

void HVDDTTYLogger::setForegroundColor(std::optional<HVDDColor> foreground,
                                       std::optional<HVDDColor> background, uint32_t flags) {
    setForegroundColor(foreground, background, flags, HVDDTTYLoggerContextAll);
}

void HVDDTTYLogger::setForegroundColor(std::optional<HVDDColor> foreground,
                                       std::optional<HVDDColor> background, uint32_t flags,
                                       int context) {
    onLoggerQueue(*this, *state_, [&](ConsoleLoggerState &d) {
        ColorProfile profile = makeProfile(d.codes, foreground, background, flags, context);
        for (auto &p : d.profiles) {
            if (p.mask == flags && p.context == context) {
                p = std::move(profile);
                return;
            }
        }
        d.profiles.push_back(std::move(profile));
    });
}

void HVDDTTYLogger::setForegroundColor(std::optional<HVDDColor> foreground,
                                       std::optional<HVDDColor> background, const void *tag) {
    if (!tag) return;
    onLoggerQueue(*this, *state_, [&](ConsoleLoggerState &d) {
        d.tagProfiles[tag] = makeProfile(d.codes, foreground, background, 0, 0);
    });
}

void HVDDTTYLogger::clearColorsForFlag(uint32_t flags) {
    // The profile setForegroundColor(fg, bg, flags) made is the one for every context; clearing
    // only context 0 would leave it in place.
    onLoggerQueue(*this, *state_, [&](ConsoleLoggerState &d) {
        std::erase_if(d.profiles, [&](const ColorProfile &p) {
            return p.mask == flags && (p.context == 0 || p.context == HVDDTTYLoggerContextAll);
        });
    });
}

void HVDDTTYLogger::clearColorsForFlag(uint32_t flags, int context) {
    onLoggerQueue(*this, *state_, [&](ConsoleLoggerState &d) {
        std::erase_if(d.profiles, [&](const ColorProfile &p) {
            return p.mask == flags && p.context == context;
        });
    });
}

void HVDDTTYLogger::clearColorsForTag(const void *tag) {
    onLoggerQueue(*this, *state_, [&](ConsoleLoggerState &d) { d.tagProfiles.erase(tag); });
}

void HVDDTTYLogger::clearColorsForAllFlags() {
    onLoggerQueue(*this, *state_, [&](ConsoleLoggerState &d) { d.profiles.clear(); });
}

void HVDDTTYLogger::clearColorsForAllTags() {
    onLoggerQueue(*this, *state_, [&](ConsoleLoggerState &d) { d.tagProfiles.clear(); });
}

void HVDDTTYLogger::clearAllColors() {
    onLoggerQueue(*this, *state_, [&](ConsoleLoggerState &d) {
        d.profiles.clear();
        d.tagProfiles.clear();
    });
}
