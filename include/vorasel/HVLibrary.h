// The library object: the library's version, and how much the library logs.
//
// The first use of sharedClass() installs the library's three loggers (system log, console on
// standard error, and the rolling file "HalvaneiOSLibrary.log" in the caches directory's "Logs"
// folder, 1 MiB and 24 hours per file, one archived file kept) and switches logging off,
// whatever level was set before. setLogLevel() then chooses a level:
//
//   0 Off, 1 Error, 2 Warn, 3 Info, 4 Debug, 5 Verbose
//
// Each level admits its own messages and those of the levels below it. A change of level is
// logged ("Log level set to '<name>'") whenever the old or the new level admits Info messages.
//
// Thread rules: every operation may be called from any thread, except from inside a logger.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "vorasel/hv_export.h"
#include "vorasel/hv_version.h"

class HV_EXPORT HVLibrary {
public:
    static HVLibrary &sharedClass();

    // The text of hv_library_version.
    const std::string &version() const { return version_; }

    // Levels outside 0...5 are ignored.
    void setLogLevel(int32_t level);
    // The level the current mask stands for; 0 for a mask that is no level's.
    int32_t logLevel() const;
    // "Off" ... "Verbose", or "Unknown".
    std::string getLogLevelString(int32_t level) const;

    HVLibrary(const HVLibrary &) = delete;
    HVLibrary &operator=(const HVLibrary &) = delete;

private:
    HVLibrary();

    std::string version_;
    std::atomic<int32_t> logLevel_{0};  // the mask last set through setLogLevel()
};
