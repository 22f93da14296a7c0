#pragma once
// A hint to the processor that the cache line at an address is about to be read: it changes
// nothing and never faults, so any address may be given.
//
// On x86 with GCC or Clang the hint is an asm statement the compiler must keep: GCC drops a
// __builtin_prefetch whose address it reads from memory under a condition (a directory entry
// looked up after a bounds check), taking the whole hint for dead code.

#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
#include <xmmintrin.h>
#endif

namespace tesvar::storage {

// The cache line size the hints assume.
inline constexpr int kPrefetchLineBytes = 64;

inline void PrefetchLine(const void* Address) {
#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
  _mm_prefetch(static_cast<const char*>(Address), _MM_HINT_T0);
#elif (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
  asm volatile("prefetcht0 (%0)" : : "r"(Address));
#elif defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(Address);
#else
  (void)Address;
#endif
}

}  // namespace tesvar::storage
