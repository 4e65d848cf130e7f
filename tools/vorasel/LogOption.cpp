#include "LogOption.h"

#include <cctype>

#include "vorasel/HVLibrary.h"
#include "vorasel/HVLog.h"

namespace vorasel::tool {
namespace {

constexpr const char *kLevelNames[] = {"off", "error", "warn", "info", "debug", "verbose"};

int parseLevel(std::string text) {
    for (auto &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (int level = 0; level < 6; ++level)
        if (text == kLevelNames[level] || text == std::to_string(level)) return level;
    return -1;
}

}  // namespace

bool takeLogOption(std::vector<std::string> &args, int &level, std::string &error) {
    level = -1;
    std::vector<std::string> rest;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string value;
        if (args[i] == "--log") {
            if (i + 1 >= args.size()) {
                error = "--log needs a level: off, error, warn, info, debug or verbose";
                return false;
            }
            value = args[++i];
        } else if (args[i].rfind("--log=", 0) == 0) {
            value = args[i].substr(6);
        } else {
            rest.push_back(args[i]);
            continue;
        }
        level = parseLevel(value);
        if (level < 0) {
            error = "unknown log level '" + value + "' (off, error, warn, info, debug or verbose)";
            return false;
        }
    }
    args = std::move(rest);
    return true;
}

LogSession::LogSession(int level) : active_(level >= 0) {
    if (active_) HVLibrary::sharedClass().setLogLevel(level);
}

LogSession::~LogSession() {
    if (active_) HVDDLog::flushLog();
}

}  // namespace vorasel::tool
