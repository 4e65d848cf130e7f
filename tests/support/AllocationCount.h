// Heap allocations made by this program so far, for the test and benchmark programs that link
// AllocationCount.cpp. Counted by replacing operator new when the file is built with
// VORASEL_COUNT_ALLOCATIONS=1, which sanitizer builds cannot do: there allocationsCounted() is
// false.
#pragma once

#include <cstdint>

namespace hv::test {
bool allocationsCounted();
uint64_t allocationsSoFar();
}  // namespace hv::test
