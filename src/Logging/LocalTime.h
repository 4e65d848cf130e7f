// Log timestamps in the local time zone, for the console and file loggers.
#pragma once

#include <chrono>
#include <cstddef>

namespace hv::logging {

// "YYYY<sep>MM<sep>DD HH:MM:SS:mmm": 23 characters for four-digit years, then a terminating
// zero. The calendar fields are computed once per second and thread.
constexpr size_t kTimestampLength = 23;
size_t formatTimestamp(char (&out)[32], std::chrono::system_clock::time_point when,
                       char dateSeparator);

}  // namespace hv::logging
