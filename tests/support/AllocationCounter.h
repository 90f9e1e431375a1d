// Counts heap allocations made through the global operator new while a ScopedAllocationCount
// lives, on any thread.  Used to keep data calls (GetData, PutData, Process) free of heap
// traffic after Build.  One test binary owns the replacement operators (AllocationCounter.cpp).
#pragma once

#include <cstdint>

namespace zelmar::test {

class ScopedAllocationCount {
public:
    ScopedAllocationCount();
    ~ScopedAllocationCount();
    ScopedAllocationCount(const ScopedAllocationCount&) = delete;
    ScopedAllocationCount& operator=(const ScopedAllocationCount&) = delete;
    // Allocations since construction.
    uint64_t count() const;

private:
    uint64_t start_;
};

}  // namespace zelmar::test
