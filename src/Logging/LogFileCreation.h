// A log file's creation time, kept with the file: many file systems have no birth time, and
// the modification time restarts with every line written.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace hv::logging {

// Records the creation time of the file just made and open on `fd`; false where the file system
// takes no user attributes.
bool markCreationTime(int fd);
// The creation time recorded for `path`, if any.
std::optional<std::chrono::system_clock::time_point> recordedCreationTime(const std::string &path);

}  // namespace hv::logging
