// NeighbourList: a base-layer list as a build keeps it, with what the
// neighbour selection established about its entries.
//
// Every base list is the output of the neighbour selection
// (neighbour_selection.h): its `kept` first entries are the candidates that
// no nearer kept one was closer to, ascending by distance to the owner, and
// the rest are pruned candidates, ascending too. Each entry's distance to the
// owner (the one the build decided by, see decisions.h) is recorded beside
// it, so that re-selecting the list with one new
// candidate can reuse what the earlier selection established instead of
// scoring every pair again.
#pragma once

#include <array>
#include <cstddef>

#include "hnsw/node_id.h"

namespace sorvid::hnsw {

// A list read where it lies: in a NeighbourList, or in a node's own slots
// while the caller holds the node's lock (locked_link_lists.h).
struct NeighbourView {
  const NodeId* ids = nullptr;
  const float* distances = nullptr;  // to the list's owner
  std::size_t size = 0;
  std::size_t kept = 0;
};

struct NeighbourList {
  std::array<NodeId, kBaseLinks> ids;
  std::array<float, kBaseLinks> distances;  // to the list's owner
  std::size_t size = 0;
  std::size_t kept = 0;

  NeighbourView view() const { return {ids.data(), distances.data(), size, kept}; }
};

}  // namespace sorvid::hnsw
