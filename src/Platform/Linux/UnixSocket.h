// Small helpers over Unix-domain stream sockets, for the accessory daemon transport.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace hv::platform::unixsocket {

// A connected socket, or -1.
int connectTo(const std::string &path);
// A listening socket bound to `path` (replacing a stale one), or -1.
int listenOn(const std::string &path);
// Writes everything, retrying on short writes; false on error.
bool writeAll(int fd, const void *data, size_t length);
// Reads exactly `length` bytes; false on end or error.
bool readExact(int fd, void *data, size_t length);
// Reads one line without its "\n" (at most `maxLength` bytes); nothing on end or error.
std::optional<std::string> readLine(int fd, size_t maxLength = 4096);
void closeQuietly(int fd);

// The same, for a peer that may stop answering: each gives up at `deadline`. The socket is
// left non-blocking.
using Deadline = std::chrono::steady_clock::time_point;
int connectBy(const std::string &path, Deadline deadline);
bool writeAllBy(int fd, const void *data, size_t length, Deadline deadline);
bool readExactBy(int fd, void *data, size_t length, Deadline deadline);

}  // namespace hv::platform::unixsocket
