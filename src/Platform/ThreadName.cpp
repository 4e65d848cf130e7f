#include "Platform/ThreadName.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace hv::platform {

void setCurrentThreadName(const std::string &name) {
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

std::string currentThreadName() {
    char buf[32] = {};
    if (pthread_getname_np(pthread_self(), buf, sizeof buf) != 0) return {};
    return buf;
}

uint64_t currentThreadId() {
    thread_local const uint64_t id = static_cast<uint64_t>(syscall(SYS_gettid));
    return id;
}

}  // namespace hv::platform
