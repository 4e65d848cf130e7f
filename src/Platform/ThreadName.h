// Names and numeric identifiers of OS threads.
#pragma once

#include <cstdint>
#include <string>

namespace hv::platform {

// Linux keeps 15 characters of a thread name; longer names are cut.
void setCurrentThreadName(const std::string &name);
// The calling thread's name. A name set by other means than setCurrentThreadName() (such as
// pthread_setname_np) is seen within a second.
std::string currentThreadName();
uint64_t currentThreadId();

}  // namespace hv::platform
