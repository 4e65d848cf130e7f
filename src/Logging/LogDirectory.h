// The folder the log files live in, opened safely: a world-writable folder on the way (a shared
// /tmp) must not let another local user redirect our log through a symlink or a folder of
// theirs.
#pragma once

#include <string>

namespace hv::logging {

// `directory` itself, or, when others may write into it, a private folder of ours inside it
// ("vorasel-<uid>").
std::string privateFolderIn(const std::string &directory);

// Opens `path` as a directory (O_DIRECTORY descriptor the caller closes), after making the
// missing folders (0700) when `create` is set. Every folder that sits in a world-writable one
// must be a real folder, not a symlink, owned by us and writable by nobody else. -1 with
// `error` set otherwise.
int openLogsDirectory(const std::string &path, bool create, std::string *error);

}  // namespace hv::logging
