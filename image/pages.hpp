// image/pages.hpp: large buffers in huge pages, where the kernel offers them.
// A plane or file buffer of tens of megabytes lands in fresh pages in a
// program that opens many files, and the first touch of fresh memory in 4 KiB
// pages costs more than the writing itself; in 2 MiB pages it costs a
// fraction of that. The advice is only a hint: where it is refused, or the
// kernel has none to give, nothing changes.
#pragma once
#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace corvane {

// Below this a buffer holds too few whole huge pages to be worth a call.
inline constexpr size_t kHugeAdviceFloor = 8 << 20;

// Asks for huge pages over the whole 2 MiB pages inside [p, p + n), to be
// given at their first touch: call it before writing the memory.
inline void prefer_huge_pages(void *p, size_t n) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  if (!p || n < kHugeAdviceFloor) return;
  const uintptr_t from = (uintptr_t(p) + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t to = (uintptr_t(p) + n) & ~(kHuge - 1);
  if (to > from) (void)madvise(reinterpret_cast<void *>(from), to - from, MADV_HUGEPAGE);
#else
  (void)p;
  (void)n;
#endif
}

}  // namespace corvane
