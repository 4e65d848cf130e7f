// Names and numeric identifiers of OS threads.
#pragma once

#include <cstdint>
#include <string>

namespace hv::platform {

// Linux keeps 15 characters of a thread name; longer names are cut.
void setCurrentThreadName(const std::string &name);
std::string currentThreadName();
uint64_t currentThreadId();

}  // namespace hv::platform
