// Heap allocations made by this test binary so far. Counted by replacing operator new, which
// sanitizer builds cannot do: there allocationsCounted() is false.
#pragma once

#include <cstdint>

namespace hv::sim::test {
bool allocationsCounted();
uint64_t allocationsSoFar();
}  // namespace hv::sim::test
