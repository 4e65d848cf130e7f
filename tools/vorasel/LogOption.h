// The global `--log LEVEL` option of the `vorasel` tool (off, error, warn, info, debug, verbose,
// or 0 to 5): taken out of the arguments wherever it stands, before or after the subcommand.
#pragma once

#include <string>
#include <vector>

namespace vorasel::tool {

// Removes every "--log LEVEL" and "--log=LEVEL" from `args`; `level` becomes the last level
// given (-1 when none). False, with a message in `error`, for a missing or unknown level.
bool takeLogOption(std::vector<std::string> &args, int &level, std::string &error);

// While it lives, the library logs at `level` (-1: the library is left alone), the console
// logger writing to standard error; at its end every pending log line is written.
class LogSession {
public:
    explicit LogSession(int level);
    ~LogSession();
    LogSession(const LogSession &) = delete;
    LogSession &operator=(const LogSession &) = delete;

private:
    const bool active_;
};

}  // namespace vorasel::tool
