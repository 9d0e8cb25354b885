// A hint for the large blocks that one call fills once (the output text, the
// chunks of a big module's context).
//
// Filling fresh memory costs a page fault and a page clear for every 4 KiB;
// on blocks of several megabytes that is a large share of a call. Backed by
// 2 MiB pages, the same block takes one fault per 2 MiB. The hint covers only
// the whole 2 MiB pages inside the block, so it never reaches memory that is
// not the caller's; where the kernel does not offer such pages it does
// nothing.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

namespace quarvel {

/// Blocks smaller than this are left alone: the whole pages inside them would
/// be too few to matter.
inline constexpr std::size_t kHugePageHintMinimum = std::size_t{4} << 20;

inline void advise_huge_pages(void* data, std::size_t size) {
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  if (size < kHugePageHintMinimum) return;
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = (start + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t end = (start + size) & ~(kHuge - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace quarvel
