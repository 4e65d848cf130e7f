#include "Logging/LogDirectory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace hv::logging {

namespace {

bool worldWritable(const struct stat &st) {
    return (st.st_mode & S_IWOTH) != 0;
}

// A folder of ours that nobody else may change (ours are made 0700; one the user made
// readable by others is still safe to write into).
bool privateToUs(const struct stat &st) {
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 022) == 0;
}

}  // namespace

std::string privateFolderIn(const std::string &directory) {
    struct stat st;
    if (::stat(directory.c_str(), &st) != 0 || !worldWritable(st)) return directory;
    return directory + "/vorasel-" + std::to_string(::geteuid());
}

int openLogsDirectory(const std::string &path, bool create, std::string *error) {
    auto fail = [error](const std::string &what, int fd) {
        if (error) *error = what;
        if (fd >= 0) ::close(fd);
        return -1;
    };
    if (path.empty()) return fail("no folder", -1);
    int fd = ::open(path[0] == '/' ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return fail(std::strerror(errno), -1);
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string name = path.substr(start, end - start);
        start = end + 1;
        if (name.empty() || name == ".") continue;
        struct stat parent;
        if (::fstat(fd, &parent) != 0) return fail(std::strerror(errno), fd);
        const bool shared = worldWritable(parent);
        if (create && ::mkdirat(fd, name.c_str(), 0700) != 0 && errno != EEXIST)
            return fail("cannot create " + name + ": " + std::strerror(errno), fd);
        // In a shared folder a symlink is refused outright (O_NOFOLLOW), and what is opened is
        // checked through its descriptor, so nothing can be swapped in between.
        const int next = ::openat(fd, name.c_str(),
                                  O_RDONLY | O_DIRECTORY | O_CLOEXEC | (shared ? O_NOFOLLOW : 0));
        if (next < 0) return fail(name + ": " + std::strerror(errno), fd);
        ::close(fd);
        fd = next;
        if (shared) {
            struct stat st;
            if (::fstat(fd, &st) != 0 || !privateToUs(st))
                return fail(name + " in a shared folder is not a private folder of ours", fd);
        }
    }
    return fd;
}

}  // namespace hv::logging
