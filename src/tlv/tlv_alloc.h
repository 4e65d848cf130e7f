// Allocation point of the TLV and DEZ code (nodes, serialised buffers, counter lists).
//
// Everything goes through malloc/free, so a serialised buffer can be released by the caller
// with free(). Tests install a failure hook to reach the out-of-memory paths.
#pragma once

#include <cstddef>

namespace hv::tlv {

// Returns true to make the allocation of `size` bytes fail. Install only while no other
// thread allocates through this module.
using AllocationFailureHook = bool (*)(size_t size);

void *allocate(size_t size);
void release(void *block);
void setAllocationFailureHook(AllocationFailureHook hook);

}  // namespace hv::tlv
