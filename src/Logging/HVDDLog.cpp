#include <algorithm>
#include <cstdio>
#include <mutex>

#include "Platform/Application.h"
#include "Platform/NotificationCenter.h"
#include "Platform/Semaphore.h"
#include "Platform/ThreadName.h"
#include "vorasel/HVLog.h"
#include "vorasel/SerialQueue.h"

using hv::platform::SerialQueue;

std::atomic<uint32_t> hvLogLevel{0};

namespace {

struct LoggerNode {
    std::shared_ptr<HVDDLogger> logger;
    std::shared_ptr<SerialQueue> queue;
    uint32_t level;
};

// The dispatcher's state. Created on first use and never destroyed: loggers may still be
// called from threads that outlive static destruction.
struct LogCore {
    SerialQueue queue{"hv.logging.global"};
    hv::platform::Semaphore slots{1000};
    std::vector<LoggerNode> nodes;  // touched only on `queue`
    std::mutex classesMutex;
    std::vector<const HVDDLogClass *> classes;

    LogCore() {
        nodes.reserve(4);
        hv::platform::NotificationCenter::defaultCenter().addObserver(
            hv::platform::Application::WillTerminateNotification, nullptr,
            [](const hv::platform::Notification &) { HVDDLog::flushLog(); });
    }
};

LogCore &core() {
    static LogCore *instance = new LogCore;
    return *instance;
}

// Runs on the global logging queue. Each logger runs on its own queue, one after another: an
// idle queue runs the block on this thread, so a message costs no thread switch. (Handing the
// message to every logger's queue at once and waiting for the group costs a wake-up of each
// queue's thread per message, tens of microseconds; loggers with slow output hand it to the log
// writer instead of making the others wait.)
void dispatch(LogCore &c, const std::shared_ptr<const HVDDLogMessage> &message) {
    for (auto &node : c.nodes) {
        if (!(node.level & message->logFlag)) continue;
        node.queue->sync([&] { node.logger->logMessage(*message); });
    }
}

}  // namespace

// ---- HVDDLogMessage ----

HVDDLogMessage::HVDDLogMessage(std::string msg, uint32_t level, uint32_t flag, int context,
                               const char *file, const char *function, int line,
                               const void *tagObject, uint32_t opts)
    : logMsg(std::move(msg)),
      logLevel(level),
      logFlag(flag),
      logContext(context),
      lineNumber(line),
      tag(tagObject),
      options(opts),
      timestamp(std::chrono::system_clock::now()),
      machThreadID(hv::platform::currentThreadId()),
      queueLabel(SerialQueue::current() ? SerialQueue::current()->label() : std::string()),
      threadName(hv::platform::currentThreadName()),
      file_(file),
      function_(function) {
    if ((opts & CopyFile) && file) {
        fileCopy_ = file;
        file_ = fileCopy_.c_str();
    }
    if ((opts & CopyFunction) && function) {
        functionCopy_ = function;
        function_ = functionCopy_.c_str();
    }
}

std::string HVDDLogMessage::fileName() const {
    if (!file_) return {};
    std::string path(file_);
    const size_t slash = path.rfind('/');
    std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = last.rfind('.');
    return dot == std::string::npos ? last : last.substr(0, dot);
}

std::string HVDDLogMessage::threadID() const {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%llx", static_cast<unsigned long long>(machThreadID));
    return buf;
}

// ---- HVDDAbstractLogger ----

HVDDAbstractLogger::HVDDAbstractLogger() = default;
HVDDAbstractLogger::~HVDDAbstractLogger() = default;

std::shared_ptr<SerialQueue> HVDDAbstractLogger::loggerQueue() {
    // Made on first request, named after the concrete logger's name.
    static std::mutex creation;
    std::lock_guard lock(creation);
    if (!queue_) queue_ = std::make_shared<SerialQueue>(loggerName());
    return queue_;
}

std::string HVDDAbstractLogger::loggerName() {
    return "hv.logger.abstract";
}

std::shared_ptr<HVDDLogFormatter> HVDDAbstractLogger::logFormatter() {
    std::shared_ptr<HVDDLogFormatter> result;
    auto queue = loggerQueue();
    HVDDLog::loggingQueue().sync([&] { queue->sync([&] { result = formatter_; }); });
    return result;
}

void HVDDAbstractLogger::setLogFormatter(std::shared_ptr<HVDDLogFormatter> formatter) {
    auto queue = loggerQueue();
    HVDDLog::loggingQueue().sync([&] { queue->sync([&] { formatter_ = std::move(formatter); }); });
}

bool HVDDAbstractLogger::isOnGlobalLoggingQueue() const {
    return HVDDLog::loggingQueue().isCurrent();
}

bool HVDDAbstractLogger::isOnInternalLoggerQueue() {
    return loggerQueue()->isCurrent();
}

// ---- HVDDLog ----

void HVDDLog::log(bool asynchronous, uint32_t level, uint32_t flag, int context, const char *file,
                  const char *function, int line, const void *tag, const char *format, ...) {
    if (!format) return;
    va_list args;
    va_start(args, format);
    logv(asynchronous, level, flag, context, file, function, line, tag, format, args);
    va_end(args);
}

void HVDDLog::logv(bool asynchronous, uint32_t level, uint32_t flag, int context, const char *file,
                   const char *function, int line, const void *tag, const char *format,
                   va_list args) {
    if (!format) return;
    char stackBuf[512];
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(stackBuf, sizeof stackBuf, format, copy);
    va_end(copy);
    if (needed < 0) return;
    std::string text;
    if (static_cast<size_t>(needed) < sizeof stackBuf) {
        text.assign(stackBuf, static_cast<size_t>(needed));
    } else {
        text.resize(static_cast<size_t>(needed));
        std::vsnprintf(text.data(), text.size() + 1, format, args);
    }
    queueLogMessage(std::make_shared<const HVDDLogMessage>(std::move(text), level, flag, context,
                                                           file, function, line, tag, 0),
                    asynchronous);
}

void HVDDLog::queueLogMessage(std::shared_ptr<const HVDDLogMessage> message, bool asynchronously) {
    LogCore &c = core();
    c.slots.wait();
    if (asynchronously) {
        c.queue.async([&c, message = std::move(message)] {
            dispatch(c, message);
            c.slots.signal();
        });
    } else {
        c.queue.sync([&] { dispatch(c, message); });
        c.slots.signal();
    }
}

void HVDDLog::addLogger(std::shared_ptr<HVDDLogger> logger) {
    addLogger(std::move(logger), 31);
}

void HVDDLog::addLogger(std::shared_ptr<HVDDLogger> logger, uint32_t logLevel) {
    if (!logger) return;
    LogCore &c = core();
    c.queue.async([&c, logger = std::move(logger), logLevel] {
        auto queue = logger->loggerQueue();
        if (!queue) queue = std::make_shared<SerialQueue>(logger->loggerName());
        c.nodes.push_back(LoggerNode{logger, queue, logLevel});
        queue->async([logger] { logger->didAddLogger(); });
    });
}

void HVDDLog::removeLogger(const std::shared_ptr<HVDDLogger> &logger) {
    if (!logger) return;
    LogCore &c = core();
    c.queue.async([&c, logger] {
        auto it = std::find_if(c.nodes.begin(), c.nodes.end(),
                               [&](const LoggerNode &n) { return n.logger == logger; });
        if (it == c.nodes.end()) return;
        it->queue->sync([&] { logger->willRemoveLogger(); });
        c.nodes.erase(it);
    });
}

void HVDDLog::removeAllLoggers() {
    LogCore &c = core();
    c.queue.async([&c] {
        for (auto &node : c.nodes)
            node.queue->sync([&] { node.logger->willRemoveLogger(); });
        c.nodes.clear();
    });
}

std::vector<std::shared_ptr<HVDDLogger>> HVDDLog::allLoggers() {
    LogCore &c = core();
    std::vector<std::shared_ptr<HVDDLogger>> result;
    c.queue.sync([&] {
        for (const auto &node : c.nodes)
            result.push_back(node.logger);
    });
    return result;
}

void HVDDLog::flushLog() {
    LogCore &c = core();
    c.queue.sync([&] {
        for (auto &node : c.nodes)
            node.queue->sync([&] { node.logger->flush(); });
    });
}

SerialQueue &HVDDLog::loggingQueue() {
    return core().queue;
}

void HVDDLog::registerClass(const HVDDLogClass *cls) {
    if (!cls || !cls->name || !cls->ddLogLevel || !cls->ddSetLogLevel) return;
    LogCore &c = core();
    std::lock_guard lock(c.classesMutex);
    if (std::find(c.classes.begin(), c.classes.end(), cls) == c.classes.end())
        c.classes.push_back(cls);
}

bool HVDDLog::isRegisteredClass(const HVDDLogClass *cls) {
    LogCore &c = core();
    std::lock_guard lock(c.classesMutex);
    return std::find(c.classes.begin(), c.classes.end(), cls) != c.classes.end();
}

std::vector<const HVDDLogClass *> HVDDLog::registeredClasses() {
    LogCore &c = core();
    std::lock_guard lock(c.classesMutex);
    return c.classes;
}

std::vector<std::string> HVDDLog::registeredClassNames() {
    std::vector<std::string> names;
    for (const auto *cls : registeredClasses())
        names.emplace_back(cls->name);
    return names;
}

uint32_t HVDDLog::logLevelForClass(const HVDDLogClass *cls) {
    return isRegisteredClass(cls) ? cls->ddLogLevel() : 0xFFFFFFFFu;
}

uint32_t HVDDLog::logLevelForClassWithName(const std::string &name) {
    for (const auto *cls : registeredClasses())
        if (name == cls->name) return cls->ddLogLevel();
    return 0xFFFFFFFFu;
}

void HVDDLog::setLogLevel(uint32_t level, const HVDDLogClass *cls) {
    if (isRegisteredClass(cls)) cls->ddSetLogLevel(level);
}

void HVDDLog::setLogLevel(uint32_t level, const std::string &className) {
    for (const auto *cls : registeredClasses())
        if (className == cls->name) cls->ddSetLogLevel(level);
}
