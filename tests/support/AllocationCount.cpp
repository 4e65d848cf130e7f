#include "AllocationCount.h"

#include <atomic>
#include <cstdlib>
#include <new>

#ifndef VORASEL_COUNT_ALLOCATIONS
#define VORASEL_COUNT_ALLOCATIONS 0
#endif

namespace {
std::atomic<uint64_t> count{0};
}

bool hv::test::allocationsCounted() {
    return VORASEL_COUNT_ALLOCATIONS != 0;
}

uint64_t hv::test::allocationsSoFar() {
    return count.load(std::memory_order_relaxed);
}

#if VORASEL_COUNT_ALLOCATIONS
// The replacements pair malloc with free; GCC cannot see that new and delete below are the pair.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void *operator new(std::size_t size) {
    count.fetch_add(1, std::memory_order_relaxed);
    if (void *p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void *operator new[](std::size_t size) {
    return ::operator new(size);
}
void operator delete(void *p) noexcept {
    std::free(p);
}
void operator delete[](void *p) noexcept {
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void *p, std::size_t) noexcept {
    std::free(p);
}
#endif
