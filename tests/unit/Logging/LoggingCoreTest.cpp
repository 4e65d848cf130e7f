#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CaptureLogger.h"
#include "Platform/Application.h"
#include "Platform/Semaphore.h"
#include "Wait.h"
#include "vorasel/HVLog.h"
#include "vorasel/SerialQueue.h"

using hv::test::CaptureLogger;
using namespace std::chrono_literals;

namespace {

// Keeps whole records, and reports add/remove.
class RecordingLogger : public HVDDAbstractLogger {
public:
    void logMessage(const HVDDLogMessage &m) override {
        std::string text = m.logMsg;
        if (formatter_ && !formatter_->formatLogMessage(m, text)) return;
        std::lock_guard lock(mutex);
        texts.push_back(text);
        fileNames.push_back(m.fileName());
        threadNames.push_back(m.threadName);
        queueLabels.push_back(m.queueLabel);
        flags.push_back(m.logFlag);
        onOwnQueue.push_back(isOnInternalLoggerQueue());
    }
    std::string loggerName() override { return "hv.test.recording"; }
    void didAddLogger() override { added = true; }
    void willRemoveLogger() override { removed = true; }

    std::mutex mutex;
    std::vector<std::string> texts, fileNames, threadNames, queueLabels;
    std::vector<uint32_t> flags;
    std::vector<bool> onOwnQueue;
    std::atomic<bool> added{false}, removed{false};
};

class LogFixture : public ::testing::Test {
protected:
    void TearDown() override {
        HVDDLog::removeAllLoggers();
        HVDDLog::allLoggers();
        hvLogLevel = 0;
    }
};

int sideEffects = 0;
int countedArgument() {
    return ++sideEffects;
}

}  // namespace

TEST_F(LogFixture, DisabledLevelFormatsNothingAndReachesNoLogger) {
    auto logger = std::make_shared<CaptureLogger>();
    HVDDLog::addLogger(logger);
    hvLogLevel = 0;
    sideEffects = 0;
    HVLogError("Open FAILED %d", countedArgument());
    hvLogLevel = HVLogLevelInfo;
    HVLogVerbose("not at this level %d", countedArgument());
    HVLogDebug("nor this %d", countedArgument());
    EXPECT_EQ(sideEffects, 0) << "arguments were evaluated for a disabled statement";
    EXPECT_TRUE(logger->lines().empty());
}

TEST_F(LogFixture, CallSiteTextCarriesLevelWordFunctionAndLine) {
    auto logger = std::make_shared<CaptureLogger>();
    HVDDLog::addLogger(logger);
    hvLogLevel = HVLogLevelVerbose;
    const int line = __LINE__ + 1;
    HVLogError("Open FAILED %d", 7);
    HVLogInfo("info");
    HVLogDebug("debug");
    HVLogVerbose("verbose %s", "text");
    const auto lines = logger->lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], std::string("HVError: ") + __PRETTY_FUNCTION__ + " [Line " +
                            std::to_string(line) + "] Open FAILED 7");
    EXPECT_EQ(lines[1].rfind("HVInfo: ", 0), 0u);
    EXPECT_EQ(lines[2].rfind("HVDebug: ", 0), 0u);
    EXPECT_EQ(lines[3].rfind("HVVerbose: ", 0), 0u);
    EXPECT_NE(lines[3].find("] verbose text"), std::string::npos);
}

TEST_F(LogFixture, LoggerMaskSelectsFlags) {
    auto all = std::make_shared<CaptureLogger>("hv.test.all");
    auto info = std::make_shared<CaptureLogger>("hv.test.info");
    HVDDLog::addLogger(all, HVLogLevelVerbose);
    HVDDLog::addLogger(info, HVLogLevelInfo);
    hvLogLevel = HVLogLevelVerbose;
    HVLogVerbose("chatty");
    HVLogError("bad");
    EXPECT_EQ(all->lines().size(), 2u);
    ASSERT_EQ(info->lines().size(), 1u);
    EXPECT_NE(info->lines()[0].find("bad"), std::string::npos);
}

TEST_F(LogFixture, LongMessagesAreKeptWhole) {
    auto logger = std::make_shared<CaptureLogger>();
    HVDDLog::addLogger(logger);
    hvLogLevel = HVLogLevelError;
    const std::string big(5000, 'x');
    HVLogError("%s|", big.c_str());
    ASSERT_EQ(logger->lines().size(), 1u);
    EXPECT_NE(logger->lines()[0].find(big + "|"), std::string::npos);
}

TEST_F(LogFixture, RecordKnowsItsOrigin) {
    auto logger = std::make_shared<RecordingLogger>();
    HVDDLog::addLogger(logger);
    EXPECT_TRUE(hv::test::waitUntil([&] { return logger->added.load(); }));
    hvLogLevel = HVLogLevelError;
    hv::platform::SerialQueue queue("hv.test.origin");
    std::thread([&] {
        pthread_setname_np(pthread_self(), "hv-origin");
        queue.sync([] { HVLogError("from a queue"); });
    }).join();
    std::lock_guard lock(logger->mutex);
    ASSERT_EQ(logger->texts.size(), 1u);
    EXPECT_EQ(logger->fileNames[0], "LoggingCoreTest");
    EXPECT_EQ(logger->threadNames[0], "hv-origin");
    EXPECT_EQ(logger->queueLabels[0], "hv.test.origin");
    EXPECT_EQ(logger->flags[0], HVLogFlagError);
    EXPECT_TRUE(logger->onOwnQueue[0]);
}

TEST_F(LogFixture, MessageDerivedNames) {
    HVDDLogMessage m("t", 31, HVLogFlagInfo, 0, "/a/b.c/file.name.cpp", "void f()", 3, nullptr, 0);
    EXPECT_EQ(m.fileName(), "file.name");
    EXPECT_EQ(m.methodName(), "void f()");
    HVDDLogMessage bare("t", 31, HVLogFlagInfo, 0, "noext", "g", 3, nullptr, 0);
    EXPECT_EQ(bare.fileName(), "noext");
    char file[] = "/x/copied.mm";
    HVDDLogMessage copy("t", 31, HVLogFlagInfo, 0, file, "g", 3, nullptr, HVDDLogMessage::CopyFile);
    file[3] = 'Z';
    EXPECT_EQ(copy.fileName(), "copied");
    EXPECT_NE(copy.threadID().find_first_not_of("0123456789abcdef"), 0u);
}

TEST_F(LogFixture, FormatterMayRewriteOrDrop) {
    struct Upper : HVDDLogFormatter {
        bool formatLogMessage(const HVDDLogMessage &m, std::string &out) override {
            if (m.logMsg.find("drop") != std::string::npos) return false;
            out = "[" + m.logMsg + "]";
            return true;
        }
    };
    auto logger = std::make_shared<RecordingLogger>();
    HVDDLog::addLogger(logger);
    logger->setLogFormatter(std::make_shared<Upper>());
    EXPECT_NE(logger->logFormatter(), nullptr);
    HVDDLog::log(false, 31, HVLogFlagInfo, 0, __FILE__, "f", 1, nullptr, "keep %d", 1);
    HVDDLog::log(false, 31, HVLogFlagInfo, 0, __FILE__, "f", 1, nullptr, "drop");
    std::lock_guard lock(logger->mutex);
    EXPECT_EQ(logger->texts, std::vector<std::string>{"[keep 1]"});
}

TEST_F(LogFixture, AllLoggersInInsertionOrderAndRemoval) {
    auto a = std::make_shared<RecordingLogger>();
    auto b = std::make_shared<CaptureLogger>("hv.test.b");
    auto c = std::make_shared<CaptureLogger>("hv.test.c");
    HVDDLog::addLogger(a);
    HVDDLog::addLogger(nullptr);
    HVDDLog::addLogger(b);
    HVDDLog::addLogger(c);
    auto list = HVDDLog::allLoggers();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0], a);
    EXPECT_EQ(list[1], b);
    EXPECT_EQ(list[2], c);
    HVDDLog::removeLogger(a);
    list = HVDDLog::allLoggers();
    EXPECT_TRUE(a->removed.load());
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0], b);
}

TEST_F(LogFixture, FlushReachesEveryLoggerAndTerminationFlushes) {
    auto a = std::make_shared<CaptureLogger>("hv.test.fa");
    auto b = std::make_shared<CaptureLogger>("hv.test.fb");
    HVDDLog::addLogger(a);
    HVDDLog::addLogger(b);
    HVDDLog::flushLog();
    EXPECT_EQ(a->flushes(), 1u);
    EXPECT_EQ(b->flushes(), 1u);
    hv::platform::Application::shared().postWillTerminate();
    EXPECT_EQ(a->flushes(), 2u);
    EXPECT_EQ(b->flushes(), 2u);
}

TEST_F(LogFixture, AtMostAThousandMessagesInFlight) {
    // A logger that holds the first message until released keeps every later asynchronous
    // message queued; the 1001st caller must wait for a slot.
    struct Blocking : HVDDAbstractLogger {
        void logMessage(const HVDDLogMessage &) override {
            if (written.fetch_add(1) == 0) release.wait();
        }
        std::string loggerName() override { return "hv.test.blocking"; }
        hv::platform::Semaphore release;
        std::atomic<int> written{0};
    };
    auto logger = std::make_shared<Blocking>();
    HVDDLog::addLogger(logger);
    hvLogLevel = HVLogLevelError;
    for (int i = 0; i < 1000; ++i)
        HVDDLog::log(true, 31, HVLogFlagError, 0, __FILE__, "f", 1, nullptr, "m%d", i);
    std::atomic<bool> extraReturned{false};
    std::thread extra([&] {
        HVDDLog::log(true, 31, HVLogFlagError, 0, __FILE__, "f", 1, nullptr, "extra");
        extraReturned = true;
    });
    EXPECT_FALSE(hv::test::waitUntil([&] { return extraReturned.load(); }, 100ms));
    logger->release.signal();
    EXPECT_TRUE(hv::test::waitUntil([&] { return extraReturned.load(); }));
    extra.join();
    HVDDLog::flushLog();
    EXPECT_TRUE(hv::test::waitUntil([&] { return logger->written.load() == 1001; }));
}

TEST_F(LogFixture, ConcurrentLoggingDeliversEveryMessageOnce) {
    auto logger = std::make_shared<CaptureLogger>();
    auto second = std::make_shared<CaptureLogger>("hv.test.second");
    HVDDLog::addLogger(logger);
    HVDDLog::addLogger(second);
    hvLogLevel = HVLogLevelVerbose;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 250; ++i)
                HVLogVerbose("t%d-%d", t, i);
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(logger->lines().size(), 1000u);
    EXPECT_EQ(second->lines().size(), 1000u);
    EXPECT_EQ(logger->count("] t3-249"), 1u);
}

namespace {
uint32_t widgetLevel = 7;
const HVDDLogClass widgetClass{"Widget", [] { return widgetLevel; },
                               [](uint32_t l) { widgetLevel = l; }};
const HVDDLogClass unregisteredClass{"Stranger", [] { return 1u; }, [](uint32_t) {}};
}  // namespace

TEST_F(LogFixture, PerClassLevelsForRegisteredClassesOnly) {
    HVDDLog::registerClass(&widgetClass);
    HVDDLog::registerClass(&widgetClass);
    EXPECT_TRUE(HVDDLog::isRegisteredClass(&widgetClass));
    EXPECT_FALSE(HVDDLog::isRegisteredClass(&unregisteredClass));
    EXPECT_EQ(HVDDLog::registeredClassNames(), std::vector<std::string>{"Widget"});
    EXPECT_EQ(HVDDLog::logLevelForClass(&widgetClass), 7u);
    EXPECT_EQ(HVDDLog::logLevelForClass(&unregisteredClass), 0xFFFFFFFFu);
    HVDDLog::setLogLevel(31, &widgetClass);
    EXPECT_EQ(widgetLevel, 31u);
    HVDDLog::setLogLevel(1, std::string("Widget"));
    EXPECT_EQ(HVDDLog::logLevelForClassWithName("Widget"), 1u);
    EXPECT_EQ(HVDDLog::logLevelForClassWithName("Stranger"), 0xFFFFFFFFu);
    HVDDLog::setLogLevel(5, &unregisteredClass);  // ignored
}
