#include "Logging/LocalTime.h"
#include "vorasel/HVDDFileLogger.h"

bool HVDDLogFileFormatterDefault::formatLogMessage(const HVDDLogMessage &message,
                                                   std::string &out) {
    char timestamp[32];
    const size_t length = hv::logging::formatTimestamp(timestamp, message.timestamp, '/');
    out.clear();
    out.reserve(length + 2 + message.logMsg.size() + 1);
    out.append(timestamp, length);
    out.append("  ", 2);
    out.append(message.logMsg);
    return true;
}
