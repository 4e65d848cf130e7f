#include "Logging/LocalTime.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace hv::logging {
namespace {

char *putDigits(char *out, int value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return out + width;
}

}  // namespace

size_t formatTimestamp(char (&out)[32], std::chrono::system_clock::time_point when,
                       char dateSeparator) {
    using namespace std::chrono;
    const auto sinceEpoch = duration_cast<milliseconds>(when.time_since_epoch()).count();
    time_t seconds = static_cast<time_t>(sinceEpoch / 1000);
    int millis = static_cast<int>(sinceEpoch % 1000);
    if (millis < 0) {  // before 1970: floor, not truncate
        millis += 1000;
        --seconds;
    }
    // localtime_r is the expensive part; a thread logs many lines within one second.
    thread_local time_t cachedSecond = -1;
    thread_local tm local{};
    if (cachedSecond != seconds) {
        localtime_r(&seconds, &local);
        cachedSecond = seconds;
    }
    const int year = local.tm_year + 1900;
    if (year < 0 || year > 9999) {
        const int n = std::snprintf(out, sizeof out, "%04d%c%02d%c%02d %02d:%02d:%02d:%03d", year,
                                    dateSeparator, local.tm_mon + 1, dateSeparator, local.tm_mday,
                                    local.tm_hour, local.tm_min, local.tm_sec, millis);
        return n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof out - 1);
    }
    char *p = putDigits(out, year, 4);
    *p++ = dateSeparator;
    p = putDigits(p, local.tm_mon + 1, 2);
    *p++ = dateSeparator;
    p = putDigits(p, local.tm_mday, 2);
    *p++ = ' ';
    p = putDigits(p, local.tm_hour, 2);
    *p++ = ':';
    p = putDigits(p, local.tm_min, 2);
    *p++ = ':';
    p = putDigits(p, local.tm_sec, 2);
    *p++ = ':';
    p = putDigits(p, millis, 3);
    *p = '\0';
    return static_cast<size_t>(p - out);
}

}  // namespace hv::logging
