#pragma once
// Counting the heap allocations a plug-in makes inside one call. The program that links
// alloc_counter.cpp replaces malloc, calloc, realloc, the aligned allocators, free and the
// global operator new/delete with versions that count on the calling thread while a count is
// open, then forward to the C library. Plug-ins that carry their own C++ runtime still reach
// malloc, so they are counted too.
#include <cstdint>

namespace orvex::tools {

struct AllocationCount {
    std::uint64_t allocations = 0;  // malloc, calloc, realloc, aligned allocation, operator new
    std::uint64_t releases = 0;     // free, operator delete (of non-null pointers)
};

// The probe the validator uses; null where allocations cannot be counted (sanitizer builds,
// which bring their own allocator).
struct AllocationProbe {
    void (*begin)();            // start counting on this thread
    AllocationCount (*end)();   // stop and return what was counted since begin
};

// The interposing probe of alloc_counter.cpp, or null when the build cannot interpose.
const AllocationProbe* interposedAllocationProbe();

}  // namespace orvex::tools
