// Replaces the global allocation functions and glibc's malloc family with counting forwarders to glibc's
// own allocator. Bytes are usable sizes (malloc_usable_size), so a block counts the same when it is taken
// and when it is given back; malloc's per-block header is not included.
#include "heap_counter.h"

#include <malloc.h>

#include <cerrno>
#include <cstdlib>
#include <new>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void* __libc_valloc(std::size_t size);
void* __libc_pvalloc(std::size_t size);
void __libc_free(void* p);
}

namespace {

// Static TLS of the executable: reading it never allocates.
thread_local HeapCount counts{0, 0};

void* taken(void* p) {
  if (p != nullptr) {
    ++counts.allocations;
    counts.live_bytes += static_cast<std::int64_t>(malloc_usable_size(p));
  }
  return p;
}

void given_back(void* p) {
  if (p != nullptr) counts.live_bytes -= static_cast<std::int64_t>(malloc_usable_size(p));
}

void* new_block(std::size_t size) {
  if (void* p = taken(__libc_malloc(size == 0 ? 1 : size))) return p;
  throw std::bad_alloc();
}

void* new_aligned(std::size_t size, std::align_val_t alignment) {
  if (void* p = taken(__libc_memalign(static_cast<std::size_t>(alignment), size == 0 ? 1 : size))) return p;
  throw std::bad_alloc();
}

void delete_block(void* p) noexcept {
  given_back(p);
  __libc_free(p);
}

}  // namespace

HeapCount heap_count() { return counts; }

extern "C" {

void* malloc(std::size_t size) { return taken(__libc_malloc(size)); }
void* calloc(std::size_t count, std::size_t size) { return taken(__libc_calloc(count, size)); }
void free(void* p) { delete_block(p); }

void* realloc(void* p, std::size_t size) {
  const std::int64_t before = p == nullptr ? 0 : static_cast<std::int64_t>(malloc_usable_size(p));
  void* q = __libc_realloc(p, size);
  if (q == nullptr) {
    // glibc frees the block on a zero size; on a failure the old block is untouched.
    if (size == 0) counts.live_bytes -= before;
    return nullptr;
  }
  counts.live_bytes += static_cast<std::int64_t>(malloc_usable_size(q)) - before;
  ++counts.allocations;
  return q;
}

void* reallocarray(void* p, std::size_t count, std::size_t size) {
  std::size_t total = 0;
  if (__builtin_mul_overflow(count, size, &total)) {
    errno = ENOMEM;
    return nullptr;
  }
  return realloc(p, total);
}

void* memalign(std::size_t alignment, std::size_t size) { return taken(__libc_memalign(alignment, size)); }
void* aligned_alloc(std::size_t alignment, std::size_t size) { return taken(__libc_memalign(alignment, size)); }
void* valloc(std::size_t size) { return taken(__libc_valloc(size)); }
void* pvalloc(std::size_t size) { return taken(__libc_pvalloc(size)); }

int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
  void* p = taken(__libc_memalign(alignment, size));
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}

}  // extern "C"

void* operator new(std::size_t size) { return new_block(size); }
void* operator new[](std::size_t size) { return new_block(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return taken(__libc_malloc(size == 0 ? 1 : size)); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return taken(__libc_malloc(size == 0 ? 1 : size)); }
void* operator new(std::size_t size, std::align_val_t alignment) { return new_aligned(size, alignment); }
void* operator new[](std::size_t size, std::align_val_t alignment) { return new_aligned(size, alignment); }
void operator delete(void* p) noexcept { delete_block(p); }
void operator delete[](void* p) noexcept { delete_block(p); }
void operator delete(void* p, std::size_t) noexcept { delete_block(p); }
void operator delete[](void* p, std::size_t) noexcept { delete_block(p); }
void operator delete(void* p, std::align_val_t) noexcept { delete_block(p); }
void operator delete[](void* p, std::align_val_t) noexcept { delete_block(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { delete_block(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { delete_block(p); }
