#pragma once

#include <cstddef>
#include <cstdint>

// Heap use of this thread as the benchmark executable's replaced allocator counts it. Both operator new and
// the C allocator are counted: jsoncpp keeps its strings and member names in malloc'd memory.
struct HeapCount {
  std::uint64_t allocations;  // calls that obtained memory
  std::int64_t live_bytes;    // usable bytes obtained minus usable bytes returned
};

HeapCount heap_count();
