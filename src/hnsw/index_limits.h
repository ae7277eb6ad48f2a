// What one index can hold, checked where points and values come in. A
// breach is a caller's error that no result value can report, so it ends the
// process (fatal_error.h) before anything is allocated for it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sorvid::hnsw {

// An index of `nodes` nodes, `points` and `values` of them coming in: fewer
// than 4294967295 nodes in all (node ids stay below kEmptySlot), exactly one
// value per point. Returns `nodes`.
std::size_t checked_node_count(std::size_t nodes, std::size_t points, std::size_t values);

// A value as the index keeps it: below 4294967295.
std::uint32_t checked_value(std::uint64_t value);

}  // namespace sorvid::hnsw
