#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "Logging/TerminalColors.h"
#include "Platform/Application.h"
#include "vorasel/HVDDTTYLogger.h"
#include "vorasel/HVLog.h"

using hv::logging::ColorCodes;

namespace {

constexpr HVDDColor kRed{255, 0, 0};
constexpr HVDDColor kBlue{0, 0, 238};
constexpr HVDDColor kOrange{255, 135, 0};

// A console logger writing into a pipe, installed for one test.
class ConsoleCapture {
public:
    explicit ConsoleCapture(const char *term, const char *xcodeColors = nullptr) {
        EXPECT_EQ(::pipe2(fds_, O_CLOEXEC), 0);
        logger_ = std::make_shared<HVDDTTYLogger>(fds_[1], term, xcodeColors);
        HVDDLog::addLogger(logger_);
    }
    ~ConsoleCapture() {
        HVDDLog::removeLogger(logger_);
        HVDDLog::allLoggers();
        logger_.reset();  // waits for its queued lines
        ::close(fds_[1]);
        if (fds_[0] >= 0) ::close(fds_[0]);
    }
    HVDDTTYLogger &logger() { return *logger_; }

    // Everything written so far.
    std::string output() {
        logger_->flush();
        std::string out;
        char buf[4096];
        const int flags = ::fcntl(fds_[0], F_GETFL);
        ::fcntl(fds_[0], F_SETFL, flags | O_NONBLOCK);
        ssize_t n;
        while ((n = ::read(fds_[0], buf, sizeof buf)) > 0)
            out.append(buf, static_cast<size_t>(n));
        return out;
    }
    void closeReadEnd() {
        ::close(fds_[0]);
        fds_[0] = -1;
    }

private:
    int fds_[2] = {-1, -1};
    std::shared_ptr<HVDDTTYLogger> logger_;
};

void logAt(uint32_t flag, const char *text, int context = 0, const void *tag = nullptr) {
    HVDDLog::log(false, HVLogLevelVerbose, flag, context, __FILE__, "test", 1, tag, "%s", text);
}

}  // namespace

TEST(ConsoleLogger, LineCarriesTimeAppProcessAndThreadThenTheText) {
    ConsoleCapture capture(nullptr);
    logAt(HVLogFlagInfo, "HVInfo: f [Line 3] hello");
    const std::string app = hv::platform::Application::shared().processName();
    const std::regex layout("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3} " + app + "\\[" +
                            std::to_string(::getpid()) +
                            ":[0-9a-f]{1,8}\\] HVInfo: f \\[Line 3\\] hello\n");
    const std::string out = capture.output();
    EXPECT_TRUE(std::regex_match(out, layout)) << out;
}

TEST(ConsoleLogger, OneNewlinePerMessageWhateverTheTextEndsWith) {
    ConsoleCapture capture(nullptr);
    logAt(HVLogFlagInfo, "plain");
    logAt(HVLogFlagInfo, "ends with newline\n");
    logAt(HVLogFlagInfo, "");
    const std::string out = capture.output();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3) << out;
    EXPECT_NE(out.find("] plain\n"), std::string::npos);
    EXPECT_NE(out.find("] ends with newline\n"), std::string::npos);
    EXPECT_EQ(out.find("newline\n\n"), std::string::npos);
    EXPECT_EQ(out.back(), '\n');
}

TEST(ConsoleLogger, FormatterTextIsWrittenAloneAndMayDropMessages) {
    struct Bracket : HVDDLogFormatter {
        bool formatLogMessage(const HVDDLogMessage &m, std::string &out) override {
            if (m.logMsg == "drop") return false;
            out = m.logMsg == "same" ? m.logMsg : "[" + m.logMsg + "]";
            return true;
        }
    };
    ConsoleCapture capture(nullptr);
    capture.logger().setLogFormatter(std::make_shared<Bracket>());
    logAt(HVLogFlagInfo, "changed");
    logAt(HVLogFlagInfo, "drop");
    logAt(HVLogFlagInfo, "same");
    const std::string out = capture.output();
    // A formatter that leaves the text as it is gets the usual layout.
    const auto second = out.find('\n') + 1;
    EXPECT_EQ(out.substr(0, second), "[changed]\n");
    EXPECT_NE(out.find("] same\n", second), std::string::npos) << out;
    EXPECT_EQ(out.find("drop"), std::string::npos);
}

TEST(ConsoleLogger, SixteenColourCodesWrapMatchedMessagesOnly) {
    ConsoleCapture capture("xterm-color");
    capture.logger().setForegroundColor(kRed, kBlue, HVLogFlagError);
    logAt(HVLogFlagError, "before enabling");
    capture.logger().setColorsEnabled(true);
    EXPECT_TRUE(capture.logger().colorsEnabled());
    logAt(HVLogFlagError, "bad");
    logAt(HVLogFlagInfo, "fine");
    const std::string out = capture.output();
    EXPECT_EQ(out.find("\033"), out.find("\033[91m\033[44m")) << "nothing coloured before";
    EXPECT_NE(out.find("] before enabling\n"), std::string::npos);
    const auto bad = out.find("\033[91m\033[44m");
    ASSERT_NE(bad, std::string::npos);
    EXPECT_NE(out.find("] bad\033[0m\n", bad), std::string::npos);
    EXPECT_NE(out.find("] fine\n"), std::string::npos);
    EXPECT_EQ(out.find("\033", out.find("] bad\033[0m\n") + 10), std::string::npos)
        << "the Info line is not coloured";
}

TEST(ConsoleLogger, TwoHundredFiftySixColourAndXcodeColorsCodes) {
    {
        ConsoleCapture capture("xterm-256color");
        capture.logger().setColorsEnabled(true);
        capture.logger().setForegroundColor(kOrange, std::nullopt, HVLogFlagWarn);
        logAt(HVLogFlagWarn, "warned");
        const std::string out = capture.output();
        EXPECT_EQ(out.rfind("\033[38;5;208m", 0), 0u) << out;
        EXPECT_NE(out.find("] warned\033[0m\n"), std::string::npos);
    }
    {
        ConsoleCapture capture(nullptr, "YES");
        capture.logger().setColorsEnabled(true);
        capture.logger().setForegroundColor(HVDDColor{1, 2, 3}, HVDDColor{4, 5, 6}, HVLogFlagDebug);
        logAt(HVLogFlagDebug, "xcode");
        const std::string out = capture.output();
        EXPECT_EQ(out.rfind("\033[fg1,2,3;\033[bg4,5,6;", 0), 0u) << out;
        EXPECT_NE(out.find("] xcode\033[;\n"), std::string::npos);
    }
    {
        // TERM without colour support wins over XcodeColors: no codes at all.
        ConsoleCapture capture("dumb", "YES");
        capture.logger().setColorsEnabled(true);
        capture.logger().setForegroundColor(kRed, std::nullopt, HVLogFlagError);
        logAt(HVLogFlagError, "plain");
        EXPECT_EQ(capture.output().find('\033'), std::string::npos);
    }
}

TEST(ConsoleLogger, ProfilesByTagThenContextThenEveryContext) {
    ConsoleCapture capture("xterm-256color");
    HVDDTTYLogger &logger = capture.logger();
    logger.setColorsEnabled(true);
    static const int tag = 0;
    logger.setForegroundColor(HVDDColor{0, 0, 0}, std::nullopt, HVLogFlagError);  // every context
    logger.setForegroundColor(HVDDColor{255, 255, 255}, std::nullopt,
                              HVLogFlagError | HVLogFlagWarn, 7);
    logger.setForegroundColor(HVDDColor{0, 255, 0}, std::nullopt, &tag);
    logAt(HVLogFlagError, "ctx0");
    logAt(HVLogFlagError, "ctx7", 7);
    logAt(HVLogFlagWarn, "warn7", 7);
    logAt(HVLogFlagWarn, "warn0");
    logAt(HVLogFlagError, "tagged", 7, &tag);
    const std::string out = capture.output();
    auto colourOf = [&](const std::string &text) {
        const auto end = out.find("] " + text);
        const auto start = out.rfind('\n', end);
        const std::string line = out.substr(start == std::string::npos ? 0 : start + 1, end);
        if (line.rfind("\033[38;5;", 0) != 0) return std::string("none");
        return line.substr(7, line.find('m') - 7);
    };
    EXPECT_EQ(colourOf("ctx0"), "0");
    EXPECT_EQ(colourOf("ctx7"), "15");
    EXPECT_EQ(colourOf("warn7"), "15");
    EXPECT_EQ(colourOf("warn0"), "none");
    EXPECT_EQ(colourOf("tagged"), "10");
}

TEST(ConsoleLogger, ClearingForAFlagRemovesTheProfileSetForThatFlag) {
    ConsoleCapture capture("xterm-color");
    HVDDTTYLogger &logger = capture.logger();
    logger.setColorsEnabled(true);
    logger.setForegroundColor(kRed, std::nullopt, HVLogFlagError);
    logger.setForegroundColor(kBlue, std::nullopt, HVLogFlagError, 3);
    logger.clearColorsForFlag(HVLogFlagError);
    logAt(HVLogFlagError, "cleared");
    logAt(HVLogFlagError, "context three", 3);
    logger.clearColorsForFlag(HVLogFlagError, 3);
    logAt(HVLogFlagError, "all cleared", 3);
    const std::string out = capture.output();
    EXPECT_NE(out.find("] cleared\n"), std::string::npos) << "no colour left for the flag";
    EXPECT_NE(out.find("\033[34m"), std::string::npos) << "the context profile stays";
    EXPECT_NE(out.find("] all cleared\n"), std::string::npos);
    EXPECT_EQ(out.find("\033[91m"), std::string::npos);
}

TEST(ConsoleLogger, ClearAllColorsAndTags) {
    ConsoleCapture capture("xterm-color");
    HVDDTTYLogger &logger = capture.logger();
    static const int tag = 0;
    logger.setColorsEnabled(true);
    logger.setForegroundColor(kRed, std::nullopt, HVLogFlagInfo);
    logger.setForegroundColor(kBlue, std::nullopt, &tag);
    logger.clearColorsForAllTags();
    logAt(HVLogFlagInfo, "flag colour", 0, &tag);
    logger.clearAllColors();
    logAt(HVLogFlagInfo, "no colour", 0, &tag);
    const std::string out = capture.output();
    EXPECT_NE(out.find("\033[91m"), std::string::npos) << "a tag without profile falls back";
    EXPECT_EQ(out.find("\033[34m"), std::string::npos);
    EXPECT_NE(out.find("] no colour\n"), std::string::npos);
}

TEST(ConsoleLogger, AReaderThatWentAwayCostsTheLinesNotTheProcess) {
    ConsoleCapture capture(nullptr);
    capture.closeReadEnd();
    logAt(HVLogFlagError, "into a broken pipe");
    logAt(HVLogFlagError, "and another");
    capture.logger().flush();
    SUCCEED() << "no SIGPIPE";
}

TEST(TerminalColors, EnvironmentChoosesTheCodes) {
    EXPECT_EQ(hv::logging::colorCodesFor("xterm-256color", nullptr), ColorCodes::Terminal256);
    EXPECT_EQ(hv::logging::colorCodesFor("XTERM-COLOR", nullptr), ColorCodes::Terminal16);
    EXPECT_EQ(hv::logging::colorCodesFor("xterm", "YES"), ColorCodes::None);
    EXPECT_EQ(hv::logging::colorCodesFor(nullptr, "YES"), ColorCodes::XcodeColors);
    EXPECT_EQ(hv::logging::colorCodesFor(nullptr, "yes"), ColorCodes::None);
    EXPECT_EQ(hv::logging::colorCodesFor(nullptr, nullptr), ColorCodes::None);
}

TEST(TerminalColors, NearestPaletteEntry) {
    using hv::logging::nearestPaletteIndex;
    EXPECT_EQ(nearestPaletteIndex(16, {255, 0, 0}), 9u);
    EXPECT_EQ(nearestPaletteIndex(16, {200, 10, 10}), 1u);
    EXPECT_EQ(nearestPaletteIndex(256, {255, 0, 0}), 9u) << "the lower index on a tie";
    EXPECT_EQ(nearestPaletteIndex(256, {255, 135, 0}), 208u);
    EXPECT_EQ(nearestPaletteIndex(256, {128, 128, 128}), 244u);
    EXPECT_EQ(nearestPaletteIndex(256, {95, 135, 175}), 67u);
    for (unsigned i = 0; i < 256; ++i) {
        const auto c = hv::logging::paletteColor(i);
        EXPECT_EQ(hv::logging::paletteColor(nearestPaletteIndex(256, c)).r, c.r) << i;
    }
    EXPECT_EQ(hv::logging::backgroundCode(ColorCodes::Terminal16, {255, 255, 255}), "\033[107m");
    EXPECT_EQ(hv::logging::resetCode(ColorCodes::None), "");
}
