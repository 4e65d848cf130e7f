#include "Logging/LogFileCreation.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <charconv>
#include <cstdint>

namespace hv::logging {

namespace {
// Nanoseconds since the epoch, in decimal.
constexpr const char *kCreatedAttribute = "user.hvdd.log.created";
}  // namespace

bool markCreationTime(int fd) {
    // The file's own time stamp, just made, so that it never reads as younger than its
    // modification time.
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    const int64_t ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    const std::string value = std::to_string(ns);
    return ::fsetxattr(fd, kCreatedAttribute, value.data(), value.size(), 0) == 0;
}

std::optional<std::chrono::system_clock::time_point> recordedCreationTime(const std::string &path) {
    char buf[32];
    const ssize_t n = ::getxattr(path.c_str(), kCreatedAttribute, buf, sizeof buf);
    if (n <= 0) return std::nullopt;
    int64_t ns = 0;
    const auto [end, ec] = std::from_chars(buf, buf + n, ns);
    if (ec != std::errc() || end != buf + n || ns <= 0) return std::nullopt;
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::nanoseconds(ns)));
}

}  // namespace hv::logging
