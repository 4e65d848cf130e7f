// The system-log logger: every message in the system log (syslog, facility "user", tagged with
// the process name and id), at a priority chosen by its flag: Error 1, Warn 2, Info 3, Debug 4,
// Verbose and any other flag 5 (syslog's alert, critical, error, warning and notice).
//
// The write itself happens on the library's log writer thread, so a busy system log holds a
// log statement only once a thousand writes are pending; flush() waits for them.
#pragma once

#include <memory>
#include <string>

#include "vorasel/HVLog.h"
#include "vorasel/hv_export.h"

class HV_EXPORT HVDDASLLogger : public HVDDAbstractLogger {
public:
    static std::shared_ptr<HVDDASLLogger> sharedInstance();
    static int priorityForFlag(uint32_t flag);

    void logMessage(const HVDDLogMessage &message) override;
    std::string loggerName() override;
    void flush() override;

private:
    HVDDASLLogger() = default;
};
