// A program outside the tree that uses the installed library.
#include <cstdio>

#include <vorasel/HVLog.h>

int main() {
    HVDDLog::addLogger(nullptr);  // ignored; proves the symbol links
    hvLogLevel = HVLogLevelError;
    std::printf("level mask %u, loggers %zu\n", hvLogLevel.load(), HVDDLog::allLoggers().size());
    return hvLogLevel == HVLogLevelError ? 0 : 1;
}
