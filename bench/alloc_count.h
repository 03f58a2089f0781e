// Counts the heap allocations of the whole process: the bench replaces the
// global operator new.
#pragma once

#include <cstdint>

namespace kr2270::bench {

std::uint64_t AllocationCount();

}  // namespace kr2270::bench
