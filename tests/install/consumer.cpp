// A program outside the tree that uses the installed library.
#include <cstdio>

#include <vorasel/HVDDFileLogger.h>
#include <vorasel/HVLibrary.h>
#include <vorasel/HVLog.h>

int main() {
    HVDDLog::addLogger(nullptr);  // ignored; proves the symbol links
    hvLogLevel = HVLogLevelError;
    std::printf("level mask %u, loggers %zu\n", hvLogLevel.load(), HVDDLog::allLoggers().size());
    if (hvLogLevel != HVLogLevelError) return 1;
    // The public logging classes link too; a file logger is made, never used.
    HVDDFileLogger unused(std::make_shared<HVDDLogFileManagerDefault>("/nonexistent/logs"));
    std::printf(
        "%s, level %s\n", hv_library_version,
        HVLibrary::sharedClass().getLogLevelString(HVLibrary::sharedClass().logLevel()).c_str());
    return HVLibrary::sharedClass().version() == hv_library_version ? 0 : 1;
}
