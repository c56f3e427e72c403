// The few things the core asks of the operating system, each behind one small
// function with a portable path: the CPUs this process may use, large blocks
// backed by huge pages, and handlers around fork.
#pragma once

#include <cstddef>

#if defined(_MSC_VER) && !defined(__clang__) && (defined(_M_X64) || defined(_M_IX86))
#include <xmmintrin.h>
#endif

namespace rastermark::platform {

// Asks for the cache line holding `address` ahead of its use; a hint only,
// and nothing where the compiler offers no way to give it.
inline void prefetch(const void* address) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(address);
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
    _mm_prefetch(static_cast<const char*>(address), _MM_HINT_T0);
#else
    (void)address;
#endif
}

// CPUs this process may use, at least 1.  Linux: the affinity set (or the
// online CPUs) limited by the control group's CPU bandwidth quota.
// Elsewhere: the hardware concurrency the C++ library reports.
std::size_t usable_cpus();

// A block of `bytes` aligned to `alignment` (a power of two), or null when
// memory is exhausted.  On Linux the block is marked for transparent huge
// pages; the advice changes nothing where it is refused.  Free it with
// free_aligned.
void* allocate_aligned(std::size_t bytes, std::size_t alignment, bool huge_pages);
void free_aligned(void* block) noexcept;

// Registers handlers run around fork() (before it, then in the parent and in
// the child); does nothing where processes cannot fork.
void on_fork(void (*prepare)(), void (*parent)(), void (*child)());

}  // namespace rastermark::platform
