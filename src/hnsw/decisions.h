// Decisions: which distance a walk, a pruning or a neighbour selection
// decides by.
//
// kFast: the decision distance of point_store.h, from reduced-precision
// copies of the points and sums in any order; it lies within a stated bound
// of the exact distance and is deterministic on a given processor, so a
// build with one thread still follows its seed. kExact: the exact in-order
// distance, the reference the fast decisions are measured against. Either
// way, every distance handed to a caller is the exact in-order one, and hits
// are ordered by it.
#pragma once

#include <cstdint>

namespace sorvid::hnsw {

enum class Decisions : std::uint8_t { kFast, kExact };

}  // namespace sorvid::hnsw
