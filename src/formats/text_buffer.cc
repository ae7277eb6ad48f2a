#include "formats/text_buffer.h"

#include <sys/mman.h>

#include <cstdint>

namespace sorvid {
namespace {

constexpr std::uintptr_t kHugePageSize = std::uintptr_t{1} << 21;
// Below this a reservation gains too little to be worth the system call.
constexpr std::size_t kMinAdvisedSize = std::size_t{16} << 20;

}  // namespace

void reserve_text(std::string& out, std::size_t extra) {
  out.reserve(out.size() + extra);
#ifdef MADV_HUGEPAGE
  if (out.capacity() < kMinAdvisedSize) return;
  // Only whole huge pages inside the buffer are advised: the memory around
  // it belongs to the allocator.
  const auto begin = reinterpret_cast<std::uintptr_t>(out.data());
  const std::uintptr_t first = (begin + kHugePageSize - 1) & ~(kHugePageSize - 1);
  const std::uintptr_t last = (begin + out.capacity()) & ~(kHugePageSize - 1);
  if (last > first) {
    // A refusal (no huge page support, say) leaves ordinary pages.
    static_cast<void>(madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE));
  }
#endif
}

}  // namespace sorvid
