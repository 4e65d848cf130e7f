// Logging core: the level mask, the message record, the dispatcher and the logger contract.
//
// Every library log statement goes through one of the HVLog* macros below. The macro tests
// `hvLogLevel & flag` before anything is formatted, so a disabled statement costs one relaxed
// load and a branch. Formatted messages are dispatched synchronously to every registered
// logger whose mask admits the flag; each logger runs on its own serial queue.
//
// Thread rules: the HVDDLog operations may be called from any thread. Loggers are called only
// on their own queue. A logger must not log through HVDDLog from inside logMessage() (the call
// would run inline on the global logging queue and re-enter the dispatcher).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vorasel/SerialQueue.h"
#include "vorasel/hv_export.h"

// Message flags, one bit per severity.
enum : uint32_t {
    HVLogFlagError = 1,
    HVLogFlagWarn = 2,
    HVLogFlagInfo = 4,
    HVLogFlagDebug = 8,
    HVLogFlagVerbose = 16,
};

// Level masks: which flags pass.
enum : uint32_t {
    HVLogLevelOff = 0,
    HVLogLevelError = 1,
    HVLogLevelWarn = 3,
    HVLogLevelInfo = 7,
    HVLogLevelDebug = 15,
    HVLogLevelVerbose = 31,
};

// The process-wide level mask, 0 until the application sets a level. Read without a lock at
// every call site; an atomic word so that a change from another thread is not a data race.
extern "C" HV_EXPORT std::atomic<uint32_t> hvLogLevel;

// Immutable once created; shared by every logger that receives it.
class HV_EXPORT HVDDLogMessage {
public:
    enum Options : uint32_t { CopyFile = 1, CopyFunction = 2 };

    HVDDLogMessage(std::string logMsg, uint32_t level, uint32_t flag, int context, const char *file,
                   const char *function, int line, const void *tag, uint32_t options);

    const std::string logMsg;
    const uint32_t logLevel;
    const uint32_t logFlag;
    const int logContext;
    const int lineNumber;
    const void *const tag;
    const uint32_t options;
    const std::chrono::system_clock::time_point timestamp;
    const uint64_t machThreadID;
    const std::string queueLabel;
    const std::string threadName;

    const char *file() const { return file_; }
    const char *function() const { return function_; }
    // Last path component without its extension.
    std::string fileName() const;
    std::string methodName() const { return function_ ? function_ : ""; }
    // machThreadID printed with "%x".
    std::string threadID() const;

private:
    std::string fileCopy_;
    std::string functionCopy_;
    const char *file_;
    const char *function_;
};

class HV_EXPORT HVDDLogFormatter {
public:
    virtual ~HVDDLogFormatter() = default;
    // The text to write, or false to drop the message.
    virtual bool formatLogMessage(const HVDDLogMessage &message, std::string &out) = 0;
};

// What a logger offers. The optional operations have do-nothing defaults, which behave as if
// the logger did not offer them.
class HV_EXPORT HVDDLogger {
public:
    virtual ~HVDDLogger() = default;
    virtual void logMessage(const HVDDLogMessage &message) = 0;
    // A queue of the logger's own, or null to have the core make one named by loggerName().
    virtual std::shared_ptr<hv::platform::SerialQueue> loggerQueue() { return nullptr; }
    virtual std::string loggerName() { return "hv.logger"; }
    virtual void didAddLogger() {}
    virtual void willRemoveLogger() {}
    virtual void flush() {}
    virtual std::shared_ptr<HVDDLogFormatter> logFormatter() { return nullptr; }
    virtual void setLogFormatter(std::shared_ptr<HVDDLogFormatter>) {}
};

// Base of the library's loggers: a formatter, and a serial queue named after loggerName().
// The formatter is read and replaced only on the logger's queue, reached through the global
// logging queue, so a change never races a message in flight.
class HV_EXPORT HVDDAbstractLogger : public HVDDLogger {
public:
    HVDDAbstractLogger();
    ~HVDDAbstractLogger() override;

    void logMessage(const HVDDLogMessage &) override {}
    std::shared_ptr<HVDDLogFormatter> logFormatter() override;
    void setLogFormatter(std::shared_ptr<HVDDLogFormatter> formatter) override;
    std::shared_ptr<hv::platform::SerialQueue> loggerQueue() override;
    std::string loggerName() override;
    bool isOnGlobalLoggingQueue() const;
    bool isOnInternalLoggerQueue();

protected:
    // Only touched on the logger's queue.
    std::shared_ptr<HVDDLogFormatter> formatter_;

private:
    std::shared_ptr<hv::platform::SerialQueue> queue_;
};

// A class that takes part in per-class log levels registers one of these.
struct HVDDLogClass {
    const char *name;
    uint32_t (*ddLogLevel)();
    void (*ddSetLogLevel)(uint32_t level);
};

class HV_EXPORT HVDDLog {
public:
    // Formats and queues one message. With a null format nothing happens. The library always
    // passes asynchronous = false: the caller waits until every logger has written it.
    static void log(bool asynchronous, uint32_t level, uint32_t flag, int context, const char *file,
                    const char *function, int line, const void *tag, const char *format, ...)
        __attribute__((format(printf, 9, 10)));
    static void logv(bool asynchronous, uint32_t level, uint32_t flag, int context,
                     const char *file, const char *function, int line, const void *tag,
                     const char *format, va_list args) __attribute__((format(printf, 9, 0)));

    // At most 1000 messages are in flight; a further caller blocks until one is done.
    static void queueLogMessage(std::shared_ptr<const HVDDLogMessage> message, bool asynchronously);

    static void addLogger(std::shared_ptr<HVDDLogger> logger);
    static void addLogger(std::shared_ptr<HVDDLogger> logger, uint32_t logLevel);
    static void removeLogger(const std::shared_ptr<HVDDLogger> &logger);
    static void removeAllLoggers();
    // In insertion order; waits for every earlier add and remove.
    static std::vector<std::shared_ptr<HVDDLogger>> allLoggers();
    static void flushLog();
    static hv::platform::SerialQueue &loggingQueue();

    // Per-class levels. C++ has no list of classes, so a class takes part by registering.
    static void registerClass(const HVDDLogClass *cls);
    static bool isRegisteredClass(const HVDDLogClass *cls);
    static std::vector<const HVDDLogClass *> registeredClasses();
    static std::vector<std::string> registeredClassNames();
    // 0xFFFFFFFF for a class that does not take part.
    static uint32_t logLevelForClass(const HVDDLogClass *cls);
    static uint32_t logLevelForClassWithName(const std::string &name);
    static void setLogLevel(uint32_t level, const HVDDLogClass *cls);
    static void setLogLevel(uint32_t level, const std::string &className);
};

// Call-site macros. The format is appended to "HV<Level>: %s [Line %d] ", filled with the
// function's signature text and the line. Nothing is evaluated or formatted unless the flag
// passes the current mask.
#define HV_LOG_AT(flagValue, prefix, fmt, ...)                                                 \
    do {                                                                                       \
        const uint32_t hvLevelNow_ = hvLogLevel.load(std::memory_order_relaxed);               \
        if (__builtin_expect((hvLevelNow_ & (flagValue)) != 0, 0)) {                           \
            HVDDLog::log(false, hvLevelNow_, (flagValue), 0, __FILE__, __PRETTY_FUNCTION__,    \
                         __LINE__, nullptr, prefix ": %s [Line %d] " fmt, __PRETTY_FUNCTION__, \
                         __LINE__ __VA_OPT__(, ) __VA_ARGS__);                                 \
        }                                                                                      \
    } while (0)

#define HVLogError(fmt, ...) HV_LOG_AT(HVLogFlagError, "HVError", fmt __VA_OPT__(, ) __VA_ARGS__)
#define HVLogInfo(fmt, ...) HV_LOG_AT(HVLogFlagInfo, "HVInfo", fmt __VA_OPT__(, ) __VA_ARGS__)
#define HVLogDebug(fmt, ...) HV_LOG_AT(HVLogFlagDebug, "HVDebug", fmt __VA_OPT__(, ) __VA_ARGS__)
#define HVLogVerbose(fmt, ...) \
    HV_LOG_AT(HVLogFlagVerbose, "HVVerbose", fmt __VA_OPT__(, ) __VA_ARGS__)
// True when statements of this flag would be written; for work done only to build a message.
#define HVLogEnabled(flagValue) ((hvLogLevel.load(std::memory_order_relaxed) & (flagValue)) != 0)
