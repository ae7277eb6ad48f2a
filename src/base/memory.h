// Small memory helpers shared by the big buffers of the formats and the index.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sorvid {

// The size of a transparent huge page on the platforms we run on.
inline constexpr std::size_t kHugePageSize = std::size_t{2} << 20;

// `value` rounded up to a multiple of `multiple` (which is not 0).
constexpr std::size_t round_up(std::size_t value, std::size_t multiple) {
  return (value + multiple - 1) / multiple * multiple;
}

// Asks the system to back the whole huge pages inside [begin, begin + bytes)
// with huge pages. Only advice: the memory works the same without it, and a
// refusal (no huge page support, say) is ignored. Pages only partly inside
// the range are left alone, since the memory around it may belong to others.
void advise_huge_pages(void* begin, std::size_t bytes);

}  // namespace sorvid
