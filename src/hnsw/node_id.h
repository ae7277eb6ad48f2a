// Node ids and the fixed shape of link lists.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sorvid::hnsw {

// The id of a point inside one index: its position after the build's random
// permutation, 0 to n - 1.
using NodeId = std::uint32_t;

// Marks an unused slot of a link list; never a node id. The used slots of a
// list come first, so the first kEmptySlot ends the list.
inline constexpr NodeId kEmptySlot = 0xFFFFFFFFu;

// Slots per link list: the base layer has twice the upper layers' capacity.
inline constexpr std::size_t kUpperLinks = 32;
inline constexpr std::size_t kBaseLinks = 64;

}  // namespace sorvid::hnsw
