#include "base/memory.h"

#include <sys/mman.h>

namespace sorvid {

void advise_huge_pages(void* begin, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
  const auto start = reinterpret_cast<std::uintptr_t>(begin);
  const std::uintptr_t first = round_up(start, kHugePageSize);
  const std::uintptr_t last = (start + bytes) / kHugePageSize * kHugePageSize;
  if (last > first) static_cast<void>(madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE));
#else
  static_cast<void>(begin);
  static_cast<void>(bytes);
#endif
}

}  // namespace sorvid
