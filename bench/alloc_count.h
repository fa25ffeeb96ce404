// Counts heap allocations made on the calling thread while a counting scope is open.
//
// qelbench defines malloc, calloc, realloc and the aligned allocators itself (forwarding to the
// C library's), and exports them, so the loaded module and the C++ runtime (operator new ends in
// malloc) allocate through them. Only threads inside a scope count; the controller threads do not.
#pragma once

#include <cstdint>

namespace qelbench {

class AllocationScope {
 public:
  AllocationScope();
  ~AllocationScope();
  AllocationScope(const AllocationScope&) = delete;
  AllocationScope& operator=(const AllocationScope&) = delete;
  uint64_t count() const;  // allocations on this thread since the scope opened
 private:
  uint64_t start_;
};

// Proves the hook sees allocations at all: a malloc and a new inside a scope count 2.
bool AllocationHookWorks();

}  // namespace qelbench
