// Character classes from the Unicode Character Database, as generated tables.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sorvid::unicode {

struct CodePointRange {
  std::uint32_t first;
  std::uint32_t last;  // inclusive
};

// Sorted, non-overlapping, non-adjacent ranges (see unicode_tables.cc).
extern const CodePointRange kEscapedRanges[];
extern const std::size_t kEscapedRangeCount;

}  // namespace sorvid::unicode
