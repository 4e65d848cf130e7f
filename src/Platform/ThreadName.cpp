#include "Platform/ThreadName.h"

#include <pthread.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>

namespace hv::platform {
namespace {

// Every log record carries its thread's name, and reading it is a system call; a thread's
// name is kept here and read again at most once a second.
constexpr auto kNameRefresh = std::chrono::seconds(1);

struct CachedName {
    std::string name;
    std::chrono::steady_clock::time_point readAt{};
    bool known = false;
};
thread_local CachedName tlsName;

}  // namespace

void setCurrentThreadName(const std::string &name) {
    const std::string cut = name.substr(0, 15);
    pthread_setname_np(pthread_self(), cut.c_str());
    tlsName.name = cut;
    tlsName.readAt = std::chrono::steady_clock::now();
    tlsName.known = true;
}

std::string currentThreadName() {
    const auto now = std::chrono::steady_clock::now();
    if (!tlsName.known || now - tlsName.readAt >= kNameRefresh) {
        char buf[17] = {};
        tlsName.name = prctl(PR_GET_NAME, buf, 0, 0, 0) == 0 ? buf : "";
        tlsName.readAt = now;
        tlsName.known = true;
    }
    return tlsName.name;
}

uint64_t currentThreadId() {
    thread_local const uint64_t id = static_cast<uint64_t>(syscall(SYS_gettid));
    return id;
}

}  // namespace hv::platform
