#include "vorasel/HVDDASLLogger.h"

#include "Platform/Application.h"

std::shared_ptr<HVDDASLLogger> HVDDASLLogger::sharedInstance() {
    static auto *instance = new std::shared_ptr<HVDDASLLogger>(new HVDDASLLogger);
    return *instance;
}

int HVDDASLLogger::priorityForFlag(uint32_t flag) {
    switch (flag) {
        case HVLogFlagError:
            return 1;
        case HVLogFlagWarn:
            return 2;
        case HVLogFlagInfo:
            return 3;
        case HVLogFlagDebug:
            return 4;
        default:
            return 5;
    }
}

std::string HVDDASLLogger::loggerName() {
    return "hv.logging.asl";
}

void HVDDASLLogger::logMessage(const HVDDLogMessage &message) {
    std::string text;
    if (formatter_) {
        if (!formatter_->formatLogMessage(message, text)) return;
    } else {
        text = message.logMsg;
    }
    // Handed to the system log before the log call returns.
    hv::platform::Application::shared().systemLog(priorityForFlag(message.logFlag), text);
}

void HVDDASLLogger::flush() {
    // Every line has been handed over when its log call returned.
}
