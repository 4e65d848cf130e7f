#include "tlv/tlv_alloc.h"

#include <atomic>
#include <cstdlib>

namespace hv::tlv {

namespace {
std::atomic<AllocationFailureHook> failureHook{nullptr};
}

void *allocate(size_t size) {
    const AllocationFailureHook hook = failureHook.load(std::memory_order_relaxed);
    if (hook != nullptr && hook(size)) return nullptr;
    return std::malloc(size);
}

void release(void *block) {
    std::free(block);
}

void setAllocationFailureHook(AllocationFailureHook hook) {
    failureHook.store(hook, std::memory_order_relaxed);
}

}  // namespace hv::tlv
