// The console logger: every message on standard error, one gathered write per message.
//
// The write happens on the library's log writer thread, in the order of the messages, so a slow
// terminal or a full pipe holds a log statement only once a thousand writes are pending;
// flush() waits for them. A reader of the pipe that has gone away loses the lines, never the
// process (no SIGPIPE).
//
// A line is "<date> <time>:<ms> <app>[<pid>:<thread>] <message>" followed by a newline unless
// the message already ends with one; the date is "YYYY-MM-DD", the time "HH:MM:SS" in the local
// time zone. With a formatter set that changes the text, only the formatter's text is written.
//
// Colours: the shared logger reads TERM and XcodeColors once. TERM containing "color" (in any
// case) gives terminal colour codes (256 colours when TERM also contains "256", else 16); no
// TERM at all and XcodeColors=YES gives the XcodeColors plug-in's codes; otherwise colours are
// never written. Colours are off until setColorsEnabled(true), and colour only the messages that
// a profile matches: a tag's profile for a tagged message, else the first profile whose flags
// include the message's flag and whose context equals the message's, else the last such
// profile set for every context (HVDDTTYLoggerContextAll). A requested colour becomes the
// nearest palette colour of the terminal.
//
// Thread rules: every operation may be called from any thread except a logger's queue or the
// global logging queue; the colour settings change only between two messages.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "vorasel/HVLog.h"
#include "vorasel/hv_export.h"

namespace hv::logging {
struct ConsoleLoggerState;
}

// An RGB colour, 0..255 per channel.
struct HVDDColor {
    uint8_t red;
    uint8_t green;
    uint8_t blue;
};

// The context of a colour profile that matches messages of every context.
inline constexpr int HVDDTTYLoggerContextAll = 0x7FFFFFFF;

class HV_EXPORT HVDDTTYLogger : public HVDDAbstractLogger {
public:
    // Standard error, with TERM and XcodeColors as the process had them at first use.
    static std::shared_ptr<HVDDTTYLogger> sharedInstance();

    // A console logger writing to `fd` (not closed by the logger), with the given values of TERM
    // and XcodeColors (null for an unset variable).
    HVDDTTYLogger(int fd, const char *term, const char *xcodeColors);
    ~HVDDTTYLogger() override;
    HVDDTTYLogger(const HVDDTTYLogger &) = delete;
    HVDDTTYLogger &operator=(const HVDDTTYLogger &) = delete;

    void logMessage(const HVDDLogMessage &message) override;
    std::string loggerName() override;
    // Waits until every line logged so far is written.
    void flush() override;

    bool colorsEnabled();
    void setColorsEnabled(bool enabled);

    // A profile for these flags, for every context.
    void setForegroundColor(std::optional<HVDDColor> foreground,
                            std::optional<HVDDColor> background, uint32_t flags);
    // A profile for these flags and one context; replaces the profile of the same flags and
    // context.
    void setForegroundColor(std::optional<HVDDColor> foreground,
                            std::optional<HVDDColor> background, uint32_t flags, int context);
    // A profile for messages carrying this tag.
    void setForegroundColor(std::optional<HVDDColor> foreground,
                            std::optional<HVDDColor> background, const void *tag);

    // Removes the profiles of exactly these flags set for context 0 and for every context.
    void clearColorsForFlag(uint32_t flags);
    void clearColorsForFlag(uint32_t flags, int context);
    void clearColorsForTag(const void *tag);
    void clearColorsForAllFlags();
    void clearColorsForAllTags();
    void clearAllColors();

private:
    std::unique_ptr<hv::logging::ConsoleLoggerState> state_;
};
